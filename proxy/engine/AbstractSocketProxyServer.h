#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "proxy/engine/AbstractProxyServer.h"

namespace pemtrox {

class ProxyConnection;
class ProxyHandler;

/// A server that makes one handler per accepted client connection and keeps the live
/// handlers until they complete. Its work runs on its serial queue.
class AbstractSocketProxyServer : public AbstractProxyServer {
public:
    explicit AbstractSocketProxyServer(std::shared_ptr<DispatchQueue> queue);

    std::shared_ptr<DispatchQueue> queue() const override { return queue_; }
    bool transparent() const override { return transparent_; }
    void setTransparent(bool value) { transparent_ = value; }
    bool supportsTransparent() const override { return supportsTransparent_; }
    void setSupportsTransparent(bool value) { supportsTransparent_ = value; }

    /// A ProxySocket on the server's queue, connecting at once; the completion runs later on
    /// the queue. The scheme and host name are not used by plain sockets.
    std::shared_ptr<Socket> openRemoteSocket(const std::optional<std::string>& scheme,
                                             const InetAddress& address, const std::string& host, int port,
                                             SocketConnectCallback completion) override;

    /// The handler for one client connection; each concrete server makes its own kind.
    virtual std::shared_ptr<ProxyHandler>
    createHandler(const std::shared_ptr<ProxyConnection>& connection) = 0;
    /// The accept path: makes a handler, keeps it and starts it. When the handler
    /// completes, the client connection is closed and, while the server lives, the
    /// handler is dropped. Call on the queue.
    void handleConnection(const std::shared_ptr<ProxyConnection>& connection);
    /// Cancels every live handler, later on the queue; does not stop listening. `ended`,
    /// when given, runs on the queue once no handler is live any more (at once when none is).
    void stop(std::function<void()> ended = nullptr);
    /// The number of live handlers.
    std::size_t handlerCount() const;

private:
    std::shared_ptr<DispatchQueue> queue_;
    std::atomic<bool> transparent_{false};
    std::atomic<bool> supportsTransparent_{false};
    mutable std::mutex handlersMutex_;
    std::unordered_set<std::shared_ptr<ProxyHandler>> handlers_;
    std::vector<std::function<void()>> whenNoHandlers_; // under handlersMutex_

    /// Runs the stop completions once no handler is live; on the queue.
    void endedIfNoHandlers();
};

} // namespace pemtrox
