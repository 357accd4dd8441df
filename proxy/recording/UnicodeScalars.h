#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pemtrox {

/// The replacement for bytes that are not well-formed UTF-8.
inline constexpr char32_t replacementCharacter = 0xFFFD;

/// Decodes the scalar at `pos` and moves `pos` past it. A byte that does not start a
/// well-formed sequence (overlong, surrogate, past U+10FFFF, cut short) gives U+FFFD and
/// is skipped alone, so the bytes after it are decoded afresh.
char32_t nextScalar(std::string_view text, std::size_t& pos);
/// Appends the UTF-8 form of a scalar.
void appendUTF8(std::string& out, char32_t scalar);
/// The number of scalars, counted as nextScalar decodes them.
std::size_t scalarCount(std::string_view text);

} // namespace pemtrox
