#include "Model/Tools/MatchesAny.h"

#include <algorithm>

#include "proxy/engine/ProxyEvent.h"

namespace pemtrox {

bool matchesAny(const std::vector<MatchDefinition>& definitions, const ProxyEvent& event) {
    return std::any_of(definitions.begin(), definitions.end(),
                       [&](const MatchDefinition& definition) { return definition.matches(event); });
}

} // namespace pemtrox
