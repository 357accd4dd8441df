#include "PacketFlow.h"

#include "platform/DispatchQueue.h"

namespace pemtrox {

void PacketFlow::setDeliveryQueue(std::shared_ptr<DispatchQueue> queue) {
    std::lock_guard lock(deliveryMutex_);
    deliveryQueue_ = std::move(queue);
}

std::shared_ptr<DispatchQueue> PacketFlow::deliveryQueue() {
    std::lock_guard lock(deliveryMutex_);
    return deliveryQueue_ ? deliveryQueue_ : DispatchQueue::main();
}

bool PacketFlow::writePacket(std::span<const iovec> pieces, int protocol) {
    Data packet;
    for (const auto& piece : pieces) {
        const auto* bytes = static_cast<const std::uint8_t*>(piece.iov_base);
        packet.insert(packet.end(), bytes, bytes + piece.iov_len);
    }
    return writePackets({std::move(packet)}, {protocol});
}

} // namespace pemtrox
