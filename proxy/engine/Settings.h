#pragma once

#include <string>

#include "proxy/engine/RecordingSettings.h"
#include "proxy/engine/SSLSettings.h"
#include "proxy/engine/ToolSettings.h"

namespace pemtrox {

class UserDefaults;

/// The whole configuration, read from the app group's user defaults. Built whole, never
/// changed: a settings change builds a new value.
struct Settings {
    static constexpr const char* recordingSettingsPrefix = "recordingSettings.";
    static constexpr const char* sslSettingsPrefix = "sslSettings.";
    static constexpr const char* toolsPrefix = "tools.";

    RecordingSettings recordingSettings;
    SSLSettings sslSettings;
    ToolSettings tools;

    /// Reads every section under the key prefix (empty in this system) followed by the
    /// section's own prefix. Missing or unusable values give the defaults; nothing is logged.
    static Settings load(const UserDefaults& userDefaults, const std::string& prefix = "");

    bool operator==(const Settings&) const = default;
};

} // namespace pemtrox
