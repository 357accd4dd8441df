#include "PacketTunnel/PacketTunnelProxyServer.h"

#include "PacketTunnel/LWIPHelpers.h"
#include "PacketTunnel/PacketTunnelProxyServerError.h"
#include "PacketTunnel/TCPSocket.h"
#include "PacketTunnel/lwipglue/relaydest.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/engine/SocketProxyConnection.h"
#include "proxy/io/InetAddress.h"

namespace pemtrox {

std::shared_ptr<PacketTunnelProxyServer>
PacketTunnelProxyServer::make(SSLSettings settings, std::shared_ptr<DispatchQueue> queue,
                              std::shared_ptr<SSLContextFactory> contextFactory,
                              std::shared_ptr<SSLCAGenerator> ca) {
    return std::make_shared<PacketTunnelProxyServer>(std::make_shared<const SSLSettings>(std::move(settings)),
                                                     std::move(queue), std::move(contextFactory),
                                                     std::move(ca));
}

PacketTunnelProxyServer::~PacketTunnelProxyServer() {
    LOG_INFO("PacketTunnelProxyServer deinit");
    // A listener left open would hand its next connection to a server that is gone.
    if (boundPcb_)
        queue()->onQueue([&] { tcp_close(boundPcb_); });
}

void PacketTunnelProxyServer::bind(int port, const std::optional<std::string>&) {
    queue()->sync([&] {
        if (port < 0 || port > 65535)
            throw PacketTunnelProxyServerError::bindFailure();
        // The any-type address serves IPv6 apps as well as IPv4 ones.
        tcp_pcb* pcb = tcp_new_ip_type(IPADDR_TYPE_ANY);
        if (!pcb)
            throw PacketTunnelProxyServerError::bindFailure();
        if (tcp_bind(pcb, IP_ANY_TYPE, static_cast<u16_t>(port)) != ERR_OK) {
            tcp_close(pcb);
            throw PacketTunnelProxyServerError::bindFailure();
        }
        LOG_INFO("Bound");
        tcp_pcb* listener = tcp_listen_with_backlog(pcb, 255);
        if (!listener) {
            LOG_INFO("Failed to start listening");
            tcp_close(pcb);
            throw PacketTunnelProxyServerError::bindFailure();
        }
        boundPcb_ = listener;
        port_ = port;
        LOG_INFO("Listening");
        tcp_arg(boundPcb_, this);
        tcp_accept(boundPcb_, &PacketTunnelProxyServer::onAccept);
    });
}

void PacketTunnelProxyServer::stopListening() {
    queue()->sync([&] {
        if (boundPcb_)
            tcp_close(boundPcb_);
        boundPcb_ = nullptr;
        port_.reset();
    });
}

std::optional<int> PacketTunnelProxyServer::localPort() const {
    return queue()->onQueue([&] { return port_; });
}

ErrorPtr PacketTunnelProxyServer::refusedDestination(const InetAddress& address, int port) const {
    auto destination = LWIPHelpers::parseIpAddr(address.address());
    if (!refusesLoopback_ || !destination || !relaydest_refused(*destination))
        return nullptr; // text that is no address fails in the socket, which takes numbers only
    auto text =
        address.address().find(':') == std::string::npos ? address.address() : "[" + address.address() + "]";
    return makeError<GenericError>("Refused to connect to " + text + ":" + std::to_string(port) +
                                       ": loopback, unspecified, multicast and broadcast addresses are "
                                       "not reachable through the tunnel",
                                   "Destination refused");
}

err_t PacketTunnelProxyServer::onAccept(void* arg, tcp_pcb* pcb, err_t err) {
    if (err != ERR_OK || !pcb)
        return err;
    auto server = std::static_pointer_cast<PacketTunnelProxyServer>(
        static_cast<PacketTunnelProxyServer*>(arg)->shared_from_this());
    tcp_nagle_disable(pcb);
    auto socket = TCPSocket::make(pcb, server->queue()); // held for the whole callback
    server->handleConnection(SocketProxyConnection::make(socket));
    return socket->abortedPcb() ? ERR_ABRT : ERR_OK;
}

} // namespace pemtrox
