#pragma once

#include <sys/uio.h>

#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "proxy/io/Data.h"

namespace pemtrox {

class DispatchQueue;

/// The tunnel's packet flow: the IP packets the device sends into the tunnel, and the
/// way back to it.
class PacketFlow {
public:
    using Packets = std::vector<Data>;
    /// The protocol family of each packet (AF_INET or AF_INET6), in the order of the packets.
    using Protocols = std::vector<int>;
    using ReadHandler = std::function<void(Packets packets, Protocols protocols)>;

    virtual ~PacketFlow() = default;
    /// Asks for the next batch. The handler runs exactly once, on the delivery queue, with
    /// at least one packet; never inside this call. One read is outstanding at a time.
    /// Reads are asked for on the delivery queue.
    virtual void readPackets(ReadHandler handler) = 0;
    /// Where batches are delivered: the main queue unless set. A reader that consumes the
    /// batches on its own queue saves two thread hops per batch by taking them there.
    void setDeliveryQueue(std::shared_ptr<DispatchQueue> queue);
    std::shared_ptr<DispatchQueue> deliveryQueue();
    /// Writes the packets to the device, from any thread; false when they were refused.
    virtual bool writePackets(Packets packets, Protocols protocols) = 0;
    /// Writes one packet given in pieces (the stack's buffer chain, read only during the
    /// call), from any thread; false when it was refused. This default gathers the pieces
    /// into one packet for writePackets; a device that takes a gathered write skips the copy.
    virtual bool writePacket(std::span<const iovec> pieces, int protocol);
    /// Lets the device go when the tunnel stops: an outstanding read is never answered,
    /// later writes are refused. Idempotent.
    virtual void close() {}

private:
    std::mutex deliveryMutex_;
    std::shared_ptr<DispatchQueue> deliveryQueue_; // guarded; null: the main queue
};

} // namespace pemtrox
