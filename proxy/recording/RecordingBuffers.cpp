#include "proxy/recording/RecordingBuffers.h"

namespace pemtrox {

namespace {

// A buffer up to this size holds a metadata or a head, above it a body piece.
constexpr std::size_t smallBuffer = 8192;
// Larger buffers are freed, not kept (a socket's reads are smaller).
constexpr std::size_t largestKept = 256 * 1024;
// What is kept at most while the writer works: about as much as waits for it at its bound.
constexpr std::size_t keptSmallBytes = 1 << 20;
constexpr std::size_t keptLargeBytes = 8 << 20;
// What an idle writer keeps.
constexpr std::size_t idleBytes = 64 * 1024;

} // namespace

RecordingBuffers::Kept& RecordingBuffers::keptFor(std::size_t capacity) {
    return capacity <= smallBuffer ? small_ : large_;
}

std::string RecordingBuffers::take(std::size_t size) {
    std::string buffer;
    {
        std::lock_guard lock(mutex_);
        auto& kept = keptFor(size);
        if (!kept.buffers.empty()) {
            buffer = std::move(kept.buffers.back());
            kept.buffers.pop_back();
            kept.bytes -= buffer.capacity();
        }
    }
    buffer.clear();
    buffer.reserve(size);
    return buffer;
}

void RecordingBuffers::give(std::string buffer) {
    auto capacity = buffer.capacity();
    if (capacity <= sizeof(std::string) || capacity > largestKept)
        return;
    std::lock_guard lock(mutex_);
    auto& kept = keptFor(capacity);
    if (kept.bytes + capacity > (&kept == &small_ ? keptSmallBytes : keptLargeBytes))
        return;
    kept.bytes += capacity;
    kept.buffers.push_back(std::move(buffer));
}

void RecordingBuffers::trim() {
    std::vector<std::string> freed;
    std::lock_guard lock(mutex_);
    for (auto* kept : {&small_, &large_}) {
        while (kept->bytes > idleBytes && !kept->buffers.empty()) {
            kept->bytes -= kept->buffers.back().capacity();
            freed.push_back(std::move(kept->buffers.back()));
            kept->buffers.pop_back();
        }
    }
}

std::size_t RecordingBuffers::keptBytes() const {
    std::lock_guard lock(mutex_);
    return small_.bytes + large_.bytes;
}

} // namespace pemtrox
