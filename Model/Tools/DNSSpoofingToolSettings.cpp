#include "Model/Tools/DNSSpoofingToolSettings.h"

#include "platform/UserDefaults.h"

namespace pemtrox {

DNSSpoofingToolSettings DNSSpoofingToolSettings::load(const UserDefaults& userDefaults,
                                                      const std::string& prefix) {
    DNSSpoofingToolSettings settings;
    settings.mappings =
        DNSMapping::decodeList(userDefaults.objectForKey(prefix + "mappings"), prefix + "mappings");
    settings.enabled = userDefaults.boolForKey(prefix + "enabled");
    return settings;
}

} // namespace pemtrox
