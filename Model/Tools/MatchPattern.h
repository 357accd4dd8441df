#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "Model/Tools/MatchType.h"

namespace pemtrox {

class Regex;

/// The regular expression (without anchors) equivalent to a glob pattern: "?" is any one
/// character, "*" any run of characters, a backslash makes the next character literal, and
/// every other character stands for itself. An unpaired backslash at the end stays a single
/// backslash.
std::string globToRegex(std::string_view pattern);

/// Whether the pattern matches the whole value, ignoring case. A pattern that does not compile,
/// or a search that runs out of time, counts as no match and logs a warning every time.
bool matchPattern(MatchType type, std::string_view value, std::string_view pattern);

/// The anchored expression of a pattern, compiled once and shared. Throws RegexError when the
/// pattern does not compile.
std::shared_ptr<const Regex> compilePattern(MatchType type, std::string_view pattern);
/// Whether the compiled pattern matches the whole value. A search that runs out of time counts
/// as no match and logs a warning naming the pattern.
bool matchCompiledPattern(const Regex& expression, std::string_view value, std::string_view pattern);

} // namespace pemtrox
