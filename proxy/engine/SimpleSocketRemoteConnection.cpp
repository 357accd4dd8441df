#include "proxy/engine/SimpleSocketRemoteConnection.h"

#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/Socket.h"

namespace pemtrox {

std::shared_ptr<SimpleSocketRemoteConnection>
SimpleSocketRemoteConnection::make(std::shared_ptr<Socket> rawRemote) {
    return Plumber::make<SimpleSocketRemoteConnection>(std::move(rawRemote));
}

bool SimpleSocketRemoteConnection::isConnected() const {
    return remote_ && !remote_->isClosed();
}

void SimpleSocketRemoteConnection::connect(const std::shared_ptr<ProxyEvent>& evt,
                                           RemoteConnectionCallback completion) {
    remote_ = rawRemote_;
    evt->keptAlive = false;
    evt->connectDuration = 0;
    remoteOutRaw_ = remote_->outputStream();
    remoteInRaw_ = remote_->inputStream();
    remoteOut_ = HttpOutputStream::make(remoteOutRaw_);
    remoteIn_ = HttpInputStream::make(remoteInRaw_);
    completion(RemoteConnectionState::connected(shared_from_this()));
}

void SimpleSocketRemoteConnection::close() {
    if (rawRemote_)
        rawRemote_->close();
}

} // namespace pemtrox
