#include "PacketTunnel/LWIPTunnelMode.h"

#include "PacketTunnel/LWIPMode.h"
#include "PacketTunnel/PacketTunnelProxyServer.h"
#include "PacketTunnel/PacketTunnelTCPProxyServer.h"

namespace pemtrox {

std::unique_ptr<LWIPTunnelMode> LWIPTunnelMode::start(const Configuration& configuration,
                                                      std::shared_ptr<PacketFlow> flow) {
    LWIPMode::Configuration lwip;
    lwip.tunnelAddress = configuration.tunnelAddress;
    lwip.proxyPort = configuration.proxyPort;
    lwip.sslSettings = configuration.settings->sslSettings;
    lwip.caDirectory = configuration.caDirectory;
    return std::unique_ptr<LWIPTunnelMode>(
        new LWIPTunnelMode(LWIPMode::start(lwip, std::move(flow)), configuration.settings));
}

LWIPTunnelMode::LWIPTunnelMode(std::unique_ptr<LWIPMode> lwip, std::shared_ptr<const Settings> settings)
    : lwip_(std::move(lwip)), settings_(std::move(settings)) {}

LWIPTunnelMode::~LWIPTunnelMode() = default;

void LWIPTunnelMode::setRecordingListener(std::shared_ptr<ProxyServerListener> listener) {
    if (recording_) {
        lwip_->proxyServer()->removeProxyListener(recording_);
        lwip_->tcpProxyServer()->removeProxyListener(recording_);
    }
    recording_ = std::move(listener);
    if (recording_)
        lwip_->proxyServer()->addProxyListener(recording_);
    updateRawStreamRecording();
}

void LWIPTunnelMode::setToolsListener(std::shared_ptr<ProxyServerListener> listener) {
    for (AbstractProxyServer* server : {static_cast<AbstractProxyServer*>(lwip_->proxyServer().get()),
                                        static_cast<AbstractProxyServer*>(lwip_->tcpProxyServer().get())}) {
        if (tools_)
            server->removeProxyListener(tools_);
        if (listener)
            server->addProxyListener(listener);
    }
    tools_ = std::move(listener);
}

void LWIPTunnelMode::applySettings(const std::shared_ptr<const Settings>& settings) {
    settings_ = settings;
    lwip_->proxyServer()->setSettings(settings->sslSettings);
    updateRawStreamRecording();
}

void LWIPTunnelMode::updateRawStreamRecording() {
    if (!recording_)
        return;
    // A set: a listener already there stays there once.
    if (settings_->recordingSettings.recordRawTCPStreams)
        lwip_->tcpProxyServer()->addProxyListener(recording_);
    else
        lwip_->tcpProxyServer()->removeProxyListener(recording_);
}

void LWIPTunnelMode::tunnelSettingsApplied() {
    lwip_->startReading();
}

void LWIPTunnelMode::networkChangeBegins() {
    lwip_->invalidateICMPSockets();
}

void LWIPTunnelMode::networkChangeEnded() {
    lwip_->rebindICMPSockets();
}

bool LWIPTunnelMode::stop() {
    lwip_->stop();
    return true;
}

} // namespace pemtrox
