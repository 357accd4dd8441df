#include "PacketTunnel/PacketTunnelTCPProxyServer.h"

#include <chrono>

#include "PacketTunnel/LWIPHelpers.h"
#include "PacketTunnel/PacketTunnelProxyServerError.h"
#include "PacketTunnel/TCPSocket.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/engine/ByteRelay.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/io/InetAddress.h"
#include "proxy/io/ProxySocket.h"

namespace pemtrox {

namespace {
/// The most bytes one read of a server's stream asks for.
constexpr std::uint64_t serverReadLength = 65536;
} // namespace

/// One relayed connection: the app's socket, the outgoing one, and the bytes relayed between
/// them, the exchange told of each direction's start and end.
class PacketTunnelTCPProxyServer::Relay : public std::enable_shared_from_this<Relay> {
public:
    Relay(std::shared_ptr<PacketTunnelTCPProxyServer> server, std::shared_ptr<ProxyEvent> evt,
          std::shared_ptr<TCPSocket> app)
        : server_(std::move(server)), evt_(std::move(evt)), app_(std::move(app)),
          connectStart_(std::chrono::steady_clock::now()) {}

    void connectDone(const SocketConnectionState& state);

    /// The outgoing socket; null while a connect that fails at once reports.
    std::shared_ptr<ProxySocket> remote;
    /// The connect's error, once it failed.
    ErrorPtr connectError;

private:
    void copyStatus(ByteRelay::Direction direction, StreamCopierStatus status);
    void teardown();

    std::shared_ptr<PacketTunnelTCPProxyServer> server_;
    std::shared_ptr<ProxyEvent> evt_;
    std::shared_ptr<TCPSocket> app_;
    std::chrono::steady_clock::time_point connectStart_;
    std::shared_ptr<ByteRelay> bytes_;
};

void PacketTunnelTCPProxyServer::Relay::connectDone(const SocketConnectionState& state) {
    auto& evt = *evt_;
    if (!state.isConnected()) {
        auto error = connectError = state.error();
        LOG_WARNING("TCP Proxy: Remote socket failed to connect to {}:{}: {}", evt.remoteAddress->address(),
                    evt.remotePort.value_or(0), describe(error));
        if (!app_->isClosed())
            app_->close(error);
        evt.exception = error;
        server_->notifyTransactionException(evt_);
        // The socket of a failed connect is closed here (it may not be released open).
        if (remote) {
            remote->close(error);
            server_->forget(remote);
        }
        return;
    }
    evt.connectDuration =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - connectStart_).count();
    server_->notifyConnectedToRemote(evt_);
    LOG_VERBOSE("TCP Proxy: Socket connected {}", app_->description());
    // The relay holds this connection through its hooks until it has ended and both copies
    // have stopped.
    auto self = shared_from_this();
    ByteRelay::Hooks hooks;
    hooks.copyStatus = [self](ByteRelay::Direction direction, StreamCopierStatus status) {
        self->copyStatus(direction, status);
    };
    hooks.ended = [self] { self->teardown(); };
    // The server's bytes are read in pieces many times the stack's send buffer: a piece waits
    // in the app socket's output buffer, from which each acknowledgement refills the stack
    // at once, and the copier comes round once per piece instead of once per few segments.
    auto server = ByteRelay::Peer::of(remote);
    server.readLength = serverReadLength;
    bytes_ = ByteRelay::make(ByteRelay::Peer::of(app_), std::move(server), server_, evt_, std::move(hooks));
    bytes_->start();
}

void PacketTunnelTCPProxyServer::Relay::copyStatus(ByteRelay::Direction direction,
                                                   StreamCopierStatus status) {
    bool request = direction == ByteRelay::Direction::request;
    const auto& copier = bytes_->copier(direction);
    auto& evt = *evt_;
    if (status == StreamCopierStatus::started) {
        (request ? evt.requestBeginTime : evt.responseBeginTime) = copier->streamStartTime();
        return;
    }
    if (request) {
        evt.requestCompleteTime = copier->streamLastTime();
        server_->notifyReceivedRequest(evt_);
    } else {
        evt.endTime = copier->streamLastTime();
        server_->notifyReceivedResponse(evt_);
    }
}

void PacketTunnelTCPProxyServer::Relay::teardown() {
    auto error = bytes_->error(ByteRelay::Direction::response);
    if (error)
        LOG_ERROR("copyIn error: {}", describe(error));
    remote->outputStream()->flush();
    app_->outputStream()->flush();
    remote->close(error);
    if (!app_->isClosed())
        app_->close(error);
    server_->notifyTransactionComplete(evt_);
    server_->forget(remote);
}

// MARK: server

