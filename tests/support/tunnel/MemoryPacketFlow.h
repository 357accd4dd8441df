#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "PacketTunnel/PacketFlow.h"

namespace pemtrox::test {

/// A packet flow in memory for the tests of what reads the tunnel: batches are handed in by
/// the test, written packets are kept. Thread-safe; reads may be asked for from any thread.
class MemoryPacketFlow : public PacketFlow {
public:
    static std::shared_ptr<MemoryPacketFlow> make() { return std::make_shared<MemoryPacketFlow>(); }

    void readPackets(ReadHandler handler) override;
    bool writePackets(Packets packets, Protocols protocols) override;

    /// Queues a batch for the device side; it goes to the outstanding read, or the next one.
    void deliver(Packets batch);
    /// Whether every batch has been taken and the next read is waiting.
    bool isIdle();
    /// Takes every packet written so far (with its protocol family), in order.
    std::vector<std::pair<Data, int>> takeWritten();
    /// Waits until at least `count` packets are waiting to be taken; false on timeout.
    bool waitForWritten(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Makes further writes fail (or succeed again).
    void setRefusesWrites(bool refuses);

private:
    void dispatchLocked();
    std::mutex mutex_;
    std::condition_variable written_;
    ReadHandler reader_;
    std::deque<Packets> batches_;
    std::vector<std::pair<Data, int>> writtenPackets_;
    bool refusesWrites_ = false;
};

} // namespace pemtrox::test
