#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "proxy/io/ClientSocket.h"
#include "proxy/io/GCDAsyncSocketDelegateHelper.h"

namespace pemtrox::test {

/// A listener on 127.0.0.1 port 0 whose accepted connections become ClientSockets, handed
/// to `onAccept` when it is set and kept in `clients` otherwise. Its calls may come from
/// any thread; `onAccept` runs on the queue.
class ClientSocketServer : public GCDAsyncServerSocketSwiftDelegate {
public:
    static std::shared_ptr<ClientSocketServer> start(std::shared_ptr<DispatchQueue> queue) {
        auto server = std::make_shared<ClientSocketServer>();
        queue->onQueue([&] {
            server->queue_ = queue;
            server->listener_ = AsyncTcpSocket::make(queue);
            server->helper_->delegate = server;
            server->listener_->setDelegate(server->helper_);
            server->listener_->acceptOn("127.0.0.1", 0);
        });
        return server;
    }
    int port() const { return static_cast<int>(*listener_->localPort()); }
    /// Stops listening and closes the sockets it kept.
    void stop() {
        queue_->onQueue([&] {
            listener_->disconnect();
            onAccept = nullptr;
            for (auto& c : std::exchange(clients, {}))
                c->close();
        });
    }
    void socketDidAcceptNewSocket(std::shared_ptr<AsyncTcpSocket> newSocket) override {
        auto client = ClientSocket::make(std::move(newSocket), queue_);
        onAccept ? onAccept(client) : clients.push_back(client);
    }

    std::function<void(std::shared_ptr<ClientSocket>)> onAccept;
    std::vector<std::shared_ptr<ClientSocket>> clients; ///< on the queue

private:
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<AsyncTcpSocket> listener_;
    std::shared_ptr<GCDAsyncServerSocketDelegateHelper> helper_ =
        std::make_shared<GCDAsyncServerSocketDelegateHelper>();
};

} // namespace pemtrox::test
