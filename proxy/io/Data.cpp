#include "proxy/io/Data.h"

namespace pemtrox {

std::string hexString(const std::uint8_t* bytes, std::size_t count, unsigned options) {
    const char* digits = (options & hexUpperCase) ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out(count * 2, '0');
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    return out;
}

std::string_view trimmingCRLF(std::string_view text) {
    if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n")
        text.remove_suffix(2);
    return text;
}

} // namespace pemtrox
