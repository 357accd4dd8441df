#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "lwip/ip_addr.h"
#include "platform/Error.h"
#include "proxy/io/GCDAsyncSocketSwiftDelegate.h"

struct pbuf;
struct udp_pcb;

namespace pemtrox {

class DispatchQueue;
class GCDAsyncUdpSocketDelegateHelper;
class RepeatingTimer;

/// The catch-all endpoint could not be bound; carries the stack's error number.
class PacketTunnelUDPError : public ErrorBase<PacketTunnelUDPError> {
public:
    explicit PacketTunnelUDPError(int bindError) : bindError(bindError) {}
    std::string description() const override { return "bindError(" + std::to_string(bindError) + ")"; }
    int bindError;
};

/// Relays every UDP datagram the device sends into the stack through a socket of its own
/// per client endpoint (address and port), shared by all the destinations of that endpoint;
/// what such a socket receives goes back into the stack addressed to the client, with the
/// replying server's address and port as its source.
///
/// Everything runs on the stack's queue; the public calls may come from any thread and run
/// there synchronously. Idle sockets are closed by a sweep, and the table is capped: when it
/// is full, the least recently used socket is closed to make room.
class PacketTunnelUDPProxyServer : public GCDAsyncUdpSocketSwiftDelegate,
                                   public std::enable_shared_from_this<PacketTunnelUDPProxyServer> {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        /// A socket unused for longer is closed by the next sweep.
        Clock::duration maxAge = std::chrono::seconds(60);
        Clock::duration vacuumPeriod = std::chrono::seconds(10);
        /// The most sockets open at once; 0: a quarter of the descriptor limit (16 to 4096).
        std::size_t maxSockets = 0;
    };

    /// The client end of one relayed flow, kept as its socket's user data.
    struct LocalAddress {
        ip_addr_t addr;
        std::uint16_t port;
        Clock::time_point lastUsed;
    };

    static std::shared_ptr<PacketTunnelUDPProxyServer> make(std::shared_ptr<DispatchQueue> queue);
    static std::shared_ptr<PacketTunnelUDPProxyServer> make(std::shared_ptr<DispatchQueue> queue,
                                                            Limits limits);
    /// Stops the relay if that has not happened yet.
    ~PacketTunnelUDPProxyServer() override;
    PacketTunnelUDPProxyServer(const PacketTunnelUDPProxyServer&) = delete;
    PacketTunnelUDPProxyServer& operator=(const PacketTunnelUDPProxyServer&) = delete;

    /// Raises the soft descriptor limit to the hard one, makes the stack's catch-all UDP
    /// endpoint and starts the sweep. Throws PacketTunnelUDPError. The stack must be running.
    void bind();
    /// Removes the catch-all endpoint, ends the sweep and closes every relay socket.
    void stop();

    /// The relay sockets open now.
    std::size_t socketCount() const;
    std::size_t maxSockets() const;

    void udpSocketDidSendData(AsyncUdpSocket&, long) override {}
    void udpSocketDidReceive(AsyncUdpSocket& socket, Data data, Data fromAddress,
                             std::shared_ptr<void> filterContext) override;
    void udpSocketDidClose(AsyncUdpSocket& socket, ErrorPtr error) override;

private:
    // Client address type, address words and port.
    using Key = std::array<std::uint32_t, 6>;
    struct UDPSocketPair {
        std::shared_ptr<AsyncUdpSocket> socket;
        std::shared_ptr<GCDAsyncUdpSocketDelegateHelper> delegateHelper;
        std::shared_ptr<LocalAddress> local;
        Key key;
    };
    // Least recently used first.
    using Entries = std::list<UDPSocketPair>;

    PacketTunnelUDPProxyServer(std::shared_ptr<DispatchQueue> queue, Limits limits);
    static Key keyOf(const ip_addr_t& addr, std::uint16_t port);
    static void recv(void* arg, udp_pcb* pcb, pbuf* p, const ip_addr_t* addr, std::uint16_t port,
                     const ip_addr_t* destAddr, std::uint16_t destPort);
    void received(pbuf* p, const ip_addr_t& addr, std::uint16_t port, const ip_addr_t& destAddr,
                  std::uint16_t destPort);
    std::shared_ptr<AsyncUdpSocket> socket(const ip_addr_t& addr, std::uint16_t port);
    void refused(const char* text, const Error& error);
    Entries::iterator find(AsyncUdpSocket& socket);
    void touch(Entries::iterator entry);
    void remove(Entries::iterator entry);
    void startVacuumTimer();
    void vacuum();
    void stopOnQueue();

    std::shared_ptr<DispatchQueue> queue_;
    Limits limits_;
    std::size_t maxSockets_ = 0;
    udp_pcb* udppcb_ = nullptr;
    Entries entries_;
    std::map<Key, Entries::iterator> sockets_;
    std::shared_ptr<RepeatingTimer> timer_;
    std::size_t refusedInBurst_ = 0; // sockets refused since one was last made
};

} // namespace pemtrox
