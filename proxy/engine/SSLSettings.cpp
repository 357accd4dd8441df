#include "proxy/engine/SSLSettings.h"

#include "platform/UserDefaults.h"

namespace pemtrox {

SSLSettings SSLSettings::load(const UserDefaults& userDefaults, const std::string& prefix) {
    SSLSettings settings;
    settings.include = MatchDefinition::decodeList(userDefaults.objectForKey(prefix + "include"));
    settings.exclude = MatchDefinition::decodeList(userDefaults.objectForKey(prefix + "exclude"));
    settings.proxyingEnabled = userDefaults.boolForKey(prefix + "proxyingEnabled");
    return settings;
}

} // namespace pemtrox
