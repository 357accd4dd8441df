#pragma once

#include <string>

#include "Model/Tools/BlockListToolSettings.h"
#include "Model/Tools/DNSSpoofingToolSettings.h"

namespace pemtrox {

class UserDefaults;

/// The settings of the tools.
struct ToolSettings {
    static constexpr const char* blockListPrefix = "blacklist.";
    static constexpr const char* dnsSpoofingPrefix = "dnsSpoofing.";

    BlockListToolSettings blockList;
    DNSSpoofingToolSettings dnsSpoofing;

    /// Reads the block list under the prefix followed by "blacklist." and DNS spoofing under the
    /// prefix followed by "dnsSpoofing." (the prefix is e.g. "tools.").
    static ToolSettings load(const UserDefaults& userDefaults, const std::string& prefix);

    bool operator==(const ToolSettings&) const = default;
};

} // namespace pemtrox
