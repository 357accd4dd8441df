#pragma once

#include "proxy/engine/AbstractProxyServer.h"

namespace pemtrox::test {

/// A server with its listener set and notifiers only: no queue unless given, and no remote
/// socket is ever opened.
class NullProxyServer : public AbstractProxyServer {
public:
    NullProxyServer() = default;
    explicit NullProxyServer(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}
    std::shared_ptr<DispatchQueue> queue() const override { return queue_; }
    std::shared_ptr<Socket> openRemoteSocket(const std::optional<std::string>&, const InetAddress&,
                                             const std::string&, int, SocketConnectCallback) override {
        return nullptr;
    }
    bool transparent() const override { return false; }
    bool supportsTransparent() const override { return false; }

private:
    std::shared_ptr<DispatchQueue> queue_;
};

} // namespace pemtrox::test
