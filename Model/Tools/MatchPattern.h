#pragma once

#include <string>
#include <string_view>

#include "Model/Tools/MatchType.h"

namespace pemtrox {

/// The regular expression (without anchors) equivalent to a glob pattern: "?" is any one
/// character, "*" any run of characters, a backslash makes the next character literal, and
/// every other character stands for itself. An unpaired backslash at the end stays a single
/// backslash.
std::string globToRegex(std::string_view pattern);

/// Whether the pattern matches the whole value, ignoring case. A pattern that does not compile,
/// or a search that runs out of time, counts as no match and logs a warning every time.
bool matchPattern(MatchType type, std::string_view value, std::string_view pattern);

} // namespace pemtrox
