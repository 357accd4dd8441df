#include "PacketTunnel/ProxyManager.h"

#include <thread>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/engine/LoggingProxyListener.h"
#include "proxy/tls/SSLCACertificateProxyListener.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "proxy/tls/SSLProxyServer.h"
#include "proxy/tls/SSLTestProxyListener.h"

namespace pemtrox {

std::shared_ptr<ProxyManager> ProxyManager::make() {
    return std::shared_ptr<ProxyManager>(new ProxyManager());
}

ProxyManager::ProxyManager() : queue_(DispatchQueue::make("ProxyManager")) {}

ProxyManager::~ProxyManager() {
    if (!socketProxyServer_)
        return;
    // Cancelled exchanges finish on the queue; give them a moment before the server goes.
    for (int i = 0; i < 50 && socketProxyServer_->handlerCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    queue_->sync([this] { socketProxyServer_.reset(); });
}

void ProxyManager::setSslSettings(const SSLSettings& settings) {
    sslSettings_ = settings;
    if (auto server = std::dynamic_pointer_cast<SSLProxyServer>(socketProxyServer_))
        server->setSettings(settings);
}

void ProxyManager::start() {
    startError_ = nullptr;
    try {
        // The server and its listening socket belong to the server's queue.
        queue_->sync([&] {
            auto server = SSLProxyServer::make(sslSettings_, queue_, sslContextFactory, sslCAGenerator);
            socketProxyServer_ = server;
            server->addProxyListener(std::make_shared<SSLCACertificateProxyListener>());
            server->addProxyListener(std::make_shared<SSLTestProxyListener>());
            server->addProxyListener(std::make_shared<LoggingProxyListener>());
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
