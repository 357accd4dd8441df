#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Model/Tools/MatchDefinition.h"

namespace pemtrox {

/// Whether any enabled location of the list matches a request with these parts. Locations
/// are tried in order; the first match ends the walk, and an empty list matches nothing. A
/// location whose pattern fails to compile does not match (and is logged); the walk goes on.
bool matchesAny(const std::vector<MatchDefinition>& definitions, const std::optional<std::string>& scheme,
                const std::optional<std::string>& host, std::optional<std::int64_t> port,
                const std::optional<std::string>& path, const std::optional<std::string>& query);

} // namespace pemtrox
