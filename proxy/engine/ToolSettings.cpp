#include "proxy/engine/ToolSettings.h"

namespace pemtrox {

ToolSettings ToolSettings::load(const UserDefaults& userDefaults, const std::string& prefix) {
    ToolSettings settings;
    settings.blockList = BlockListToolSettings::load(userDefaults, prefix + blockListPrefix);
    settings.dnsSpoofing = DNSSpoofingToolSettings::load(userDefaults, prefix + dnsSpoofingPrefix);
    return settings;
}

} // namespace pemtrox
