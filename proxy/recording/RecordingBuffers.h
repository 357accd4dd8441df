#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace pemtrox {

/// The buffers that carry the recording's texts and body pieces from the callbacks to the
/// writer, and back for the next ones. Memory that one thread allocates and another frees
/// makes both wait on the first thread's heap lock, at every step; a buffer that goes back
/// and forth is allocated once. Any thread.
class RecordingBuffers {
public:
    /// An empty buffer, with room for `size` bytes from an earlier use when one is kept.
    std::string take(std::size_t size);
    /// Keeps the buffer for a later take, within the bounds; frees it beyond them.
    void give(std::string buffer);
    /// Frees what is kept beyond a little, for a writer that has nothing to do.
    void trim();
    /// The room of the buffers kept now.
    std::size_t keptBytes() const;

private:
    struct Kept {
        std::vector<std::string> buffers;
        std::size_t bytes = 0;
    };
    /// Small texts (metadata, heads) apart from body pieces, so that a head is never held
    /// in a buffer the size of a piece.
    Kept& keptFor(std::size_t capacity);
    mutable std::mutex mutex_;
    Kept small_, large_;
};

} // namespace pemtrox
