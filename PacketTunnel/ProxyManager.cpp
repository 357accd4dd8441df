#include "PacketTunnel/ProxyManager.h"

#include <future>

#include "PacketTunnel/InterceptingServer.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/tls/SSLCAGenerator.h"

namespace pemtrox {

std::shared_ptr<ProxyManager> ProxyManager::make() {
    return std::shared_ptr<ProxyManager>(new ProxyManager());
}

ProxyManager::ProxyManager() : queue_(DispatchQueue::make("ProxyManager")) {}

ProxyManager::~ProxyManager() {
    if (!socketProxyServer_)
        return;
    // The queue goes with the manager, dropping whatever is still queued: cancelled exchanges
    // finish on it first. An exchange that does not finish within 5 s of its cancel does not
    // hold the tunnel's stop for good.
    auto ended = std::make_shared<std::promise<void>>();
    socketProxyServer_->stop([ended] { ended->set_value(); });
    ended->get_future().wait_for(std::chrono::seconds(5));
    queue_->sync([this] { socketProxyServer_.reset(); });
}

void ProxyManager::setSslSettings(std::shared_ptr<const SSLSettings> settings) {
    sslSettings_ = std::move(settings);
    if (socketProxyServer_)
        socketProxyServer_->setSettings(sslSettings_);
}

void ProxyManager::start() {
    startError_ = nullptr;
    try {
        // The server and its listening socket belong to the server's queue.
        queue_->sync([&] {
            auto server = makeInterceptingServer<SSLProxyServer>(sslSettings_, queue_, sslContextFactory,
                                                                 sslCAGenerator);
            socketProxyServer_ = server;
            server->bind(httpProxyPort, interface);
            LOG_INFO("Proxy listening on port {} of {}; CA certificate: {}", httpProxyPort,
                     interface.value_or("every interface"), server->ca()->caCertificateFile().string());
        });
    } catch (...) {
        // Kept for the host, which must not report a proxy running that nobody can reach.
        startError_ = currentError();
        throw;
    }
}

void ProxyManager::stop() {
    if (!socketProxyServer_)
        return;
    auto server = socketProxyServer_;
    queue_->sync([&] {
        server->stopListening();
        server->stop();
    });
}

} // namespace pemtrox
