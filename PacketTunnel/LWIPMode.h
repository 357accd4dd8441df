#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "proxy/engine/SSLSettings.h"

namespace pemtrox {

class DispatchQueue;
class PacketFlow;
class PacketTunnelICMP6Handler;
class PacketTunnelICMPHandler;
class PacketTunnelProxyServer;
class PacketTunnelTCPProxyServer;
class PacketTunnelUDPProxyServer;
class RepeatingTimer;
class TunnelInterface;

/// LWIP mode's objects, brought up and down in order: the stack, the tunnel interface on
/// the packet flow, the "Proxying" queue with the stack's timer, the proxy server on the
/// stack (with the CA download, TLS test and logging listeners), the UDP relay, the
/// catch-all TCP relay and the two ICMP handlers with their bridge receivers.
///
/// A server that cannot bind is logged and the rest goes on. Start and stop are called
/// from a thread other than the queue's.
class LWIPMode {
public:
    struct Configuration {
        std::string tunnelAddress = "198.18.72.254";
        int proxyPort = 8888;
        std::shared_ptr<const SSLSettings> sslSettings = std::make_shared<const SSLSettings>();
        /// Where the interception CA is kept (the app group container); empty: the default.
        std::filesystem::path caDirectory;
    };

    /// Brings the mode up. The stack starts once per process: a second start throws
    /// LWIPStackError, before anything is made.
    static std::unique_ptr<LWIPMode> start(const Configuration& configuration,
                                           std::shared_ptr<PacketFlow> flow);
    /// Stops if still up.
    ~LWIPMode();
    LWIPMode(const LWIPMode&) = delete;
    LWIPMode& operator=(const LWIPMode&) = delete;

    /// Starts feeding the flow's packets into the stack (once the tunnel settings apply).
    void startReading();
    /// Takes everything down in order; connections still open run on. Idempotent.
    void stop();
    /// A network change begins: the ICMP sockets are closed, and messages dropped, until
    /// rebindICMPSockets (both run on the stack's queue, so no send races the change).
    void invalidateICMPSockets();
    /// The network change is done: the ICMP sockets are opened again; a failure is logged.
    void rebindICMPSockets();

    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }
    const std::shared_ptr<PacketTunnelProxyServer>& proxyServer() const { return proxyServer_; }
    const std::shared_ptr<PacketTunnelTCPProxyServer>& tcpProxyServer() const { return tcpProxyServer_; }
    const std::shared_ptr<PacketTunnelUDPProxyServer>& udpProxyServer() const { return udpProxyServer_; }
    const std::shared_ptr<PacketTunnelICMPHandler>& icmpHandler() const { return icmpHandler_; }
    const std::shared_ptr<PacketTunnelICMP6Handler>& icmp6Handler() const { return icmp6Handler_; }

private:
    LWIPMode() = default;
    void startServers(const Configuration& configuration);
    void startDatagramRelays();

    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<TunnelInterface> interface_;
    std::shared_ptr<RepeatingTimer> timer_;
    std::shared_ptr<PacketTunnelProxyServer> proxyServer_;
    std::shared_ptr<PacketTunnelTCPProxyServer> tcpProxyServer_;
    std::shared_ptr<PacketTunnelUDPProxyServer> udpProxyServer_;
    std::shared_ptr<PacketTunnelICMPHandler> icmpHandler_;
    std::shared_ptr<PacketTunnelICMP6Handler> icmp6Handler_;
    bool stopped_ = false;
};

} // namespace pemtrox
