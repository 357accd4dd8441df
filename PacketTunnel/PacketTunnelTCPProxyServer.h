#pragma once

#include <memory>
#include <set>

#include "lwip/tcp.h"
#include "proxy/engine/AbstractProxyServer.h"

namespace pemtrox {

class DispatchQueue;
class ProxyEvent;
class ProxySocket;
class TCPSocket;

/// The stack's catch-all listener: every TCP connection (IPv4 and IPv6) that no other
/// listener of the stack takes is relayed, unchanged, to the endpoint the app dialled, as
/// one tunnel exchange that the listeners see step by step and may refuse at the address
/// or URL step. Outgoing connections are made from the program's own network.
///
/// The bytes go through a ByteRelay and its end rules: a clean end of one direction ends our
/// sending side toward the other peer while the other direction runs on to its end; an
/// error resets both peers; the connection is torn down once. Everything runs on `queue`, the stack's queue;
/// start and stop enter it synchronously, so they must not be called on it.
class PacketTunnelTCPProxyServer : public AbstractProxyServer {
public:
    static std::shared_ptr<PacketTunnelTCPProxyServer> make(std::shared_ptr<DispatchQueue> queue);
    explicit PacketTunnelTCPProxyServer(std::shared_ptr<DispatchQueue> queue);
    /// Closes the listener if it is still open.
    ~PacketTunnelTCPProxyServer() override;

    bool transparent() const override { return true; }
    bool supportsTransparent() const override { return true; }
    std::shared_ptr<DispatchQueue> queue() const override { return queue_; }
    /// A ProxySocket connecting on the relay's queue.
    std::shared_ptr<Socket> openRemoteSocket(const std::optional<std::string>& scheme,
                                             const InetAddress& address, const std::string& host, int port,
                                             SocketConnectCallback completion) override;

    /// Listens for every connection the stack has no other listener for; throws
    /// PacketTunnelProxyServerError.bindFailure.
    void start();
    /// Closes the listener; relayed connections run to their end.
    void stop();
    /// Outgoing sockets in use. On the queue.
    std::size_t socketCount() const { return sockets_.size(); }

private:
    class Relay;
    void bind();
    static err_t onAccept(void* arg, tcp_pcb* pcb, err_t err);
    /// Relays one new connection; throws a listener's refusal. `app` is the socket once made.
    void accept(tcp_pcb* pcb, std::shared_ptr<TCPSocket>& app);
    void forget(const std::shared_ptr<ProxySocket>& socket) { sockets_.erase(socket); }

    std::shared_ptr<DispatchQueue> queue_;
    tcp_pcb* boundPcb_ = nullptr;
    std::set<std::shared_ptr<ProxySocket>> sockets_;
};

} // namespace pemtrox
