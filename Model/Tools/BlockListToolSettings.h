#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Model/Tools/MatchDefinition.h"

namespace pemtrox {

class UserDefaults;

/// The block list: which requests to refuse, and how.
struct BlockListToolSettings {
    enum class BlockActionType {
        Drop,      ///< "Drop connection": close the client connection without a response
        Forbidden, ///< "Return 403 response": answer with the 403 error page
    };

    std::vector<MatchDefinition> include; ///< the requests to block
    bool enabled = false;
    BlockActionType blockActionType = BlockActionType::Drop;

    /// Reads "include", "enabled" and "blockType" under the prefix (e.g. "tools.blacklist.").
    static BlockListToolSettings load(const UserDefaults& userDefaults, const std::string& prefix);

    bool operator==(const BlockListToolSettings&) const = default;
};

/// "Drop connection" or "Return 403 response".
const char* blockActionTypeText(BlockListToolSettings::BlockActionType type);
/// Exact, case-sensitive comparison with the two texts.
std::optional<BlockListToolSettings::BlockActionType> blockActionTypeFromString(std::string_view text);

} // namespace pemtrox
