#include "Model/Tools/MatchesAny.h"

#include <algorithm>

namespace pemtrox {

bool matchesAny(const std::vector<MatchDefinition>& definitions, const std::optional<std::string>& scheme,
                const std::optional<std::string>& host, std::optional<std::int64_t> port,
                const std::optional<std::string>& path, const std::optional<std::string>& query) {
    return std::any_of(definitions.begin(), definitions.end(), [&](const MatchDefinition& definition) {
        return definition.matches(scheme, host, port, path, query);
    });
}

} // namespace pemtrox
