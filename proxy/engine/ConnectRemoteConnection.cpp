#include "proxy/engine/ConnectRemoteConnection.h"

#include "proxy/engine/ProxyEvent.h"
#include "proxy/io/Socket.h"

namespace pemtrox {

std::shared_ptr<ConnectRemoteConnection>
ConnectRemoteConnection::make(std::shared_ptr<InternalProxyServer> server,
                              std::shared_ptr<ProxyEvent> sourceEvent) {
    return Plumber::make<ConnectRemoteConnection>(std::move(server), std::move(sourceEvent));
}

ConnectRemoteConnection::ConnectRemoteConnection(std::shared_ptr<InternalProxyServer> server,
                                                 std::shared_ptr<ProxyEvent> sourceEvent)
    : HttpRemoteConnection(std::move(server)), sourceEvent(std::move(sourceEvent)) {}

void ConnectRemoteConnection::connect(const std::shared_ptr<ProxyEvent>& evt,
                                      RemoteConnectionCallback completion) {
    if (remote_ && !remote_->isClosed()) {
        updateEvent(*evt);
        completion(RemoteConnectionState::connected(shared_from_this()));
        return;
    }
    HttpRemoteConnection::connect(evt, std::move(completion));
}

void ConnectRemoteConnection::reconnect(const std::shared_ptr<ProxyEvent>& evt,
                                        RemoteConnectionCallback completion) {
    if (remote_)
        remote_->close();
    std::shared_ptr<ConnectRemoteConnection> self(shared_from_this(), this);
    connect(evt, [self, evt, completion](RemoteConnectionState state) {
        if (!state.isConnected()) {
            completion(std::move(state));
            return;
        }
        self->setClientData(evt, self->clientData, completion);
    });
}

void ConnectRemoteConnection::setClientData(const std::shared_ptr<ProxyEvent>&,
                                            std::shared_ptr<ConnectData> data,
                                            RemoteConnectionCallback completion) {
    clientData = std::move(data);
    completion(RemoteConnectionState::connected(shared_from_this()));
}

} // namespace pemtrox
