#pragma once

#include <deque>
#include <memory>

#include "proxy/io/AbstractLoggable.h"
#include "proxy/io/Data.h"
#include "proxy/io/Result.h"
#include "proxy/io/SynchronousOutputBufferDestination.h"

namespace pemtrox {

/// Holds outgoing blocks for a destination that takes only as many bytes as it has room
/// for, and feeds them in as room becomes free. Blocks are kept whole with an offset; their
/// tails are never copied. Used on the owner's queue only.
class SynchronousOutputBuffer : public AbstractLoggable {
public:
    struct SendQueueElement {
        Data data;
        std::size_t offset = 0; // bytes of `data` the destination has already taken
        bool flush = false;     // the block ends a flushed write
    };

    static std::shared_ptr<SynchronousOutputBuffer>
    make(std::weak_ptr<SynchronousOutputBufferDestination> destination);
    explicit SynchronousOutputBuffer(std::weak_ptr<SynchronousOutputBufferDestination> destination)
        : destination_(std::move(destination)) {}

    std::deque<SendQueueElement>& sendQueue() { return sendQueue_; }
    const std::deque<SendQueueElement>& sendQueue() const { return sendQueue_; }
    const std::weak_ptr<SynchronousOutputBufferDestination>& destination() const { return destination_; }
    void setDestination(std::weak_ptr<SynchronousOutputBufferDestination> destination) {
        destination_ = std::move(destination);
    }

    /// Queues a block at the tail, then drains.
    Result<bool> append(Data data, bool flush);
    /// Marks the last queued block as flushed; does not drain.
    void flush();
    /// Feeds queued bytes to the destination while it has room. True when it stopped
    /// because the queue is empty or the destination is full, false when the destination
    /// took nothing of a write; the destination's error is passed on unchanged, with the
    /// element left as it was.
    Result<bool> drain();

private:
    std::deque<SendQueueElement> sendQueue_;
    std::weak_ptr<SynchronousOutputBufferDestination> destination_;
};

} // namespace pemtrox
