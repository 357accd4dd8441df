#include "platform/AsyncTcpSocketBuffers.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <malloc.h>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

namespace pemtrox {

namespace {

constexpr std::chrono::seconds quietBeforeTrim{1};

struct TrafficWatch {
    std::uint64_t traffic = 0;
    bool armed = false;
};
thread_local TrafficWatch watch;

// The timer belongs to its own handler, so a queue that stops drops it with its event loop.
void awaitQuiet(asio::io_context& io, std::uint64_t seen) {
    auto timer = std::make_shared<asio::steady_timer>(io, quietBeforeTrim);
    timer->async_wait([timer, &io, seen](const std::error_code& ec) {
        if (ec) {
            watch.armed = false;
            return;
        }
        if (watch.traffic != seen) {
            awaitQuiet(io, watch.traffic);
            return;
        }
        watch.armed = false;
        SpareBlocks::local().clear();
        SpareBytes::local().clear();
        malloc_trim(0);
    });
}

} // namespace

void noteTraffic(asio::io_context& io) {
    ++watch.traffic;
    if (watch.armed)
        return;
    watch.armed = true;
    awaitQuiet(io, watch.traffic);
}

SpareBlocks& SpareBlocks::local() {
    thread_local SpareBlocks spares;
    return spares;
}

std::unique_ptr<std::uint8_t[]> SpareBlocks::take() {
    if (blocks_.empty())
        return std::make_unique_for_overwrite<std::uint8_t[]>(readAhead);
    auto block = std::move(blocks_.back());
    blocks_.pop_back();
    return block;
}

void SpareBlocks::give(std::unique_ptr<std::uint8_t[]> block) {
    if (blocks_.size() < kept)
        blocks_.push_back(std::move(block));
}

SpareBytes& SpareBytes::local() {
    thread_local SpareBytes spares;
    return spares;
}

SpareBytes::Bytes SpareBytes::take() {
    if (vectors_.empty())
        return {};
    Bytes bytes = std::move(vectors_.back());
    vectors_.pop_back();
    return bytes;
}

void SpareBytes::give(Bytes bytes) {
    if (bytes.capacity() == 0 || bytes.capacity() > largest || vectors_.size() >= kept)
        return;
    bytes.clear();
    vectors_.push_back(std::move(bytes));
}

std::size_t InBuffer::reserve(std::size_t room) {
    if (capacity_ - end_ >= room)
        return capacity_ - end_;
    std::size_t held = size();
    if (held > 0 && capacity_ - held >= room) {
        std::memmove(block_.get(), data(), held);
    } else {
        std::size_t wanted = std::max(readAhead, held + room);
        auto fresh = wanted == readAhead ? SpareBlocks::local().take()
                                         : std::make_unique_for_overwrite<std::uint8_t[]>(wanted);
        if (held > 0)
            std::memcpy(fresh.get(), data(), held);
        release();
        block_ = std::move(fresh);
        capacity_ = wanted;
    }
    start_ = 0;
    end_ = held;
    return capacity_ - end_;
}

void InBuffer::append(const std::uint8_t* bytes, std::size_t count) {
    reserve(count);
    std::memcpy(back(), bytes, count);
    commit(count);
}

void InBuffer::consume(std::size_t count) {
    start_ += count;
    if (start_ == end_)
        release();
}

std::vector<std::uint8_t> InBuffer::take(std::size_t count) {
    std::vector<std::uint8_t> out =
        count <= SpareBytes::largest ? SpareBytes::local().take() : std::vector<std::uint8_t>();
    out.assign(data(), data() + count);
    consume(count);
    return out;
}

void InBuffer::release() {
    if (block_ && capacity_ == readAhead)
        SpareBlocks::local().give(std::move(block_));
    block_.reset();
    capacity_ = start_ = end_ = 0;
}

} // namespace pemtrox
