#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/Fifo.h"

namespace asio {
class io_context;
}

namespace pemtrox {

/// What one wire read may take in: one system call feeds many pieces of a flowing stream.
inline constexpr std::size_t readAhead = 262144;

/// Blocks of `readAhead` bytes given back by drained buffers, for the next wire read on the
/// same thread: a busy socket takes and returns one per burst of data.
class SpareBlocks {
public:
    static constexpr std::size_t kept = 4;
    /// This thread's spares.
    static SpareBlocks& local();
    std::unique_ptr<std::uint8_t[]> take();
    void give(std::unique_ptr<std::uint8_t[]> block);
    std::size_t count() const { return blocks_.size(); }
    void clear() { blocks_.clear(); }

private:
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
};

/// Byte vectors whose writes have left, for the next read answered on the same thread: a body
/// moving through the proxy then reuses the vectors it frees instead of allocating one per piece.
class SpareBytes {
public:
    using Bytes = std::vector<std::uint8_t>;
    // Most of the pieces a flush frees at once come back for the reads that follow it.
    static constexpr std::size_t kept = 96;
    static constexpr std::size_t largest = 8192; // bigger ones go back to the allocator
    /// This thread's spares.
    static SpareBytes& local();
    /// An empty vector, with capacity when one was given back.
    Bytes take();
    void give(Bytes bytes);
    std::size_t count() const { return vectors_.size(); }
    void clear() { vectors_.clear(); }

private:
    std::vector<Bytes> vectors_;
};

/// Bytes arrived on this thread's sockets. Once they have been quiet for a second, the
/// thread's spare blocks and vectors go, and the heap gives its free pages back to the system:
/// a burst of traffic leaves the process as small as it was before.
void noteTraffic(asio::io_context& io);

/// Bytes received and not yet handed on: one block, filled at the back and consumed from the
/// front. An empty buffer holds no block, so an idle socket costs no buffer memory. Blocks of
/// `readAhead` bytes come from and go back to this thread's SpareBlocks on release() (a
/// buffer dropped without it frees its block).
class InBuffer {
public:
    std::size_t size() const { return end_ - start_; }
    const std::uint8_t* data() const { return block_.get() + start_; }
    /// Free space at the back after making room for at least `room` bytes.
    std::size_t reserve(std::size_t room);
    /// Where the next received bytes go (after reserve), and how many arrived there.
    std::uint8_t* back() { return block_.get() + end_; }
    void commit(std::size_t count) { end_ += count; }
    void append(const std::uint8_t* bytes, std::size_t count);
    /// Drops `count` bytes from the front.
    void consume(std::size_t count);
    /// The first `count` bytes, taken out (in a spare vector when one fits).
    std::vector<std::uint8_t> take(std::size_t count);
    std::span<const std::uint8_t> view() const { return {data(), size()}; }
    /// Empties the buffer and gives its block back.
    void release();
    bool holdsBlock() const { return block_ != nullptr; }

private:
    std::unique_ptr<std::uint8_t[]> block_;
    std::size_t capacity_ = 0, start_ = 0, end_ = 0;
};

} // namespace pemtrox
