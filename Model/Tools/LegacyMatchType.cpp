#include "Model/Tools/LegacyMatchType.h"

namespace pemtrox {

const char* legacyMatchTypeText(LegacyMatchType type) {
    switch (type) {
    case LegacyMatchType::Exact:
        return "Exact";
    case LegacyMatchType::Prefix:
        return "Prefix";
    case LegacyMatchType::Suffix:
        return "Suffix";
    case LegacyMatchType::Contains:
        return "Contains";
    }
    return "";
}

std::optional<LegacyMatchType> legacyMatchTypeFromString(std::string_view text) {
    for (auto type : {LegacyMatchType::Exact, LegacyMatchType::Prefix, LegacyMatchType::Suffix,
                      LegacyMatchType::Contains})
        if (text == legacyMatchTypeText(type))
            return type;
    return std::nullopt;
}

std::string legacyHostPattern(LegacyMatchType type, std::string_view host) {
    std::string h(host);
    switch (type) {
    case LegacyMatchType::Exact:
        return h;
    case LegacyMatchType::Prefix:
        return h + "*";
    case LegacyMatchType::Suffix:
        return "*" + h;
    case LegacyMatchType::Contains:
        return "*" + h + "*";
    }
    return h;
}

} // namespace pemtrox
