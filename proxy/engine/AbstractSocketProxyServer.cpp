#include "proxy/engine/AbstractSocketProxyServer.h"

#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyHandler.h"
#include "proxy/io/ProxySocket.h"

namespace pemtrox {

AbstractSocketProxyServer::AbstractSocketProxyServer(std::shared_ptr<DispatchQueue> queue)
    : queue_(std::move(queue)) {}

void AbstractSocketProxyServer::handleConnection(const std::shared_ptr<ProxyConnection>& connection) {
    auto handler = createHandler(connection);
    {
        std::lock_guard lock(handlersMutex_);
        handlers_.insert(handler);
    }
    std::weak_ptr<AbstractProxyServer> weakServer = weak_from_this();
    handler->start([connection, weakServer](const std::shared_ptr<ProxyHandler>& finished) {
        connection->close();
        if (auto server = std::static_pointer_cast<AbstractSocketProxyServer>(weakServer.lock())) {
            {
                std::lock_guard lock(server->handlersMutex_);
                server->handlers_.erase(finished);
            }
            server->endedIfNoHandlers();
        }
    });
}

void AbstractSocketProxyServer::stop(std::function<void()> ended) {
    auto self = std::static_pointer_cast<AbstractSocketProxyServer>(shared_from_this());
    queue_->async([self, ended = std::move(ended)]() mutable {
        std::vector<std::shared_ptr<ProxyHandler>> snapshot;
        {
            std::lock_guard lock(self->handlersMutex_);
            snapshot.assign(self->handlers_.begin(), self->handlers_.end());
            if (ended)
                self->whenNoHandlers_.push_back(std::move(ended));
        }
        for (auto& handler : snapshot) {
            try {
                handler->cancel();
            } catch (...) {
                LOG_WARNING("Failed to cancel handler: {}", describe(currentError()));
            }
        }
        self->endedIfNoHandlers();
    });
}

void AbstractSocketProxyServer::endedIfNoHandlers() {
    std::vector<std::function<void()>> ended;
    {
        std::lock_guard lock(handlersMutex_);
        if (!handlers_.empty())
            return;
        ended.swap(whenNoHandlers_);
    }
    for (auto& completion : ended)
        completion();
}

std::shared_ptr<Socket> AbstractSocketProxyServer::openRemoteSocket(const std::optional<std::string>&,
                                                                    const InetAddress& address,
                                                                    const std::string&, int port,
                                                                    SocketConnectCallback completion) {
    return ProxySocket::connecting(address, port, queue_, std::move(completion));
}

std::size_t AbstractSocketProxyServer::handlerCount() const {
    std::lock_guard lock(handlersMutex_);
    return handlers_.size();
}

} // namespace pemtrox
