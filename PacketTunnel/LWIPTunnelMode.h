#pragma once

#include <memory>

#include "PacketTunnel/TunnelMode.h"

namespace pemtrox {

class LWIPMode;
class PacketFlow;

/// LWIP mode: the stack with its servers on the tunnel's packets. The recording listener
/// joins the proxy server on the stack, and the catch-all TCP relay while raw TCP streams
/// are recorded; the tools join both.
class LWIPTunnelMode : public TunnelMode {
public:
    /// Brings LWIP mode up on the flow. Throws what LWIPMode::start throws (the stack starts
    /// once per process).
    static std::unique_ptr<LWIPTunnelMode> start(const Configuration& configuration,
                                                 std::shared_ptr<PacketFlow> flow);
    ~LWIPTunnelMode() override;

    LWIPMode& lwip() const { return *lwip_; }

    bool hasProxyServer() const override { return true; }
    void setRecordingListener(std::shared_ptr<ProxyServerListener> listener) override;
    void setToolsListener(std::shared_ptr<ProxyServerListener> listener) override;
    /// The proxy server on the stack takes the TLS interception settings; the relay keeps the
    /// recording listener while raw TCP streams are recorded.
    void applySettings(const SettingsPublisher::Snapshot& settings) override;
    /// Starts reading the tunnel's packets.
    void tunnelSettingsApplied() override;
    void networkChangeBegins() override;
    void networkChangeEnded() override;
    bool stop() override;

private:
    LWIPTunnelMode(std::unique_ptr<LWIPMode> lwip,
                   std::shared_ptr<const RecordingSettings> recordingSettings);
    /// The relay's membership follows the raw TCP recording setting.
    void updateRawStreamRecording();

    std::unique_ptr<LWIPMode> lwip_;
    std::shared_ptr<const RecordingSettings> recordingSettings_;
    std::shared_ptr<ProxyServerListener> recording_;
    std::shared_ptr<ProxyServerListener> tools_;
    std::shared_ptr<void> settingsSubscription_;
};

} // namespace pemtrox
