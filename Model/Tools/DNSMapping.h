#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Model/Tools/MatchDefinition.h"

namespace pemtrox {

/// A DNS-spoofing mapping: the exchanges it applies to, and the host or address to connect
/// to instead.
struct DNSMapping {
    MatchDefinition hostnameMatchDefinition;
    std::string address;

    /// A mapping from its stored dictionary: "hostnameMatch" (a location dictionary) and
    /// "address" (a text). Absent when either is missing or unusable.
    static std::optional<DNSMapping> fromDictionary(const nlohmann::json& dictionary);
    /// The mappings of a stored list. Anything but an array made only of dictionaries reads as
    /// the empty list; elements that do not decode are left out, the rest keep their order.
    /// A mapping's location that is read other than it is written logs one warning naming
    /// the list (its settings key) and the mapping; its patterns are compiled here, as the
    /// settings loader reads them (see MatchDefinition::compile).
    static std::vector<DNSMapping> decodeList(const std::optional<nlohmann::json>& stored,
                                              std::string_view listName = "a list of mappings");

    /// The host pattern (or "*" when absent), " → ", the address.
    std::string description() const;

    bool operator==(const DNSMapping&) const = default;
};

} // namespace pemtrox
