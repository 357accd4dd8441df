#include "proxy/tls/InterceptsConnect.h"

#include "Model/Tools/MatchesAny.h"
#include "proxy/engine/ReservedHosts.h"

namespace pemtrox {

bool interceptsConnect(const std::optional<std::string>& host, std::optional<std::int64_t> port,
                       const SSLSettings& settings) {
    if (host && *host == SSLTestHostLong)
        return true;
    auto matches = [&](const std::vector<MatchDefinition>& locations) {
        return matchesAny(locations, std::nullopt, host, port, std::nullopt, std::nullopt);
    };
    return settings.proxyingEnabled && matches(settings.include) && !matches(settings.exclude);
}

} // namespace pemtrox
