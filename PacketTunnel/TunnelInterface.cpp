#include "TunnelInterface.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>

#include "PacketTunnel/lwipglue/lwipmem.h"
#include "PacketTunnel/lwipglue/netunif.h"
#include "PacketTunnel/lwipglue/relaydest.h"
#include "lwip/ip.h"
#include "lwip/pbuf.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"

namespace pemtrox {

std::shared_ptr<TunnelInterface> TunnelInterface::make(std::shared_ptr<DispatchQueue> stackQueue,
                                                       std::shared_ptr<PacketFlow> flow) {
    return std::shared_ptr<TunnelInterface>(new TunnelInterface(std::move(stackQueue), std::move(flow)));
}

TunnelInterface::TunnelInterface(std::shared_ptr<DispatchQueue> stackQueue, std::shared_ptr<PacketFlow> flow)
    : stackQueue_(std::move(stackQueue)), flow_(std::move(flow)) {}

TunnelInterface::~TunnelInterface() {
    // No other thread holds the interface any more; added_ was last written in a sync.
    if (added_)
        stackQueue_->sync([this] { removeFromStack(); });
}

void TunnelInterface::add(const std::string& ipv4Address) {
    std::weak_ptr<TunnelInterface> weak = weak_from_this();
    stackQueue_->sync([&] {
        if (added_)
            return;
        ip4_addr_t address, netmask, gateway;
        ip4_addr_set_zero(&address);
        ip4_addr_set_zero(&netmask);
        ip4_addr_set_zero(&gateway);
        ip4addr_aton(ipv4Address.c_str(), &address);
        ip4addr_aton("255.255.255.255", &netmask);
        ip4addr_aton(ipv4Address.c_str(), &gateway);
        netif_add(&netif_, &address, &netmask, &gateway, nullptr, netunif_init, ip_input);
        netif_set_up(&netif_);
        netif_set_link_up(&netif_);
        netif_set_default(&netif_);
        added_ = true;
        lastWrite_ = std::chrono::steady_clock::now();
        netunif_set_output_block([weak](const struct pbuf* packet) {
            if (auto self = weak.lock())
                self->writePacket(packet);
        });
    });
}

void TunnelInterface::startReading() {
    // Batches come straight to the stack's queue, which asks for the next one as soon as it
    // has taken one in: no other thread stands between the device and the stack.
    flow_->setDeliveryQueue(stackQueue_);
    stackQueue_->async([self = shared_from_this()] {
        self->reading_ = true;
        self->requestBatch();
    });
}

void TunnelInterface::remove() {
    if (stackQueue_->isCurrent())
        fatalError("TunnelInterface::remove called on the stack's queue");
    stackQueue_->sync([this] {
        reading_ = false;
        removeFromStack();
    });
}

void TunnelInterface::removeFromStack() {
    if (!added_)
        return;
    added_ = false;
    // Packets turned away unread: an app writing broken packets shows here, not per packet.
    if (auto malformed = netunif_input_malformed())
        LOG_INFO("Tunnel input: {} malformed packets dropped", malformed);
    if (auto refused = relaydest_refusals(); refused.tcp || refused.udp || refused.icmp)
        LOG_INFO("Tunnel input: {} TCP segments, {} UDP datagrams and {} ICMP echo requests to loopback, "
                 "unspecified, multicast or broadcast destinations refused",
                 refused.tcp, refused.udp, refused.icmp);
    netunif_set_output_block(nullptr);
    netif_set_link_down(&netif_);
    netif_set_down(&netif_);
    netif_remove(&netif_);
}

void TunnelInterface::requestBatch() {
    std::weak_ptr<TunnelInterface> weak = weak_from_this();
    flow_->readPackets([weak](PacketFlow::Packets packets, PacketFlow::Protocols) {
        if (auto self = weak.lock())
            self->handlePackets(std::move(packets));
        else
            LOG_WARNING("handleMyPackets called without a queue");
    });
}

void TunnelInterface::handlePackets(PacketFlow::Packets packets) {
    if (!reading_) {
        LOG_WARNING("handleMyPackets called without a queue");
        return;
    }
    // Each packet is fully processed, with everything it makes the stack send, before the
    // next enters.
    for (const auto& packet : packets)
        if (added_)
            netunif_input(&netif_, packet.data(), packet.size());
    // The batch's acknowledgements have freed queued output: connections waiting for the
    // stack's memory go on.
    lwipmem_release();
    requestBatch();
}

void TunnelInterface::writePacket(const struct pbuf* packet) {
    auto now = std::chrono::steady_clock::now();
    if (lastWrite_) {
        double gap = std::chrono::duration<double>(now - *lastWrite_).count();
        if (gap > 0.4 && gap < 2.0)
            LOG_VERBOSE("Long wait since writing {:f}", gap);
    }
    lastWrite_ = now;
    if (packet->tot_len >= 4)
        LOG_VERBOSE("PacketTunnel: Writing {}", pbuf_get_at(packet, 2) << 8 | pbuf_get_at(packet, 3));
    // The flow takes a family per packet; the stack does not say, the version nibble does.
    int protocol = packet->tot_len > 0 && pbuf_get_at(packet, 0) >> 4 == 6 ? AF_INET6 : AF_INET;
    // The chain's buffers go to the device as they are, one gathered write per packet: no
    // copy and no allocation on the way (a chain longer than a TCP segment's header and
    // data pieces is rare, and gathered first).
    std::array<iovec, 8> pieces;
    std::size_t count = 0;
    const struct pbuf* piece = packet;
    for (; piece != nullptr && count < pieces.size(); piece = piece->next)
        if (piece->len > 0)
            pieces[count++] = iovec{piece->payload, piece->len};
    bool written;
    if (piece == nullptr) {
        written = flow_->writePacket(std::span<const iovec>(pieces.data(), count), protocol);
    } else {
        Data bytes(packet->tot_len);
        pbuf_copy_partial(packet, bytes.data(), packet->tot_len, 0);
        written = flow_->writePackets({std::move(bytes)}, {protocol});
    }
    if (!written)
        LOG_INFO("failed to write packets");
}

} // namespace pemtrox
