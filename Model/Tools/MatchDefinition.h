#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Model/Tools/MatchType.h"

namespace pemtrox {

class Regex;

/// A location: patterns over the parts of a request's URL. An absent pattern places no
/// condition on its part; a present but empty one matches only an empty value.
struct MatchDefinition {
    bool enabled = true;
    MatchType type = MatchType::Glob;
    std::optional<std::string> protocolPattern; ///< against the scheme
    std::optional<std::string> hostnamePattern; ///< against the host (never the override host)
    std::optional<std::string> portPattern;     ///< against the port in decimal
    std::optional<std::string> pathPattern;
    std::optional<std::string> queryPattern;

    /// One pattern as compiled when the settings were loaded; no expression when it does not
    /// compile (the part then never matches).
    struct CompiledPattern {
        std::string pattern;
        std::shared_ptr<const Regex> expression;
    };
    /// The patterns compiled at load (loadList, compile), in the order protocol, host, port, path,
    /// query; none for a location made otherwise, whose patterns are compiled, and a failure
    /// logged, each time they are used. A pattern changed after the load is compiled as it
    /// is used too.
    std::shared_ptr<const std::array<std::optional<CompiledPattern>, 5>> compiled;

    /// A location from its stored dictionary ("enabled", "type", "protocol", "hostname", "port",
    /// "path", "query"). Absent when the value is not a dictionary or has no Boolean "enabled":
    /// such an element is left out of its list rather than guessed at.
    static std::optional<MatchDefinition> fromDictionary(const nlohmann::json& dictionary);
    /// The locations of a stored list. Anything but an array made only of dictionaries reads as
    /// the empty list; elements that do not decode are left out, the rest keep their order.
    /// Each enabled location that is read other than it is written logs one warning naming
    /// the list (its settings key) and the location (see warnIfMisread).
    static std::vector<MatchDefinition> decodeList(const std::optional<nlohmann::json>& stored,
                                                   std::string_view listName = "a list of locations");
    /// The list as the settings loader reads it: decodeList, then each location compiled.
    static std::vector<MatchDefinition> loadList(const std::optional<nlohmann::json>& stored,
                                                 std::string_view listName);
    /// Compiles the patterns of an enabled location for every later match (a disabled one
    /// matches nothing and is left as it is). A pattern that does not compile logs one
    /// warning, naming `where` and the stored dictionary, and never matches after that,
    /// without a warning at each match.
    void compile(const nlohmann::json& dictionary, std::string_view where);
    /// Logs one warning, naming `where` and the stored dictionary, when an enabled location is
    /// read other than it is written: a type text other than the six matches every exchange
    /// (as does an older host-only type without a text host), and a pattern that is not a
    /// text is ignored. Says nothing of a disabled location, which matches nothing either way.
    static void warnIfMisread(const nlohmann::json& dictionary, std::string_view where);

    /// Whether the location matches a request with these parts: false when disabled; otherwise
    /// every part passes whose value or pattern is absent, and the others must match their
    /// pattern. Parts are tested in order and the first failure ends the test.
    bool matches(const std::optional<std::string>& scheme, const std::optional<std::string>& host,
                 std::optional<std::int64_t> port, const std::optional<std::string>& path,
                 const std::optional<std::string>& query) const;

    /// "protocol://host:port/path?query", each piece only when its pattern is present.
    std::string description() const;

    /// Compares the type and the five patterns; `enabled` and `compiled` take no part.
    bool operator==(const MatchDefinition& other) const;

private:
    static std::vector<MatchDefinition> decode(const std::optional<nlohmann::json>& stored,
                                               std::string_view listName, bool compiling);
    bool partPasses(std::size_t part, const std::optional<std::string>& value,
                    const std::optional<std::string>& pattern) const;
};

/// Whether the value is an array whose every element is a dictionary.
bool isDictionaryList(const nlohmann::json& value);

} // namespace pemtrox
