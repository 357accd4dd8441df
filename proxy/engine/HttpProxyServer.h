#pragma once

#include <memory>

#include "proxy/engine/SocketProxyServer.h"

namespace pemtrox {

/// The explicit HTTP proxy on a TCP port: one HttpProxyHandler per accepted connection.
class HttpProxyServer : public SocketProxyServer {
public:
    static std::shared_ptr<HttpProxyServer> make(std::shared_ptr<DispatchQueue> queue);
    explicit HttpProxyServer(std::shared_ptr<DispatchQueue> queue) : SocketProxyServer(std::move(queue)) {}

    std::shared_ptr<ProxyHandler> createHandler(const std::shared_ptr<ProxyConnection>& connection) override;
};

} // namespace pemtrox
