#include <string>

#include <gtest/gtest.h>

#include "platform/AsyncTcpSocketBuffers.h"
#include "platform/MarkerScan.h"

using namespace pemtrox;

namespace {
std::vector<std::uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}
} // namespace

TEST(Fifo, KeepsOrderWhileItsFrontIsCompacted) {
    Fifo<int> fifo;
    int next = 0, expected = 0;
    for (int round = 0; round < 200; ++round) {
        fifo.push_back(next++);
        fifo.push_back(next++);
        EXPECT_EQ(fifo.front(), expected);
        fifo.pop_front();
        ++expected;
    }
    EXPECT_EQ(fifo.size(), 200u);
    EXPECT_EQ(fifo[199], next - 1);
    while (!fifo.empty()) {
        EXPECT_EQ(fifo.front(), expected++);
        fifo.pop_front();
    }
    EXPECT_EQ(expected, next);
}

TEST(InBuffer, KeepsItsBytesAcrossGrowthAndGivesItsBlockBack) {
    InBuffer buffer;
    EXPECT_FALSE(buffer.holdsBlock());
    buffer.append(bytes("hello world").data(), 11);
    buffer.consume(6);
    // More than a read-ahead block: the held bytes move to a bigger block.
    std::vector<std::uint8_t> big(readAhead, 'x');
    buffer.append(big.data(), big.size());
    EXPECT_EQ(buffer.size(), 5 + readAhead);
    EXPECT_EQ(buffer.take(5), bytes("world"));
    EXPECT_EQ(buffer.take(readAhead), big);
    EXPECT_FALSE(buffer.holdsBlock()); // emptied: no memory held

    // A drained read-ahead block goes to this thread's spares and is taken again.
    buffer.commit(buffer.reserve(10));
    std::size_t spares = SpareBlocks::local().count();
    buffer.consume(buffer.size());
    EXPECT_EQ(SpareBlocks::local().count(), spares + 1);
    buffer.reserve(1);
    EXPECT_EQ(SpareBlocks::local().count(), spares);
    buffer.release();
}

TEST(SpareBytes, KeepsOnlySmallVectorsUpToItsLimit) {
    SpareBytes spares;
    spares.give(std::vector<std::uint8_t>(SpareBytes::largest + 1));
    spares.give({});
    EXPECT_EQ(spares.count(), 0u);
    for (std::size_t i = 0; i < SpareBytes::kept + 5; ++i)
        spares.give(std::vector<std::uint8_t>(100));
    EXPECT_EQ(spares.count(), SpareBytes::kept);
    auto reused = spares.take();
    EXPECT_TRUE(reused.empty());
    EXPECT_GE(reused.capacity(), 100u);
}

TEST(MarkerScan, FindsTheFirstMarkerWithinTheLimit) {
    using O = MarkerScan::Outcome;
    struct Case {
        std::string bytes, marker;
        std::size_t maxLength, scanned;
        O outcome;
        std::size_t end;
    };
    const std::size_t none = std::numeric_limits<std::size_t>::max();
    const Case cases[] = {
        {"GET /\r\nHost", "\r\n", none, 0, O::found, 7},
        {"ab\r\ncd\r\n", "\r\n", none, 0, O::found, 4},
        {"abc\r", "\r\n", none, 0, O::needMore, 0},
        {"", "\r\n", none, 0, O::needMore, 0},
        {"abc", "", 2, 0, O::found, 0},
        // The marker ending exactly at the limit is found; one byte further is too long.
        {"abcd\r\n", "\r\n", 6, 0, O::found, 6},
        {"abcde\r\n", "\r\n", 6, 0, O::tooLong, 0},
        // No marker: too long once the bytes reach the limit.
        {"abcde", "\r\n", 6, 0, O::needMore, 0},
        {"abcdef", "\r\n", 6, 0, O::tooLong, 0},
        // A resumed search still finds a marker that straddles what was scanned.
        {"abc\r\nx", "\r\n", none, 4, O::found, 5},
        {"\r\nabc\r\n", "\r\n", none, 5, O::found, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes + " / " + std::to_string(c.maxLength) + " / " + std::to_string(c.scanned));
        auto b = bytes(c.bytes), m = bytes(c.marker);
        auto scan = MarkerScan::scan(b, m, c.maxLength, c.scanned);
        EXPECT_EQ(scan.outcome, c.outcome);
        EXPECT_EQ(scan.end, c.end);
    }
}
