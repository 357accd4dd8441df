#include "PacketTunnel/ProxyTunnelMode.h"

#include "PacketTunnel/ProxyManager.h"
#include "platform/Log.h"
#include "platform/LogEntryPoints.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "proxy/tls/SSLProxyServer.h"

namespace pemtrox {

std::unique_ptr<ProxyTunnelMode> ProxyTunnelMode::start(const Configuration& configuration) {
    auto manager = ProxyManager::make();
    manager->setSslSettings(sectionOf(configuration.settings->current(), &Settings::sslSettings));
    manager->httpProxyPort = configuration.proxyPort;
    manager->interface = configuration.proxyInterface;
    manager->sslCAGenerator = configuration.caDirectory.empty()
                                  ? SSLCAGenerator::make()
                                  : SSLCAGenerator::make(configuration.caDirectory);
    std::unique_ptr<ProxyTunnelMode> mode(new ProxyTunnelMode(manager));
    mode->settingsSubscription_ = configuration.settings->subscribe(
        [self = mode.get()](const SettingsPublisher::Snapshot& settings) { self->applySettings(settings); });
    try {
        manager->start();
        LOG_INFO("Started Proxy Manager");
    } catch (...) {
        logWarning("Failed to start Proxy Manager: ", currentError());
    }
    return mode;
}

bool ProxyTunnelMode::hasProxyServer() const {
    return manager_->socketProxyServer() != nullptr;
}

void ProxyTunnelMode::setRecordingListener(std::shared_ptr<ProxyServerListener> listener) {
    if (auto server = manager_->socketProxyServer())
        replaceListener(*server, recording_, listener);
    recording_ = std::move(listener);
}

void ProxyTunnelMode::applySettings(const SettingsPublisher::Snapshot& settings) {
    manager_->setSslSettings(sectionOf(settings, &Settings::sslSettings));
}

bool ProxyTunnelMode::stop() {
    if (!manager_->socketProxyServer())
        return true;
    try {
        manager_->stop();
    } catch (...) {
        logWarning("Failed to stop Proxy Manager: ", currentError());
        return false;
    }
    return true;
}

// The program must not report a proxy running that nobody can reach, nor point shells at a
// port that someone else holds.
ErrorPtr ProxyTunnelMode::notServing() const {
    const auto& error = manager_->startError();
    if (manager_->socketProxyServer() && !error)
        return nullptr;
    std::string where = "port " + std::to_string(manager_->httpProxyPort);
    if (manager_->interface)
        where = *manager_->interface + " " + where;
    return makeError<GenericError>("the proxy is not listening on " + where + ": " +
                                   (error ? error->description() : "not started"));
}

} // namespace pemtrox
