#pragma once

#include <string_view>

namespace pemtrox {

/// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values
/// past U+10FFFF).
bool isValidUTF8(std::string_view bytes);
/// The text without spaces, tabs, CR and LF at either end.
std::string_view trimWhitespaceAndLineEnds(std::string_view text);

} // namespace pemtrox
