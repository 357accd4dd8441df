#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/SynchronousBuffer.h"
#include "proxy/io/SynchronousOutputBuffer.h"
#include "tests/io/StreamTestSupport.h"

using namespace pemtrox;

namespace {

/// Records each write as (offset, count, moreFollows, flush) and takes up to `room` bytes.
struct FakeDestination : SynchronousOutputBufferDestination {
    struct Write {
        std::size_t offset, count;
        bool moreFollows, flush;
        bool operator==(const Write&) const = default;
    };
    std::int64_t room = 4096;
    std::int64_t takeAtMost = INT64_MAX;
    ErrorPtr failWith;
    std::vector<Write> writes;
    Data received;
    std::int64_t sentTotal = 0;

    std::int64_t availableSpace() const override { return room; }
    Result<std::int64_t> write(const Data& data, std::size_t offset, std::size_t count, bool moreFollows,
                               bool flush) override {
        if (failWith)
            return Result<std::int64_t>::failure(failWith);
        writes.push_back({offset, count, moreFollows, flush});
        auto taken = std::min<std::int64_t>(static_cast<std::int64_t>(count), takeAtMost);
        if (taken > 0) {
            received.insert(received.end(), data.begin() + offset, data.begin() + offset + taken);
            room -= taken;
        }
        return Result<std::int64_t>::success(taken);
    }
    void sent(std::int64_t count) override { sentTotal += count; }
};

class SynchronousBuffers : public ::testing::Test {
protected:
    std::shared_ptr<FakeDestination> destination = std::make_shared<FakeDestination>();
    std::shared_ptr<SynchronousOutputBuffer> buffer = SynchronousOutputBuffer::make(destination);
    void TearDown() override {
        buffer.reset();
        EXPECT_EQ(test::liveStreamObjects(), 0);
    }
};

using W = FakeDestination::Write;

} // namespace

TEST_F(SynchronousBuffers, TwoBlocksAgainstLimitedRoom) {
    destination->room = 0; // nothing is written, the blocks wait
    EXPECT_TRUE(buffer->append(Data(3000, 'a'), false).value());
    buffer->append(Data(3000, 'b'), false);
    EXPECT_TRUE(destination->writes.empty());
    destination->room = 4096;
    auto result = buffer->drain();
    ASSERT_TRUE(result.isSuccess());
    EXPECT_TRUE(result.value());
    EXPECT_EQ(destination->writes, (std::vector<W>{{0, 3000, true, false}, {0, 1096, true, false}}));
    ASSERT_EQ(buffer->sendQueue().size(), 1u);
    EXPECT_EQ(buffer->sendQueue().front().offset, 1096u);
    EXPECT_EQ(destination->sentTotal, 4096);
    // Room again: the rest of the second block, as the last element.
    destination->room = 10000;
    buffer->drain();
    EXPECT_EQ(destination->writes.back(), (W{1096, 1904, false, false}));
    EXPECT_TRUE(buffer->sendQueue().empty());
    EXPECT_EQ(destination->received.size(), 6000u);
    EXPECT_EQ(destination->received[2999], 'a');
    EXPECT_EQ(destination->received[3000], 'b');
}

TEST_F(SynchronousBuffers, FlushMarksOnlyTheLastBlock) {
    buffer->flush(); // empty queue: nothing
    destination->room = 0;
    buffer->append(toData("one"), false);
    buffer->append(toData("two"), false);
    buffer->flush();
    EXPECT_FALSE(buffer->sendQueue()[0].flush);
    EXPECT_TRUE(buffer->sendQueue()[1].flush);
    destination->room = 3;
    buffer->drain();
    destination->room = 3;
    buffer->drain();
    EXPECT_EQ(destination->writes, (std::vector<W>{{0, 3, true, false}, {0, 3, false, true}}));
}

TEST_F(SynchronousBuffers, DestinationThatTakesNothingOrFails) {
    destination->takeAtMost = 0;
    auto result = buffer->append(toData("abc"), false);
    ASSERT_TRUE(result.isSuccess());
    EXPECT_FALSE(result.value());
    EXPECT_EQ(buffer->sendQueue().size(), 1u);
    EXPECT_EQ(buffer->sendQueue().front().offset, 0u);
    destination->failWith = InputStreamError::eof().clone();
    result = buffer->drain();
    ASSERT_FALSE(result.isSuccess());
    EXPECT_EQ(result.error(), destination->failWith);
    EXPECT_EQ(buffer->sendQueue().front().offset, 0u);
}

