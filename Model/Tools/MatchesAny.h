#pragma once

#include <vector>

#include "Model/Tools/MatchDefinition.h"

namespace pemtrox {

class ProxyEvent;

/// Whether any enabled location of the list matches the exchange. Locations are tried in
/// order; the first match ends the walk, and an empty list matches nothing. A location whose
/// pattern fails to compile does not match (and is logged); the walk goes on.
bool matchesAny(const std::vector<MatchDefinition>& definitions, const ProxyEvent& event);

} // namespace pemtrox
