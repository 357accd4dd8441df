#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "PacketFlow.h"

namespace pemtrox {

class TunDevice;

/// The packet flow over a TUN device (bare IP packets, no packet information header).
/// The delivery queue waits for the device itself and reads each batch when asked, so no
/// thread stands between the device and its reader; reads are asked for on that queue, and
/// one asked for inside a delivery is served in the same turn of the queue (four batches at
/// most, then the queue's other work gets its turn). Writes go straight to the device from
/// the caller's thread. A reading error ends the reading (logged); the outstanding read is
/// then never answered.
class TunPacketFlow : public PacketFlow {
public:
    /// The most packets handed over in one batch.
    static constexpr std::size_t maxBatch = 64;

    /// Creates the device in the calling thread's network namespace; an empty name lets the
    /// kernel choose one. Throws Error when the device cannot be made.
    static std::shared_ptr<TunPacketFlow> make(const std::string& name = "");
    /// Takes over a device made elsewhere (in another namespace, or moved since).
    static std::shared_ptr<TunPacketFlow> make(TunDevice device);
    ~TunPacketFlow() override;
    TunPacketFlow(const TunPacketFlow&) = delete;
    TunPacketFlow& operator=(const TunPacketFlow&) = delete;

    const std::string& name() const { return name_; }
    void readPackets(ReadHandler handler) override;
    /// Writes each packet (a packet may exceed the device's MTU); false when the device is
    /// closed or refuses one, after which the rest are not written.
    bool writePackets(Packets packets, Protocols protocols) override;
    /// One gathered write: the pieces leave as one packet without being copied together.
    bool writePacket(std::span<const iovec> pieces, int protocol) override;
    /// Stops reading and closes the device, which removes it. An outstanding read is never
    /// answered. Idempotent; from any thread.
    void close() override;

private:
    class QueueReader;
    TunPacketFlow(int fd, std::string name);
    /// Reads what the device holds, up to a batch; false on a reading error (logged).
    bool readBatch(int fd, Packets& packets, Protocols& protocols);

    std::string name_;
    std::mutex mutex_;
    std::shared_mutex fdMutex_; // writes share it, the close takes it alone
    int fd_;                    // guarded by fdMutex_ for writes and close; duplicated under mutex_
    bool closed_ = false;       // guarded by mutex_
    std::shared_ptr<QueueReader> queueReader_; // guarded by mutex_
};

} // namespace pemtrox
