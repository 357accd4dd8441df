#pragma once

#include <cstddef>
#include <vector>

#include "lwip/mem.h"
#include "lwip/stats.h"

namespace pemtrox::test {

/// Takes blocks of the stack's heap to stand in for load: other connections' queued output,
/// or a heap with nothing left. Use on the stack's queue and release() before the end.
class HeapFiller {
public:
    HeapFiller() = default;
    HeapFiller(const HeapFiller&) = delete;
    HeapFiller& operator=(const HeapFiller&) = delete;

    /// Takes blocks until the heap's use reaches `target` bytes (or the heap is full).
    void fillTo(std::size_t target) {
        for (std::size_t size = 4096; size >= 8; size /= 2)
            while (used() + size <= target)
                if (!take(size))
                    break;
    }
    /// Takes blocks until not even the smallest allocation succeeds.
    void fillAll() {
        for (std::size_t size = 4096; size >= 1; size /= 2)
            while (take(size)) {
            }
    }
    void release() {
        for (void* block : blocks_)
            mem_free(block);
        blocks_.clear();
    }
    static std::size_t used() { return lwip_stats.mem.used; }

private:
    bool take(std::size_t size) {
        void* block = mem_malloc(static_cast<mem_size_t>(size));
        if (block)
            blocks_.push_back(block);
        return block != nullptr;
    }
    std::vector<void*> blocks_;
};

} // namespace pemtrox::test
