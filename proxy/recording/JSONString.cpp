#include "proxy/recording/JSONString.h"

#include <array>
#include <cstdint>

#include "platform/UnicodeScalars.h"

namespace pemtrox {

namespace {

// Bytes that both forms write as themselves whatever stands around them: printable ASCII
// and DEL, less the quote, the backslash and the slash (which the script-safe form escapes
// after "<"). Metadata texts are nearly all such bytes, so runs of them go in one append.
constexpr std::array<bool, 256> plainBytes = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c <= 0x7F; ++c)
        plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\' && c != '/';
    return plain;
}();

} // namespace

void appendQuotedJSONString(std::string& out, std::string_view text, JSONStringForm form) {
    const bool serialiser = form == JSONStringForm::serialiser;
    const char* digits = serialiser ? "0123456789abcdef" : "0123456789ABCDEF";
    out += '"';
    char32_t previous = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t run = pos;
        while (run < text.size() && plainBytes[static_cast<unsigned char>(text[run])])
            ++run;
        if (run > pos) {
            out.append(text.data() + pos, run - pos);
            previous = static_cast<unsigned char>(text[run - 1]);
            pos = run;
            if (pos == text.size())
                break;
        }
        char32_t c = nextScalar(text, pos);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '/':
            out += serialiser || previous == '<' ? "\\/" : "/";
            break;
        case '\b':
        case '\f':
            if (serialiser) {
                out += c == '\b' ? "\\b" : "\\f";
                break;
            }
            [[fallthrough]];
        default:
            if (c < 0x20 || (!serialiser && ((c >= 0x80 && c <= 0x9F) || (c >= 0x2000 && c <= 0x20FF)))) {
                out += "\\u";
                for (int shift = 12; shift >= 0; shift -= 4)
                    out += digits[(c >> shift) & 0xF];
            } else {
                appendUTF8(out, c);
            }
        }
        previous = c;
    }
    out += '"';
}

std::string quotedJSONString(std::string_view text, JSONStringForm form) {
    std::string out;
    out.reserve(text.size() + 2);
    appendQuotedJSONString(out, text, form);
    return out;
}

} // namespace pemtrox
