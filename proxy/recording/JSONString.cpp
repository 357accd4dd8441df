#include "proxy/recording/JSONString.h"

#include <cstdint>

#include "platform/UnicodeScalars.h"

namespace pemtrox {

std::string quotedJSONString(std::string_view text, JSONStringForm form) {
    const bool serialiser = form == JSONStringForm::serialiser;
    const char* digits = serialiser ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    char32_t previous = 0;
    for (std::size_t pos = 0; pos < text.size();) {
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
    return out;
}

} // namespace pemtrox
