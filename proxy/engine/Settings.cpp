#include "proxy/engine/Settings.h"

namespace pemtrox {

Settings Settings::load(const UserDefaults& userDefaults, const std::string& prefix) {
    Settings settings;
    settings.recordingSettings = RecordingSettings::load(userDefaults, prefix + recordingSettingsPrefix);
    settings.sslSettings = SSLSettings::load(userDefaults, prefix + sslSettingsPrefix);
    settings.tools = ToolSettings::load(userDefaults, prefix + toolsPrefix);
    return settings;
}

} // namespace pemtrox
