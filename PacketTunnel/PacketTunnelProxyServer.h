#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "lwip/tcp.h"
#include "proxy/tls/SSLProxyServer.h"

namespace pemtrox {

/// The TLS-aware proxy server with its listening end on the stack: a listener on the proxy
/// port (every address of both families) whose connections become TCPSockets served by
/// the ordinary handlers. bind and stopListening enter the queue synchronously, so they
/// must not be called on it.
class PacketTunnelProxyServer : public SSLProxyServer {
public:
    static std::shared_ptr<PacketTunnelProxyServer>
    make(SSLSettings settings, std::shared_ptr<DispatchQueue> queue,
         std::shared_ptr<SSLContextFactory> contextFactory = nullptr,
         std::shared_ptr<SSLCAGenerator> ca = nullptr);
    using SSLProxyServer::SSLProxyServer;
    /// Closes the listener if it is still open.
    ~PacketTunnelProxyServer() override;

    /// Listens on the port of the stack; the interface is ignored. Throws
    /// PacketTunnelProxyServerError.bindFailure (also for a port outside 0...65535).
    void bind(int port, const std::optional<std::string>& interface = std::nullopt) override;
    /// Closes the listener; accepted connections go on. Harmless when not listening.
    void stopListening() override;
    std::optional<int> localPort() const override;

    /// The relay's refused destinations are refused here too (see relaydest_refused), by the
    /// address a request resolves to: apps reach this server through the tunnel, and must not
    /// reach through it the services that listen on this machine's loopback for it alone.
    ErrorPtr refusedDestination(const InetAddress& address, int port) const override;
    /// On by default; off only for tests whose servers listen on 127.0.0.1.
    void setRefusesLoopback(bool refuses) { refusesLoopback_ = refuses; }

private:
    static err_t onAccept(void* arg, tcp_pcb* pcb, err_t err);
    tcp_pcb* boundPcb_ = nullptr; // on the queue
    std::optional<int> port_;
    std::atomic<bool> refusesLoopback_{true};
};

} // namespace pemtrox
