#include "Model/Tools/MatchType.h"

namespace pemtrox {

const char* matchTypeText(MatchType type) {
    switch (type) {
    case MatchType::Glob:
        return "Glob";
    case MatchType::Regex:
        return "Regex";
    }
    return "";
}

std::optional<MatchType> matchTypeFromString(std::string_view text) {
    for (auto type : {MatchType::Glob, MatchType::Regex})
        if (text == matchTypeText(type))
            return type;
    return std::nullopt;
}

} // namespace pemtrox
