#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "proxy/engine/FieldsError.h"
#include "proxy/engine/HeadParser.h"

namespace pemtrox {
namespace {

struct Parsed {
    std::shared_ptr<HttpFields> head;
    std::optional<std::size_t> consumed; // offset in the whole input where the head ended
    std::optional<FieldsError::Kind> error;
};

// Feeds the input cut at the given offsets.
Parsed parseInPieces(const std::string& input, const std::vector<std::size_t>& cuts) {
    Parsed result{std::make_shared<HttpFields>(), {}, {}};
    HeadParser parser(result.head);
    std::size_t start = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(input.size());
    try {
        for (auto end : ends) {
            if (auto used = parser.put(std::string_view(input).substr(start, end - start))) {
                result.consumed = start + *used;
                return result;
            }
            start = end;
        }
    } catch (const FieldsError& e) {
        result.error = e.kind();
    }
    return result;
}

const std::string kHead =
    "\r\nPOST http://h/x?y HTTP/1.1\r\nHost: h\r\nX-Long: a\r\n  b\r\nContent-Length: 4\r\n\r\n";
const std::string kBody = "body\r\nGET / HTTP/1.1\r\n";

void expectWholeHead(const Parsed& parsed) {
    ASSERT_FALSE(parsed.error);
    ASSERT_EQ(parsed.consumed, kHead.size());
    EXPECT_EQ(parsed.head->firstLine(), "POST http://h/x?y HTTP/1.1");
    EXPECT_EQ(parsed.head->fields,
              (std::vector<Field>{{"Host", "h"}, {"X-Long", "a  b"}, {"Content-Length", "4"}}));
    EXPECT_EQ(parsed.head->rawSize, static_cast<std::int64_t>(kHead.size() - 2));
}

TEST(HeadParserTest, EverySplitPointGivesTheSameHeadAndLeavesTheBody) {
    auto input = kHead + kBody;
    for (std::size_t cut = 0; cut <= input.size(); ++cut) {
        SCOPED_TRACE(cut);
        expectWholeHead(parseInPieces(input, {cut}));
    }
    for (std::size_t a = 0; a <= kHead.size(); ++a)
        for (std::size_t b = a; b <= kHead.size(); b += 3)
            expectWholeHead(parseInPieces(input, {a, b}));
    std::vector<std::size_t> everyByte(input.size() - 1);
    std::iota(everyByte.begin(), everyByte.end(), 1);
    expectWholeHead(parseInPieces(input, everyByte));
    // Without its blank line a head is not complete, however it is cut.
    auto incomplete = parseInPieces("GET / HTTP/1.1\r\nHost: h\r\n", {5});
    EXPECT_FALSE(incomplete.error || incomplete.consumed);
}

TEST(HeadParserTest, LimitsHoldWhateverTheSplit) {
    struct Case {
        const char* why;
        std::string input;
        FieldsError::Kind error;
    };
    std::vector<Case> cases = {
        {"endless line without a line end", "GET /" + std::string(Fields::maxLineLength + 10, 'a'),
         FieldsError::Kind::lineTooLong},
        {"endless field line", "GET / HTTP/1.1\r\nX: " + std::string(Fields::maxLineLength + 10, 'a'),
         FieldsError::Kind::lineTooLong},
        {"bare CR at a piece edge", "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n", FieldsError::Kind::invalidCharacter},
        {"bare LF at a piece edge", "GET / HTTP/1.1\r\nX: a\nb\r\n\r\n", FieldsError::Kind::invalidCharacter},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        for (std::size_t cut : {std::size_t(0), std::size_t(17), std::size_t(20), std::size_t(21),
                                c.input.size() / 2, c.input.size()}) {
            auto parsed = parseInPieces(c.input, {std::min(cut, c.input.size())});
            EXPECT_EQ(parsed.error, c.error);
        }
    }
}

// Random bytes, cut at random points: never a crash, never a head past the limits.
TEST(HeadParserTest, RandomInputKeepsTheLimits) {
    std::mt19937 random(12345);
    const std::string alphabet = "GET / HTTP/1.1\r\n:abc \t\x00\xff\xc3\xa9";
    for (int round = 0; round < 2000; ++round) {
        std::size_t length = random() % 600;
        std::string input;
        for (std::size_t i = 0; i < length; ++i)
            input += (random() % 4 == 0) ? static_cast<char>(random() % 256)
                                         : alphabet[random() % alphabet.size()];
        std::vector<std::size_t> cuts;
        for (std::size_t i = 0; i < length; i += 1 + random() % 50)
            cuts.push_back(i);
        auto parsed = parseInPieces(input, cuts);
        if (parsed.consumed) {
            EXPECT_LE(*parsed.consumed, input.size());
            EXPECT_LE(parsed.head->fields.size(), Fields::maxFieldCount);
            EXPECT_LE(parsed.head->rawSize, Fields::maxHeadSize);
            auto text = parsed.head->headerText();
            EXPECT_EQ(text.find('\0'), std::string::npos);
        }
    }
}

} // namespace
} // namespace pemtrox
