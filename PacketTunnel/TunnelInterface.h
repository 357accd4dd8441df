#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "PacketFlow.h"
#include "lwip/netif.h"

namespace pemtrox {

class DispatchQueue;

/// The stack's tunnel interface: the interface record through which packets from the
/// packet flow enter the stack, on the stack's queue, and through which everything the
/// stack sends is written back to the flow.
///
/// Everything runs on the stack's queue: the record's changes, the output slot and the
/// read loop, to which the flow delivers its batches, so a removal never races with a
/// batch being taken in.
class TunnelInterface : public std::enable_shared_from_this<TunnelInterface> {
public:
    static std::shared_ptr<TunnelInterface> make(std::shared_ptr<DispatchQueue> stackQueue,
                                                 std::shared_ptr<PacketFlow> flow);
    /// Removes the record from the stack if that has not happened yet.
    ~TunnelInterface();
    TunnelInterface(const TunnelInterface&) = delete;
    TunnelInterface& operator=(const TunnelInterface&) = delete;

    /// Adds the record to the stack with the IPv4 address (netmask 255.255.255.255, the
    /// address as gateway, no IPv6 address), makes it up, link-up and the default, and
    /// installs the output block. The stack must be initialised.
    void add(const std::string& ipv4Address);
    /// Starts the read loop: each batch enters the stack packet by packet, each packet
    /// fully processed before the next; then the next batch is requested. The loop ends at
    /// the first batch after remove().
    void startReading();
    /// Ends the read loop, clears the output slot, and takes the record down and out of
    /// the stack. Not from the stack's queue (the read loop may be waiting on it).
    void remove();

    /// The record, for stack calls on the stack's queue.
    struct netif* record() {
        return &netif_;
    }
    const std::shared_ptr<DispatchQueue>& stackQueue() const { return stackQueue_; }

private:
    TunnelInterface(std::shared_ptr<DispatchQueue> stackQueue, std::shared_ptr<PacketFlow> flow);
    void requestBatch();
    void handlePackets(PacketFlow::Packets packets);
    void writePacket(const struct pbuf* packet);
    void removeFromStack();

    std::shared_ptr<DispatchQueue> stackQueue_;
    std::shared_ptr<PacketFlow> flow_;
    struct netif netif_ {};
    bool added_ = false;                                             // on the stack's queue
    bool reading_ = false;                                           // on the stack's queue
    std::optional<std::chrono::steady_clock::time_point> lastWrite_; // on the stack's queue
};

} // namespace pemtrox
