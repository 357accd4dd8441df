#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/io/Data.h"
#include "proxy/io/Result.h"

namespace pemtrox {

/// A party that takes bytes synchronously, as much as it has room for at the moment (the
/// tunnel stack's TCP connection). SynchronousOutputBuffer feeds it.
///
/// Contract: all calls come from the owner's queue, from inside SynchronousOutputBuffer::drain,
/// and none may call back into the buffer. The buffer holds its destination weakly.
class SynchronousOutputBufferDestination {
public:
    virtual ~SynchronousOutputBufferDestination() = default;

    /// How many bytes the destination can take now (0 or less: none).
    virtual std::int64_t availableSpace() const = 0;
    /// Takes up to `count` bytes of `data` from `offset` on. The bytes are only borrowed for
    /// the call; copy what is kept. Returns how many bytes were taken (0 or less: none), or
    /// an error.
    virtual Result<std::int64_t> write(const Data& data, std::size_t offset, std::size_t count,
                                       bool moreFollows, bool flush) = 0;
    /// Tells the destination that the last write handed over `count` bytes.
    virtual void sent(std::int64_t count) = 0;
};

} // namespace pemtrox
