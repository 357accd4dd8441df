#pragma once

#include <string>
#include <vector>

#include "Model/Tools/MatchDefinition.h"

namespace pemtrox {

class UserDefaults;

/// TLS interception: a host is intercepted when interception is on, the include list matches
/// and the exclude list does not.
struct SSLSettings {
    std::vector<MatchDefinition> include;
    std::vector<MatchDefinition> exclude;
    bool proxyingEnabled = false;

    /// Reads "include", "exclude" and "proxyingEnabled" under the prefix (e.g. "sslSettings.").
    static SSLSettings load(const UserDefaults& userDefaults, const std::string& prefix);

    bool operator==(const SSLSettings&) const = default;
};

} // namespace pemtrox
