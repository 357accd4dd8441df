#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pemtrox {

/// Bytes as they move through streams and sockets.
using Data = std::vector<std::uint8_t>;

inline Data toData(std::string_view text) { return Data(text.begin(), text.end()); }
inline std::string toString(const Data& data) { return std::string(data.begin(), data.end()); }

enum HexStringOptions : unsigned { hexLowerCase = 0, hexUpperCase = 1 };

/// Two hex digits per byte, high half first.
std::string hexString(const std::uint8_t* bytes, std::size_t count, unsigned options = hexLowerCase);
inline std::string hexString(const Data& data, unsigned options = hexLowerCase) {
    return hexString(data.data(), data.size(), options);
}

/// The text without one trailing CRLF pair; a lone CR or LF stays.
std::string_view trimmingCRLF(std::string_view text);

} // namespace pemtrox