TEST(SynchronousBuffersDeathTest, DestinationGone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto destination = std::make_shared<FakeDestination>();
            auto buffer = SynchronousOutputBuffer::make(destination);
            destination.reset();
            (void)buffer->drain();
        },
        "SynchronousOutputBuffer: destination has gone away");
}

namespace {

/// A stream that records its read requests and lets the test deliver events.
struct ScriptedStream {
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("sync-buffer");
    std::shared_ptr<PipeStream> pipe;
    ScriptedStream() {
        queue->sync([&] { pipe = PipeStream::make(queue); });
    }
    ~ScriptedStream() {
        queue->sync([&] { pipe.reset(); });
    }
    void on(const std::function<void()>& work) {
        queue->sync(work);
        for (int i = 0; i < 3; ++i)
            queue->sync([] {});
    }
};

} // namespace

TEST_F(SynchronousBuffers, ReadsTakeAllOrAPrefixAndEndWithAbsent) {
    ScriptedStream s;
    std::shared_ptr<SynchronousBuffer> sync;
    int steps = 0;
    s.on([&] {
        sync = SynchronousBuffer::make(s.pipe);
        sync->ready = [&](SynchronousBuffer::Continuation next) {
            ++steps;
            next(InputStreamHandlerResult::more);
        };
        // Before any event: the empty block, and a read of 4096 is asked for.
        auto first = sync->read();
        ASSERT_TRUE(first.isSuccess());
        ASSERT_TRUE(first.value().has_value());
        EXPECT_TRUE(first.value()->empty());
        s.pipe->write(Data(25, 'x'), false, nullptr);
    });
    EXPECT_EQ(steps, 1);
    EXPECT_EQ(sync->buffered(), 25u);
    s.on([&] {
        auto ten = sync->read(10);
        EXPECT_EQ(ten.value()->size(), 10u);
        EXPECT_EQ(sync->buffered(), 15u);
        s.pipe->write(toData("abcde"), false, nullptr);
        s.pipe->appendEOF();
    });
    s.on([&] {
        auto rest = sync->read();
        EXPECT_EQ(rest.value()->size(), 20u);
        sync->fill(); // buffer empty: asks the stream, which answers eof
    });
    EXPECT_TRUE(sync->eof());
    s.on([&] {
        auto end = sync->read();
        ASSERT_TRUE(end.isSuccess());
        EXPECT_FALSE(end.value().has_value());
        sync.reset();
    });
}

TEST_F(SynchronousBuffers, StreamErrorIsReturnedOnceTheBytesAreGoneAndStays) {
    ScriptedStream s;
    std::shared_ptr<SynchronousBuffer> sync;
    auto error = InputStreamError::invalidTrailer().clone();
    s.on([&] {
        sync = SynchronousBuffer::make(s.pipe);
        sync->ready = [](SynchronousBuffer::Continuation next) { next(InputStreamHandlerResult::more); };
        s.pipe->write(toData("hello"), false, nullptr);
        s.pipe->appendError(error);
        sync->fill();
    });
    s.on([&] {
        EXPECT_EQ(toString(*sync->read().value()), "hello");
        sync->fill();
    });
    s.on([&] {
        for (int i = 0; i < 2; ++i) {
            auto r = sync->read();
            ASSERT_FALSE(r.isSuccess());
            EXPECT_EQ(r.error(), error);
        }
        sync.reset();
    });
}

TEST_F(SynchronousBuffers, FillWithBytesHandsTheOwnerAStepAndDoneRemovesTheHandler) {
    auto stream = ByteArrayInputStream::make(toData("abc"));
    auto sync = SynchronousBuffer::make(stream);
    sync->fill(); // nothing held, no ready: the event is only recorded
    EXPECT_EQ(sync->buffered(), 3u);
    int steps = 0;
    sync->ready = [&](SynchronousBuffer::Continuation next) {
        ++steps;
        next(InputStreamHandlerResult::done);
    };
    sync->fill();
    EXPECT_EQ(steps, 1);
    EXPECT_FALSE(stream->hasHandler());
    // A read larger than 4096 asks the stream for that much.
    auto taken = sync->read(10000);
    EXPECT_EQ(toString(*taken.value()), "abc");
}
