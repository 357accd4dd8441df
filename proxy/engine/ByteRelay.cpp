#include "proxy/engine/ByteRelay.h"

#include <utility>

#include "platform/DispatchQueue.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/RequestStreamCopier.h"
#include "proxy/engine/ResponseStreamCopier.h"
#include "proxy/io/MyInputStream.h"
#include "proxy/io/MyOutputStream.h"
#include "proxy/io/Socket.h"

namespace pemtrox {

ByteRelay::Peer ByteRelay::Peer::of(const std::shared_ptr<Socket>& socket) {
    bool halfCloses = socket->allowHalfClose();
    return Peer{socket->inputStream(), socket->outputStream(), {socket}, halfCloses, std::nullopt};
}

std::shared_ptr<ByteRelay> ByteRelay::make(Peer client, Peer server,
                                           const std::shared_ptr<InternalProxyServer>& proxyServer,
                                           std::shared_ptr<ProxyEvent> evt, Hooks hooks) {
    return Plumber::make<ByteRelay>(std::move(client), std::move(server), proxyServer, std::move(evt),
                                    std::move(hooks));
}

ByteRelay::ByteRelay(Peer client, Peer server, const std::shared_ptr<InternalProxyServer>& proxyServer,
                     std::shared_ptr<ProxyEvent> evt, Hooks hooks)
    : client_(std::move(client)), server_(std::move(server)), queue_(proxyServer->queue()),
      hooks_(std::move(hooks)) {
    copiers_[index(Direction::request)] =
        RequestStreamCopier::make(client_.in, server_.out, proxyServer, evt);
    copiers_[index(Direction::response)] =
        ResponseStreamCopier::make(server_.in, client_.out, proxyServer, std::move(evt));
    copiers_[index(Direction::request)]->setReadLength(client_.readLength);
    copiers_[index(Direction::response)]->setReadLength(server_.readLength);
}

ByteRelay::~ByteRelay() = default;

void ByteRelay::start(Direction direction) {
    auto i = index(direction);
    if (over_ || started_[i])
        return;
    started_[i] = true;
    std::weak_ptr<ByteRelay> weak = shared_from_this();
    copiers_[i]->start([weak, direction](StreamCopierStatus status) {
        if (auto self = weak.lock())
            self->copyReported(direction, status);
    });
}

void ByteRelay::start() {
    start(Direction::request);
    start(Direction::response);
}

void ByteRelay::copyReported(Direction direction, StreamCopierStatus status) {
    auto self = shared_from_this();    // the hooks may hold the relay's owner
    if (auto hook = hooks_.copyStatus) // a copy: the hooks may be let go meanwhile
        hook(direction, status);
    // Later, so that the copier has left its own handler before the streams close.
    if (status == StreamCopierStatus::finished && !over_ && !abandoned())
        queue_->async([self, direction] { self->directionEnded(direction); });
    releaseHooksWhenDone();
}

void ByteRelay::directionEnded(Direction direction) {
    auto& over = directionOver_[index(direction)];
    if (over_ || abandoned() || over)
        return;
    over = true;
    if (error(direction)) {
        resetPeers();
        end();
        return;
    }
    bool halfClose = client_.halfCloses && server_.halfCloses;
    if (!halfClose || (directionOver_[0] && directionOver_[1])) {
        end();
        return;
    }
    (direction == Direction::request ? server_.out : client_.out)->close();
}

void ByteRelay::resetPeers() {
    for (const auto* peer : {&client_, &server_})
        for (const auto& socket : peer->sockets)
            if (socket)
                socket->resetConnection();
}

void ByteRelay::end() {
    auto self = shared_from_this();
    over_ = true;
    for (const auto& copier : copiers_)
        copier->stop();
    client_.in->close();
    server_.in->close();
    if (auto ended = std::exchange(hooks_.ended, nullptr))
        ended();
    endedRun_ = true;
    releaseHooksWhenDone();
}

void ByteRelay::releaseHooksWhenDone() {
    if (endedRun_ && copiers_[0]->finished() && copiers_[1]->finished())
        hooks_ = {};
}

} // namespace pemtrox
