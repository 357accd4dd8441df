#include "Model/Tools/BlockListToolSettings.h"

#include "platform/UserDefaults.h"

namespace pemtrox {

BlockListToolSettings BlockListToolSettings::load(const UserDefaults& userDefaults,
                                                  const std::string& prefix) {
    BlockListToolSettings settings;
    settings.include =
        MatchDefinition::loadList(userDefaults.objectForKey(prefix + "include"), prefix + "include");
    settings.enabled = userDefaults.boolForKey(prefix + "enabled");
    // Only the exact text of the 403 action selects it; anything else, stored or not, drops.
    auto blockType = userDefaults.objectForKey(prefix + "blockType");
    if (blockType && blockType->is_string() &&
        blockActionTypeFromString(blockType->get_ref<const std::string&>()) == BlockActionType::Forbidden)
        settings.blockActionType = BlockActionType::Forbidden;
    return settings;
}

const char* blockActionTypeText(BlockListToolSettings::BlockActionType type) {
    switch (type) {
    case BlockListToolSettings::BlockActionType::Drop:
        return "Drop connection";
    case BlockListToolSettings::BlockActionType::Forbidden:
        return "Return 403 response";
    }
    return "";
}

std::optional<BlockListToolSettings::BlockActionType> blockActionTypeFromString(std::string_view text) {
    using Type = BlockListToolSettings::BlockActionType;
    for (auto type : {Type::Drop, Type::Forbidden})
        if (text == blockActionTypeText(type))
            return type;
    return std::nullopt;
}

} // namespace pemtrox
