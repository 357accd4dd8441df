#include "PacketTunnel/LWIPTunnelMode.h"

#include "PacketTunnel/LWIPMode.h"
#include "PacketTunnel/PacketTunnelProxyServer.h"
#include "PacketTunnel/PacketTunnelTCPProxyServer.h"

namespace pemtrox {

std::unique_ptr<LWIPTunnelMode> LWIPTunnelMode::start(const Configuration& configuration,
                                                      std::shared_ptr<PacketFlow> flow) {
    auto settings = configuration.settings->current();
    LWIPMode::Configuration lwip;
    lwip.tunnelAddress = configuration.tunnelAddress;
    lwip.proxyPort = configuration.proxyPort;
    lwip.sslSettings = sectionOf(settings, &Settings::sslSettings);
    lwip.caDirectory = configuration.caDirectory;
    std::unique_ptr<LWIPTunnelMode> mode(new LWIPTunnelMode(
        LWIPMode::start(lwip, std::move(flow)), sectionOf(settings, &Settings::recordingSettings)));
    mode->settingsSubscription_ = configuration.settings->subscribe(
        [self = mode.get()](const SettingsPublisher::Snapshot& settings) { self->applySettings(settings); });
    return mode;
}

LWIPTunnelMode::LWIPTunnelMode(std::unique_ptr<LWIPMode> lwip,
                               std::shared_ptr<const RecordingSettings> recordingSettings)
    : lwip_(std::move(lwip)), recordingSettings_(std::move(recordingSettings)) {}

LWIPTunnelMode::~LWIPTunnelMode() = default;

void LWIPTunnelMode::setRecordingListener(std::shared_ptr<ProxyServerListener> listener) {
    replaceListener(*lwip_->proxyServer(), recording_, listener);
    replaceListener(*lwip_->tcpProxyServer(), recording_, nullptr); // back as the settings ask
    recording_ = std::move(listener);
    updateRawStreamRecording();
}

void LWIPTunnelMode::setToolsListener(std::shared_ptr<ProxyServerListener> listener) {
    replaceListener(*lwip_->proxyServer(), tools_, listener);
    replaceListener(*lwip_->tcpProxyServer(), tools_, listener);
    tools_ = std::move(listener);
}

void LWIPTunnelMode::applySettings(const SettingsPublisher::Snapshot& settings) {
    lwip_->proxyServer()->setSettings(sectionOf(settings, &Settings::sslSettings));
    recordingSettings_ = sectionOf(settings, &Settings::recordingSettings);
    updateRawStreamRecording();
}

void LWIPTunnelMode::updateRawStreamRecording() {
    if (!recording_)
        return;
    // A set: a listener already there stays there once.
    if (recordingSettings_->recordRawTCPStreams)
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
