// The raw relay: opaque bytes copied both ways as one exchange, over ByteRelay.
#include "proxy/engine/ConnectTunnel.h"

#include "platform/Log.h"
#include "proxy/engine/ByteRelay.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/RemoteConnection.h"
#include "proxy/engine/StreamCopier.h"
#include "proxy/engine/TunnelHandler.h"
#include "proxy/engine/TunnelPeek.h"
#include "proxy/io/HttpOutputStream.h"

namespace pemtrox {

// MARK: raw tunnel

void ConnectTunnel::handleTunnel(std::shared_ptr<RemoteConnection> to) {
    startRawTunnel(std::move(to), false);
}

void ConnectTunnel::startRawTunnel(std::shared_ptr<RemoteConnection> to, bool clientBytesPending) {
    evt()->tunnel = true;
    try {
        server()->notifyReceivedRequestURL(evt());
        server()->notifyReceivedRequestHeader(evt());
    } catch (...) {
        finish(currentError());
        return;
    }
    copyRaw(std::move(to), clientBytesPending);
}

void ConnectTunnel::copyRaw(std::shared_ptr<RemoteConnection> to, bool clientBytesPending) {
    evt()->tunnel = true;
    rawRemote_ = to;
    ByteRelay::Peer clientPeer{
        client()->inputStream(), client()->outputStream(), {}, clientHalfClose_, std::nullopt};
    if (auto socket = client()->plainSocket())
        clientPeer.sockets.push_back(socket);
    ByteRelay::Peer serverPeer{to->remoteIn(), to->remoteOut(), to->sockets(), serverHalfClose_,
                               std::nullopt};
    std::weak_ptr<ConnectTunnel> weak = shared_from_this();
    ByteRelay::Hooks hooks;
    hooks.abandoned = [weak] {
        auto self = weak.lock();
        return !self || self->ended();
    };
    hooks.ended = [weak] {
        if (auto self = weak.lock())
            self->endRawTunnel();
    };
    relay_ = ByteRelay::make(std::move(clientPeer), std::move(serverPeer), server(), evt(), std::move(hooks));
    if (!clientBytesPending)
        startCopyOut();
    peek_->whenResolved([weak] {
        auto self = weak.lock();
        if (self && !self->ended())
            self->relay_->start(ByteRelay::Direction::response);
    });
}

void ConnectTunnel::startCopyOut() {
    if (!ended() && relay_)
        relay_->start(ByteRelay::Direction::request);
}

void ConnectTunnel::allowHalfClose() {
    auto remote = this->remote();
    serverHalfClose_ = remote && remote->allowHalfClose();
}

// The relay has ended both directions (see ByteRelay for the end rules): the exchange is
// complete, unless the server's side failed before it sent anything.
void ConnectTunnel::endRawTunnel() {
    if (ended())
        return;
    auto to = rawRemote_;
    auto& evt = this->evt();
    const auto& copyIn = relay_->copier(ByteRelay::Direction::response);
    const auto& copyOut = relay_->copier(ByteRelay::Direction::request);
    auto stillRunning = [&] {
        if (!copyIn->finished())
            LOG_ERROR("copyIn is still running, probably leaking a StreamCopier");
        if (!copyOut->finished())
            LOG_ERROR("copyOut is still running, probably leaking a StreamCopier");
    };
    if (auto error = copyIn->error()) {
        if (!evt->responseSize) {
            stillRunning();
            finish(error);
            return;
        }
        LOG_VERBOSE("Ignoring copyIn error: {}", error->description());
    }
    evt->receivingBuffer.reset();
    server()->notifyReceivedRequest(evt);
    to->remoteOut()->flush();
    if (!evt->responseHeader) {
        evt->responseHeader = std::make_shared<HttpFields>();
        server()->notifyReceivedResponseHeader(evt);
    }
    evt->endTime = std::chrono::system_clock::now();
    server()->notifyReceivedResponse(evt);
    server()->notifyTransactionComplete(evt);
    client()->outputStream()->flush();
    stillRunning();
    to->close();
    if (auto own = handler_->releaseRemote(); own && own != to)
        own->close();
    handler_->complete();
}

} // namespace pemtrox
