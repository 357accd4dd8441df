#pragma once

#include <optional>
#include <string_view>

namespace pemtrox {

/// How a location's patterns are read.
enum class MatchType {
    Glob,  ///< "*" any run, "?" any one character, "\" makes the next character literal
    Regex, ///< a regular expression
};

/// "Glob" or "Regex".
const char* matchTypeText(MatchType type);
/// Exact, case-sensitive comparison with the two texts.
std::optional<MatchType> matchTypeFromString(std::string_view text);

} // namespace pemtrox
