#pragma once

#include <string>
#include <vector>

#include "Model/Tools/DNSMapping.h"

namespace pemtrox {

class UserDefaults;

/// DNS spoofing: the first enabled mapping whose location matches gives the address.
struct DNSSpoofingToolSettings {
    std::vector<DNSMapping> mappings;
    bool enabled = false;

    /// Reads "mappings" and "enabled" under the prefix (e.g. "tools.dnsSpoofing.").
    static DNSSpoofingToolSettings load(const UserDefaults& userDefaults, const std::string& prefix);

    bool operator==(const DNSSpoofingToolSettings&) const = default;
};

} // namespace pemtrox
