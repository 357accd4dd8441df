#include "proxy/tools/DNSSpoofingToolProxyServerListener.h"

#include "proxy/engine/ProxyEvent.h"

namespace pemtrox {

std::shared_ptr<DNSSpoofingToolProxyServerListener>
DNSSpoofingToolProxyServerListener::make(DNSSpoofingToolSettings settings) {
    return std::make_shared<DNSSpoofingToolProxyServerListener>(std::move(settings));
}

const DNSMapping*
DNSSpoofingToolProxyServerListener::firstMatchingMapping(const std::vector<DNSMapping>& mappings,
                                                         const ProxyEvent& evt) {
    for (const auto& mapping : mappings)
        if (mapping.hostnameMatchDefinition.matches(evt.scheme, evt.host, evt.port, evt.path(), evt.query()))
            return &mapping;
    return nullptr;
}

void DNSSpoofingToolProxyServerListener::apply(ProxyEvent& evt) const {
    if (auto mapping = firstMatchingMapping(settings_.mappings, evt))
        evt.overrideHost = mapping->address;
}

} // namespace pemtrox
