#pragma once

#include <string_view>

namespace pemtrox {

/// The text without spaces, tabs, CR and LF at either end.
std::string_view trimWhitespaceAndLineEnds(std::string_view text);

} // namespace pemtrox
