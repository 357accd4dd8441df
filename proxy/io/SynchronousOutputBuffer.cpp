#include "proxy/io/SynchronousOutputBuffer.h"

#include <algorithm>

#include "platform/Log.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

std::shared_ptr<SynchronousOutputBuffer>
SynchronousOutputBuffer::make(std::weak_ptr<SynchronousOutputBufferDestination> destination) {
    return Plumber::make<SynchronousOutputBuffer>(std::move(destination));
}

Result<bool> SynchronousOutputBuffer::append(Data data, bool flush) {
    sendQueue_.push_back({std::move(data), 0, flush});
    return drain();
}

void SynchronousOutputBuffer::flush() {
    if (!sendQueue_.empty())
        sendQueue_.back().flush = true;
}

Result<bool> SynchronousOutputBuffer::drain() {
    auto destination = destination_.lock();
    if (!destination)
        fatalError("SynchronousOutputBuffer: destination has gone away");
    auto space = destination->availableSpace();
    if (space < 1)
        return Result<bool>::success(true);
    while (!sendQueue_.empty()) {
        auto& element = sendQueue_.front();
        std::size_t remaining = element.data.size() - element.offset;
        std::size_t count = std::min<std::size_t>(remaining, static_cast<std::size_t>(space));
        bool moreFollows = sendQueue_.size() > 1 || count < remaining;
        auto written = destination->write(element.data, element.offset, count, moreFollows, element.flush);
        if (!written.isSuccess())
            return Result<bool>::failure(written.error());
        auto taken = written.value();
        if (taken < 1)
            return Result<bool>::success(false);
        element.offset += static_cast<std::size_t>(taken);
        if (element.offset >= element.data.size())
            sendQueue_.pop_front();
        destination->sent(taken);
        space = destination->availableSpace();
        if (space < 1)
            return Result<bool>::success(true);
    }
    return Result<bool>::success(true);
}

} // namespace pemtrox
