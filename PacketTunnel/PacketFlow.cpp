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

} // namespace pemtrox
