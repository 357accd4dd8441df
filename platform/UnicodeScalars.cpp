#include "platform/UnicodeScalars.h"

#include <cstdint>
#include <cstring>

namespace pemtrox {

std::optional<char32_t> decodeScalar(std::string_view text, std::size_t& pos) {
    auto c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) {
        ++pos;
        return c;
    }
    std::size_t extra;
    char32_t min, scalar;
    if ((c & 0xE0) == 0xC0) {
        extra = 1, min = 0x80, scalar = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2, min = 0x800, scalar = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3, min = 0x10000, scalar = c & 0x07;
    } else {
        return std::nullopt;
    }
    if (text.size() - pos <= extra)
        return std::nullopt;
    for (std::size_t i = 1; i <= extra; ++i) {
        auto next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80)
            return std::nullopt;
        scalar = (scalar << 6) | (next & 0x3F);
    }
    if (scalar < min || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF))
        return std::nullopt;
    pos += extra + 1;
    return scalar;
}

char32_t nextScalar(std::string_view text, std::size_t& pos) {
    if (auto scalar = decodeScalar(text, pos))
        return *scalar;
    ++pos;
    return replacementCharacter;
}

void appendUTF8(std::string& out, char32_t scalar) {
    if (scalar < 0x80) {
        out += static_cast<char>(scalar);
    } else if (scalar < 0x800) {
        out += static_cast<char>(0xC0 | (scalar >> 6));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else if (scalar < 0x10000) {
        out += static_cast<char>(0xE0 | (scalar >> 12));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (scalar >> 18));
        out += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (scalar & 0x3F));
    }
}

std::size_t scalarCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size(); ++count)
        nextScalar(text, pos);
    return count;
}

bool isValidUTF8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        // Header and chunk lines are nearly always ASCII: skip eight bytes at a time while they are.
        while (bytes.size() - pos >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + pos, 8);
            if (word & 0x8080808080808080ull)
                break;
            pos += 8;
        }
        if (pos < bytes.size() && !decodeScalar(bytes, pos))
            return false;
    }
    return true;
}

} // namespace pemtrox
