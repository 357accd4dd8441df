#pragma once

#include <memory>
#include <vector>

#include "Model/Tools/DNSSpoofingToolSettings.h"
#include "proxy/engine/ProxyServerAdapter.h"

namespace pemtrox {

/// Sends an exchange's connection to the address of the first mapping that matches it, by
/// setting its overrideHost at the address step and again at the URL step; the request
/// itself (its Host, what is matched and recorded) stays the client's. A step where no
/// mapping matches leaves an earlier override in place. Never throws.
class DNSSpoofingToolProxyServerListener : public ProxyServerAdapter {
public:
    static std::shared_ptr<DNSSpoofingToolProxyServerListener> make(DNSSpoofingToolSettings settings);
    /// Use make().
    explicit DNSSpoofingToolProxyServerListener(DNSSpoofingToolSettings settings)
        : settings_(std::move(settings)) {}

    const DNSSpoofingToolSettings& settings() const { return settings_; }

    /// The first enabled mapping whose location matches the exchange's scheme, host (never
    /// the override host), port, path and query; null when none does.
    static const DNSMapping* firstMatchingMapping(const std::vector<DNSMapping>& mappings,
                                                  const ProxyEvent& evt);

    void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) override { apply(*evt); }
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) override { apply(*evt); }

private:
    void apply(ProxyEvent& evt) const;
    const DNSSpoofingToolSettings settings_;
};

} // namespace pemtrox
