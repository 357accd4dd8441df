#include "PacketTunnelUDPProxyServer.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "LWIPHelpers.h"
#include "PacketTunnel/lwipglue/relaydest.h"
#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "lwip/prot/udp.h"
#include "lwip/udp.h"
#include "platform/AsyncUdpSocket.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/LogEntryPoints.h"
#include "platform/SocketAddress.h"
#include "proxy/io/GCDAsyncSocketDelegateHelper.h"

namespace pemtrox {

namespace {

// Resolvers use a new port per query and each port keeps its socket for a minute: the
// process needs every descriptor it may have.
rlim_t raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised{limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur;
}

struct Sender {
    ip_addr_t addr;
    std::uint16_t port;
};

// The sender of a received datagram as the stack's address. The dual-stack socket reports
// IPv4 senders as mapped IPv6 addresses: the stack takes them only as IPv4.
Sender senderOf(const Data& address) {
    auto parsed = SocketAddress::parse(address);
    if (!parsed)
        fatalError("Unsupported received address family: " +
                   std::to_string(SocketAddress::familyOf(address)));
    SocketAddress from = parsed->unmapped();
    Sender sender{};
    sender.port = from.port;
    if (from.family == AF_INET) {
        std::uint32_t v4;
        std::memcpy(&v4, from.address.data(), sizeof v4);
        ip_addr_set_ip4_u32_val(sender.addr, v4);
    } else {
        std::uint32_t words[4];
        std::memcpy(words, from.address.data(), sizeof words);
        IP_ADDR6(&sender.addr, words[0], words[1], words[2], words[3]);
        ip6_addr_clear_zone(ip_2_ip6(&sender.addr));
    }
    return sender;
}

} // namespace

std::shared_ptr<PacketTunnelUDPProxyServer>
PacketTunnelUDPProxyServer::make(std::shared_ptr<DispatchQueue> queue) {
    return make(std::move(queue), Limits{});
}

std::shared_ptr<PacketTunnelUDPProxyServer>
PacketTunnelUDPProxyServer::make(std::shared_ptr<DispatchQueue> queue, Limits limits) {
    return std::shared_ptr<PacketTunnelUDPProxyServer>(
        new PacketTunnelUDPProxyServer(std::move(queue), limits));
}

PacketTunnelUDPProxyServer::PacketTunnelUDPProxyServer(std::shared_ptr<DispatchQueue> queue, Limits limits)
    : queue_(std::move(queue)), limits_(limits) {}

PacketTunnelUDPProxyServer::~PacketTunnelUDPProxyServer() {
    queue_->onQueue([this] { stopOnQueue(); });
}

void PacketTunnelUDPProxyServer::bind() {
    rlim_t descriptors = raiseDescriptorLimit();
    queue_->onQueue([&] {
        if (udppcb_) // bound already
            return;
        maxSockets_ = limits_.maxSockets
                          ? limits_.maxSockets
                          : static_cast<std::size_t>(std::clamp<rlim_t>(descriptors / 4, 16, 4096));
        udppcb_ = udp_new_ip_type(IPADDR_TYPE_ANY);
        if (udppcb_ == nullptr)
            throw PacketTunnelUDPError(ERR_MEM);
        if (err_t err = udp_bind(udppcb_, IP_ANY_TYPE, 0); err != ERR_OK)
            throw PacketTunnelUDPError(err);
        // The bind chose a port; on port 0 the endpoint takes every port no other one holds.
        udppcb_->local_port = 0;
        udp_recv(udppcb_, recv, this);
        startVacuumTimer();
    });
}

void PacketTunnelUDPProxyServer::stop() {
    queue_->onQueue([this] { stopOnQueue(); });
}

void PacketTunnelUDPProxyServer::stopOnQueue() {
    // The stack outlives the relay: the endpoint must not call a relay that is gone.
    if (udppcb_) {
        udp_recv(udppcb_, nullptr, nullptr);
        udp_remove(udppcb_);
        udppcb_ = nullptr;
    }
    if (timer_)
        timer_->cancel();
    timer_.reset();
    sockets_.clear();
    for (auto& entry : entries_)
        entry.socket->close();
    entries_.clear();
}

std::size_t PacketTunnelUDPProxyServer::socketCount() const {
    return queue_->onQueue([this] { return entries_.size(); });
}

std::size_t PacketTunnelUDPProxyServer::maxSockets() const {
    return queue_->onQueue([this] { return maxSockets_; });
}

void PacketTunnelUDPProxyServer::recv(void* arg, udp_pcb*, pbuf* p, const ip_addr_t* addr, std::uint16_t port,
                                      const ip_addr_t* destAddr, std::uint16_t destPort) {
    static_cast<PacketTunnelUDPProxyServer*>(arg)->received(p, *addr, port, *destAddr, destPort);
}

void PacketTunnelUDPProxyServer::received(pbuf* p, const ip_addr_t& addr, std::uint16_t port,
                                          const ip_addr_t& destAddr, std::uint16_t destPort) {
    LOG_VERBOSE("Received my UDP! port {} -> {}", port, destPort);
    // The gateway's loopback and the like. The stack has stepped over the UDP header, which
    // lies just before the payload.
    if (relaydest_udp_refused(destAddr, static_cast<const std::uint8_t*>(p->payload) - UDP_HLEN)) {
        pbuf_free(p);
        return;
    }
    Data data(p->tot_len);
    pbuf_copy_partial(p, data.data(), p->tot_len, 0);
    pbuf_free(p);
    auto relay = socket(addr, port);
    if (!relay)
        return;
    auto destination = LWIPHelpers::ipAddrToString(destAddr);
    LOG_VERBOSE("Sending UDP from {}:{} to {}:{}", LWIPHelpers::ipAddrToString(addr), port, destination,
                destPort);
    relay->sendData(std::move(data), destination, destPort, 0);
}

PacketTunnelUDPProxyServer::Key PacketTunnelUDPProxyServer::keyOf(const ip_addr_t& addr, std::uint16_t port) {
    Key key{IP_GET_TYPE(&addr), 0, 0, 0, 0, port};
    if (IP_IS_V6_VAL(addr))
        std::copy(std::begin(ip_2_ip6(&addr)->addr), std::end(ip_2_ip6(&addr)->addr), key.begin() + 1);
    else
        key[1] = ip4_addr_get_u32(ip_2_ip4(&addr));
    return key;
}

std::shared_ptr<AsyncUdpSocket> PacketTunnelUDPProxyServer::socket(const ip_addr_t& addr,
                                                                   std::uint16_t port) {
    Key key = keyOf(addr, port);
    if (auto found = sockets_.find(key); found != sockets_.end()) {
        touch(found->second);
        return found->second->socket;
    }
    if (entries_.size() >= maxSockets_ && !entries_.empty())
        remove(entries_.begin());
    auto helper = std::make_shared<GCDAsyncUdpSocketDelegateHelper>();
    helper->delegate = weak_from_this();
    auto relay = AsyncUdpSocket::make(queue_);
    relay->setDelegate(helper);
    try {
        relay->bind(std::nullopt, 0);
    } catch (const Error& error) {
        refused("Failed to bind udp: ", error);
        return nullptr;
    }
    try {
        relay->beginReceiving();
    } catch (const Error& error) {
        relay->close();
        refused("Failed to begin receiving udp: ", error);
        return nullptr;
    }
    refusedInBurst_ = 0;
    auto local = std::make_shared<LocalAddress>(LocalAddress{addr, port, Clock::now()});
    relay->setUserData(local);
    entries_.push_back({relay, std::move(helper), std::move(local), key});
    sockets_[key] = std::prev(entries_.end());
    return relay;
}

// Once out of descriptors every datagram fails the same way: one line per burst.
void PacketTunnelUDPProxyServer::refused(const char* text, const Error& error) {
    if (refusedInBurst_++ == 0)
        logWarning(text, error);
}

PacketTunnelUDPProxyServer::Entries::iterator PacketTunnelUDPProxyServer::find(AsyncUdpSocket& socket) {
    auto local = std::static_pointer_cast<LocalAddress>(socket.userData());
    if (!local)
        return entries_.end();
    auto found = sockets_.find(keyOf(local->addr, local->port));
    return found != sockets_.end() && found->second->socket.get() == &socket ? found->second : entries_.end();
}

void PacketTunnelUDPProxyServer::touch(Entries::iterator entry) {
    entry->local->lastUsed = Clock::now();
    entries_.splice(entries_.end(), entries_, entry);
}

void PacketTunnelUDPProxyServer::remove(Entries::iterator entry) {
    sockets_.erase(entry->key);
    entry->socket->close();
    entries_.erase(entry);
}

void PacketTunnelUDPProxyServer::udpSocketDidReceive(AsyncUdpSocket& socket, Data data, Data fromAddress,
                                                     std::shared_ptr<void>) {
    auto entry = find(socket);
    if (entry == entries_.end())
        return;
    // A UDP payload is at most 65535 bytes, the stack's lengths are 16-bit.
    auto length = static_cast<u16_t>(std::min<std::size_t>(data.size(), 0xFFFF));
    pbuf* p = pbuf_alloc(PBUF_TRANSPORT, length, PBUF_RAM);
    // An empty reply has nothing to take (and no data pointer, which the stack refuses).
    err_t err = p ? static_cast<err_t>(ERR_OK) : static_cast<err_t>(ERR_MEM);
    if (p && length)
        err = pbuf_take(p, data.data(), length);
    if (err != ERR_OK) {
        LOG_WARNING("Failed to take response data: {}", err);
        if (p)
            pbuf_free(p);
        return;
    }
    touch(entry);
    const LocalAddress& local = *entry->local;
    Sender sender = senderOf(fromAddress);
    udp_pcb* reply = nullptr;
    if (IP_GET_TYPE(&sender.addr) != IP_GET_TYPE(&local.addr))
        LOG_VERBOSE("Dropped UDP from {} to a client of the other family",
                    LWIPHelpers::ipAddrToString(sender.addr));
    else if (!netif_default || (reply = udp_new_ip_type(IPADDR_TYPE_ANY)) == nullptr)
        LOG_WARNING("Failed to send response udp: {}", static_cast<int>(netif_default ? ERR_MEM : ERR_IF));
    if (reply == nullptr) {
        pbuf_free(p);
        return;
    }
    // Not bound: a bound endpoint would hold the port; only the reply's source port is set.
    reply->local_port = sender.port;
    err = udp_sendto_if_src(reply, p, &local.addr, local.port, netif_default, &sender.addr);
    if (err != ERR_OK)
        LOG_WARNING("Failed to send response udp: {}", err);
    udp_remove(reply);
    pbuf_free(p);
}

void PacketTunnelUDPProxyServer::udpSocketDidClose(AsyncUdpSocket& socket, ErrorPtr) {
    LOG_VERBOSE("UDP socket closed");
    // A socket that closed by itself would swallow its client's datagrams until swept.
    if (auto entry = find(socket); entry != entries_.end())
        remove(entry);
}

void PacketTunnelUDPProxyServer::startVacuumTimer() {
    std::weak_ptr<PacketTunnelUDPProxyServer> weak = weak_from_this();
    timer_ = queue_->every(
        limits_.vacuumPeriod,
        [weak] {
            if (auto self = weak.lock())
                self->vacuum();
        },
        true);
}

void PacketTunnelUDPProxyServer::vacuum() {
    auto cutoff = Clock::now() - limits_.maxAge;
    std::size_t closed = 0;
    // Least recently used first: the idle ones lead the list.
    while (!entries_.empty() && entries_.front().local->lastUsed < cutoff) {
        remove(entries_.begin());
        ++closed;
    }
    LOG_VERBOSE("Vacuumed {} UDP sockets, {} remaining", closed, entries_.size());
}

} // namespace pemtrox
