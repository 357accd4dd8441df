#pragma once

#include <memory>

#include "PacketTunnel/TunnelMode.h"

namespace pemtrox {

class ProxyManager;

/// Proxy mode: the proxy manager's intercepting server on the proxy port, with the recording
/// listener; the tools do not act in this mode.
class ProxyTunnelMode : public TunnelMode {
public:
    /// Makes the manager, keeps it and starts it. A start that cannot listen is logged as
    /// "Failed to start Proxy Manager: " and the mode runs on without a listener (see
    /// notServing).
    static std::unique_ptr<ProxyTunnelMode> start(const Configuration& configuration);

    const std::shared_ptr<ProxyManager>& manager() const { return manager_; }

    bool hasProxyServer() const override;
    void setRecordingListener(std::shared_ptr<ProxyServerListener> listener) override;
    void setToolsListener(std::shared_ptr<ProxyServerListener>) override {}
    /// The manager, and through it its server, take the TLS interception section.
    void applySettings(const SettingsPublisher::Snapshot& settings) override;
    /// The server stops listening, then its exchanges are cancelled; a server that cannot
    /// stop listening is logged as "Failed to stop Proxy Manager: " and left running.
    bool stop() override;
    ErrorPtr notServing() const override;

private:
    explicit ProxyTunnelMode(std::shared_ptr<ProxyManager> manager) : manager_(std::move(manager)) {}
    std::shared_ptr<ProxyManager> manager_;
    std::shared_ptr<ProxyServerListener> recording_;
    std::shared_ptr<void> settingsSubscription_;
};

} // namespace pemtrox
