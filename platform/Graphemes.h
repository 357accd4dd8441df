#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pemtrox {

/// The first `count` user-perceived characters (extended grapheme clusters) of a UTF-8 text;
/// the whole text when it has no more. Invalid sequences count as one character each.
std::string firstGraphemes(std::string_view utf8, std::size_t count);

} // namespace pemtrox
