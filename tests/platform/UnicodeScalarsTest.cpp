#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/UnicodeScalars.h"

using namespace pemtrox;

namespace {

std::vector<char32_t> scalars(std::string_view text) {
    std::vector<char32_t> out;
    for (std::size_t pos = 0; pos < text.size();)
        out.push_back(nextScalar(text, pos));
    return out;
}

// Each byte run with the scalars the decoder reads from it and whether it is well-formed
// UTF-8 throughout. A byte that starts no well-formed sequence is one U+FFFD, and what
// follows it is read afresh.
TEST(UnicodeScalars, DecodesWellFormedTextAndReplacesEachStrayByte) {
    constexpr char32_t bad = replacementCharacter;
    struct Case {
        std::string bytes;
        std::vector<char32_t> scalars;
        bool valid;
    };
    const Case cases[] = {
        {"", {}, true},
        {"a\x7F", {'a', 0x7F}, true},
        {"\xC2\x80\xDF\xBF", {0x80, 0x7FF}, true},
        {"\xE0\xA0\x80\xEF\xBF\xBD", {0x800, 0xFFFD}, true}, // a real U+FFFD is well-formed
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", {0x10000, 0x10FFFF}, true},
        {"\xC0\x80", {bad, bad}, false},                   // overlong NUL
        {"\xE0\x9F\xBF", {bad, bad, bad}, false},          // overlong U+07FF
        {"\xF0\x8F\xBF\xBF", {bad, bad, bad, bad}, false}, // overlong U+FFFF
        {"\xED\xA0\x80", {bad, bad, bad}, false},          // a surrogate
        {"\xF4\x90\x80\x80", {bad, bad, bad, bad}, false}, // past U+10FFFF
        {"\xF8\x88\x80\x80\x80", {bad, bad, bad, bad, bad}, false},
        {"\x80z", {bad, 'z'}, false},          // a lone continuation byte
        {"\xE2\x82z", {bad, bad, 'z'}, false}, // cut short by another character
        {"\xC3(", {bad, '('}, false},
        {"yz\xE2\x82", {'y', 'z', bad, bad}, false}, // cut short by the end
        // Around the eight-byte steps over ASCII.
        {"12345678\xFF", {'1', '2', '3', '4', '5', '6', '7', '8', bad}, false},
        {"1234567\xC3\xA9stuvwxyz",
         {'1', '2', '3', '4', '5', '6', '7', 0xE9, 's', 't', 'u', 'v', 'w', 'x', 'y', 'z'},
         true},
        {"1234567\xC3\xA9stuvwxy\xC3",
         {'1', '2', '3', '4', '5', '6', '7', 0xE9, 's', 't', 'u', 'v', 'w', 'x', 'y', bad},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(scalars(c.bytes), c.scalars);
        EXPECT_EQ(scalarCount(c.bytes), c.scalars.size());
        EXPECT_EQ(isValidUTF8(c.bytes), c.valid);
        std::size_t pos = 0;
        bool allDecoded = true;
        while (pos < c.bytes.size() && allDecoded)
            allDecoded = decodeScalar(c.bytes, pos).has_value();
        EXPECT_EQ(allDecoded, c.valid);
    }
}

TEST(UnicodeScalars, EncodesEachScalarAsTheDecoderReadsIt) {
    for (char32_t scalar : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFDu, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
        std::string text;
        appendUTF8(text, scalar);
        std::size_t pos = 0;
        EXPECT_EQ(decodeScalar(text, pos), scalar);
        EXPECT_EQ(pos, text.size());
    }
}

} // namespace
