#include "proxy/engine/HttpText.h"

#include <charconv>

namespace pemtrox {

namespace {

// The length of the white-space character at the start of the text, or 0.
std::size_t whitespaceAtStart(std::string_view s) {
    if (s.empty())
        return 0;
    auto c = static_cast<unsigned char>(s[0]);
    if (c == ' ' || c == '\t')
        return 1;
    if (c == 0xC2 && s.size() >= 2 && static_cast<unsigned char>(s[1]) == 0xA0) // U+00A0
        return 2;
    if ((c == 0xE1 || c == 0xE2 || c == 0xE3) && s.size() >= 3) {
        auto b1 = static_cast<unsigned char>(s[1]), b2 = static_cast<unsigned char>(s[2]);
        if (c == 0xE1 && b1 == 0x9A && b2 == 0x80) // U+1680
            return 3;
        if (c == 0xE2 && b1 == 0x80 && (b2 <= 0x8A || b2 == 0xAF)) // U+2000...U+200A, U+202F
            return 3;
        if (c == 0xE2 && b1 == 0x81 && b2 == 0x9F) // U+205F
            return 3;
        if (c == 0xE3 && b1 == 0x80 && b2 == 0x80) // U+3000
            return 3;
    }
    return 0;
}

std::size_t whitespaceAtEnd(std::string_view s) {
    if (s.empty())
        return 0;
    auto c = static_cast<unsigned char>(s.back());
    if (c == ' ' || c == '\t')
        return 1;
    if (c < 0x80)
        return 0;
    for (std::size_t len : {2u, 3u})
        if (s.size() >= len && whitespaceAtStart(s.substr(s.size() - len)) == len)
            return len;
    return 0;
}

} // namespace

std::string_view trimWhitespace(std::string_view text) {
    while (std::size_t n = whitespaceAtStart(text))
        text.remove_prefix(n);
    while (std::size_t n = whitespaceAtEnd(text))
        text.remove_suffix(n);
    return text;
}

std::optional<std::int64_t> parseDecimal(std::string_view text) {
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text[0] == '-')
            return std::nullopt;
    }
    if (text.empty())
        return std::nullopt;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x != y && ((x | 0x20) != (y | 0x20) || (x | 0x20) < 'a' || (x | 0x20) > 'z'))
            return false;
    }
    return true;
}

bool hasToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        auto comma = list.find(',');
        auto item = list.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
            item.remove_suffix(1);
        if (equalsIgnoringCase(item, token))
            return true;
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

} // namespace pemtrox
