#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pemtrox {

/// The text without white space at either end: the Unicode space separators and the tab
/// (CR and LF are not white space). The text must be valid UTF-8.
std::string_view trimWhitespace(std::string_view text);

/// The whole text read as a decimal integer with an optional leading "+" or "-" that
/// fits 64 bits; absent for an empty text or any other character.
std::optional<std::int64_t> parseDecimal(std::string_view text);

/// Equality of two texts ignoring ASCII case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

/// Whether a comma-separated list holds the token, ignoring case and blanks around it.
bool hasToken(std::string_view list, std::string_view token);

} // namespace pemtrox
