#pragma once

#include <memory>

#include "proxy/tls/SSLProxyServer.h"

namespace pemtrox {

/// Adds the listeners that every intercepting server of the tunnel has: the CA certificate
/// download, the TLS test host and the log of each exchange.
void addBuiltInListeners(const std::shared_ptr<SSLProxyServer>& server);

/// The intercepting proxy server of either mode (`Server` is SSLProxyServer for Proxy mode's
/// port, PacketTunnelProxyServer for the stack's), with its built-in listeners; it is not yet
/// listening. It keeps the settings section it is given; without a factory or CA it makes its
/// own.
template <class Server>
std::shared_ptr<Server> makeInterceptingServer(std::shared_ptr<const SSLSettings> settings,
                                               std::shared_ptr<DispatchQueue> queue,
                                               std::shared_ptr<SSLContextFactory> contextFactory,
                                               std::shared_ptr<SSLCAGenerator> ca) {
    auto server = std::make_shared<Server>(std::move(settings), std::move(queue), std::move(contextFactory),
                                           std::move(ca));
    addBuiltInListeners(server);
    return server;
}

} // namespace pemtrox
