#include "tests/support/tunnel/MemoryPacketFlow.h"

#include <sys/socket.h>

#include <utility>

#include "platform/DispatchQueue.h"

namespace pemtrox::test {

void MemoryPacketFlow::readPackets(ReadHandler handler) {
    std::lock_guard lock(mutex_);
    reader_ = std::move(handler);
    dispatchLocked();
}

void MemoryPacketFlow::deliver(Packets batch) {
    std::lock_guard lock(mutex_);
    batches_.push_back(std::move(batch));
    dispatchLocked();
}

void MemoryPacketFlow::dispatchLocked() {
    if (!reader_ || batches_.empty())
        return;
    Protocols protocols;
    for (const auto& packet : batches_.front())
        protocols.push_back(!packet.empty() && packet[0] >> 4 == 6 ? AF_INET6 : AF_INET);
    deliveryQueue()->async(
        [reader = std::move(reader_), batch = std::move(batches_.front()),
         protocols = std::move(protocols)]() mutable { reader(std::move(batch), std::move(protocols)); });
    reader_ = nullptr;
    batches_.pop_front();
}

bool MemoryPacketFlow::isIdle() {
    std::lock_guard lock(mutex_);
    return reader_ && batches_.empty();
}

bool MemoryPacketFlow::writePackets(Packets packets, Protocols protocols) {
    std::lock_guard lock(mutex_);
    if (refusesWrites_)
        return false;
    for (std::size_t i = 0; i < packets.size(); ++i)
        writtenPackets_.emplace_back(std::move(packets[i]), i < protocols.size() ? protocols[i] : AF_INET);
    written_.notify_all();
    return true;
}

std::vector<std::pair<Data, int>> MemoryPacketFlow::takeWritten() {
    std::lock_guard lock(mutex_);
    return std::exchange(writtenPackets_, {});
}

bool MemoryPacketFlow::waitForWritten(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return written_.wait_for(lock, timeout, [&] { return writtenPackets_.size() >= count; });
}

void MemoryPacketFlow::setRefusesWrites(bool refuses) {
    std::lock_guard lock(mutex_);
    refusesWrites_ = refuses;
}

} // namespace pemtrox::test
