#include "Model/Tools/MatchPattern.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <fmt/format.h>

#include "platform/LogEntryPoints.h"
#include "platform/Regex.h"
#include "platform/UnicodeScalars.h"

namespace pemtrox {

// Patterns come from the settings and are matched at every exchange, often several times:
// each anchored expression is compiled once. Compiled expressions are safe to share between
// threads (each search makes its own matcher).
std::shared_ptr<const Regex> compilePattern(MatchType type, std::string_view pattern) {
    // A regular expression is put in a group so that both anchors hold for every top-level
    // alternative: "ads|track" must not match every host that merely starts with "ads". A glob
    // cannot hold an alternative, and is anchored as it is.
    std::string expression =
        type == MatchType::Glob ? "^" + globToRegex(pattern) + "$" : "^(?:" + std::string(pattern) + ")$";
    static std::mutex mutex;
    static std::unordered_map<std::string, std::shared_ptr<const Regex>> cache;
    {
        std::lock_guard lock(mutex);
        if (auto found = cache.find(expression); found != cache.end())
            return found->second;
    }
    // A pattern that is not valid on its own ("a)|(b") could close the group early and
    // escape the anchors; compiling it alone first rejects it.
    if (type == MatchType::Regex)
        Regex{pattern};
    auto regex = std::make_shared<const Regex>(expression);
    std::lock_guard lock(mutex);
    if (cache.size() >= 1024) // settings replaced many times over
        cache.clear();
    cache.emplace(std::move(expression), regex);
    return regex;
}

std::string globToRegex(std::string_view pattern) {
    std::string out;
    bool escaping = false;
    for (std::size_t i = 0; i < pattern.size();) {
        // One character at a time; a byte that starts no well-formed sequence stands alone.
        std::size_t start = i;
        nextScalar(pattern, i);
        std::string_view character = pattern.substr(start, i - start);
        if (escaping) {
            escaping = false;
            out += Regex::escapedPattern(character);
        } else if (character == "\\") {
            escaping = true;
        } else if (character == "?") {
            out += ".";
        } else if (character == "*") {
            out += ".*";
        } else {
            out += Regex::escapedPattern(character);
        }
    }
    if (escaping)
        out += "\\";
    return out;
}

bool matchPattern(MatchType type, std::string_view value, std::string_view pattern) {
    std::shared_ptr<const Regex> expression;
    try {
        expression = compilePattern(type, pattern);
    } catch (const RegexError& error) {
        logWarning(fmt::format("Failed to match pattern \"{}\": ", pattern), error);
        return false;
    }
    return matchCompiledPattern(*expression, value, pattern);
}

bool matchCompiledPattern(const Regex& expression, std::string_view value, std::string_view pattern) {
    try {
        return expression.search(value);
    } catch (const RegexError& error) {
        logWarning(fmt::format("Failed to match pattern \"{}\": ", pattern), error);
        return false;
    }
}

} // namespace pemtrox
