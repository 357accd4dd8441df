#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pemtrox {

/// The one UTF-8 decoder of the system: the checks of header text, the recording's writers
/// and the location patterns all read text through it.

/// The replacement for bytes that are not well-formed UTF-8.
inline constexpr char32_t replacementCharacter = 0xFFFD;

/// Decodes the scalar at `pos` and moves `pos` past it. Nothing, and `pos` unmoved, when the
/// bytes there are not a well-formed sequence (a stray or unknown byte, an overlong form, a
/// surrogate, a value past U+10FFFF, a sequence cut short).
std::optional<char32_t> decodeScalar(std::string_view text, std::size_t& pos);
/// As decodeScalar, but a byte that does not start a well-formed sequence gives U+FFFD and
/// is skipped alone, so the bytes after it are decoded afresh.
char32_t nextScalar(std::string_view text, std::size_t& pos);
/// Appends the UTF-8 form of a scalar.
void appendUTF8(std::string& out, char32_t scalar);
/// The number of scalars, counted as nextScalar decodes them.
std::size_t scalarCount(std::string_view text);
/// True when the bytes are well-formed UTF-8 throughout.
bool isValidUTF8(std::string_view bytes);

} // namespace pemtrox