PacketTunnelTCPProxyServer::PacketTunnelTCPProxyServer(std::shared_ptr<DispatchQueue> queue)
    : queue_(std::move(queue)) {}

PacketTunnelTCPProxyServer::~PacketTunnelTCPProxyServer() {
    // A listener left open would hand its next connection to a relay that is gone.
    if (boundPcb_)
        queue_->onQueue([&] { tcp_close(boundPcb_); });
}

std::shared_ptr<PacketTunnelTCPProxyServer>
PacketTunnelTCPProxyServer::make(std::shared_ptr<DispatchQueue> queue) {
    return std::make_shared<PacketTunnelTCPProxyServer>(std::move(queue));
}

std::shared_ptr<Socket> PacketTunnelTCPProxyServer::openRemoteSocket(const std::optional<std::string>&,
                                                                     const InetAddress& address,
                                                                     const std::string&, int port,
                                                                     SocketConnectCallback completion) {
    return ProxySocket::connecting(address, port, queue_, std::move(completion));
}

void PacketTunnelTCPProxyServer::start() {
    queue_->sync([&] { bind(); });
}

void PacketTunnelTCPProxyServer::stop() {
    queue_->sync([&] {
        if (boundPcb_)
            tcp_close(boundPcb_);
        boundPcb_ = nullptr;
    });
}

void PacketTunnelTCPProxyServer::bind() {
    // The any-type address takes IPv6 connections as well; no bind leaves the port at 0.
    tcp_pcb* pcb = tcp_new_ip_type(IPADDR_TYPE_ANY);
    if (!pcb)
        throw PacketTunnelProxyServerError::bindFailure();
    LOG_INFO("Bound");
    boundPcb_ = tcp_listen_with_backlog(pcb, 255);
    if (!boundPcb_) {
        LOG_INFO("Failed to start listening");
        tcp_close(pcb);
        throw PacketTunnelProxyServerError::bindFailure();
    }
    LOG_INFO("Listening");
    tcp_arg(boundPcb_, this);
    tcp_accept(boundPcb_, &PacketTunnelTCPProxyServer::onAccept);
}

err_t PacketTunnelTCPProxyServer::onAccept(void* arg, tcp_pcb* pcb, err_t err) {
    if (err != ERR_OK || !pcb)
        return err;
    auto server = std::static_pointer_cast<PacketTunnelTCPProxyServer>(
        static_cast<PacketTunnelTCPProxyServer*>(arg)->shared_from_this());
    std::shared_ptr<TCPSocket> app; // held for the whole callback
    try {
        server->accept(pcb, app);
    } catch (...) {
        tcp_abort(pcb);
        return ERR_ABRT;
    }
    // A connect that failed at once has closed the new socket with its error: the pcb is gone.
    return app && app->abortedPcb() ? ERR_ABRT : ERR_OK;
}

void PacketTunnelTCPProxyServer::accept(tcp_pcb* pcb, std::shared_ptr<TCPSocket>& app) {
    tcp_nagle_disable(pcb);
    auto self = std::static_pointer_cast<PacketTunnelTCPProxyServer>(shared_from_this());
    auto evt = ProxyEvent::make(self);
    auto destination = LWIPHelpers::ipAddrToString(pcb->local_ip);
    evt->host = destination;
    evt->port = pcb->local_port;
    evt->clientLocalAddress =
        std::make_shared<InetAddress>("localhost", LWIPHelpers::ipAddrToString(pcb->remote_ip));
    evt->clientLocalPort = pcb->remote_port;
    evt->startTime = std::chrono::system_clock::now();
    evt->tunnel = true;
    notifyTransactionConnect(evt);
    try {
        notifyReceivedRequestAddress(evt);
    } catch (...) {
        evt->exception = currentError();
        evt->endTime = std::chrono::system_clock::now();
        notifyTransactionException(evt);
        throw;
    }
    notifyReceivedRequestURL(evt);
    if (!evt->remoteAddress) {
        evt->remoteAddress = std::make_shared<InetAddress>(destination, destination);
        evt->remotePort = pcb->local_port;
    } else if (!evt->remotePort) {
        evt->remotePort = pcb->local_port; // a listener named only the address
    }
    notifyConnectingToRemote(evt);
    app = TCPSocket::make(pcb, queue_);
    auto relay = std::make_shared<Relay>(self, evt, app);
    auto socket =
        ProxySocket::connecting(*evt->remoteAddress, static_cast<int>(*evt->remotePort), queue_,
                                [relay](SocketConnectionState state) { relay->connectDone(state); });
    if (relay->connectError) { // failed at once, before the socket was the relay's
        socket->close(relay->connectError);
        return;
    }
    relay->remote = socket;
    sockets_.insert(socket);
}

} // namespace pemtrox
