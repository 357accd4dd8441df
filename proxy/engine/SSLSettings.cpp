#include "proxy/engine/SSLSettings.h"

#include "platform/UserDefaults.h"

namespace pemtrox {

SSLSettings SSLSettings::load(const UserDefaults& userDefaults, const std::string& prefix) {
    SSLSettings settings;
    settings.include =
        MatchDefinition::loadList(userDefaults.objectForKey(prefix + "include"), prefix + "include");
    settings.exclude =
        MatchDefinition::loadList(userDefaults.objectForKey(prefix + "exclude"), prefix + "exclude");
    settings.proxyingEnabled = userDefaults.boolForKey(prefix + "proxyingEnabled");
    return settings;
}

} // namespace pemtrox
