#include <gtest/gtest.h>

#include "proxy/io/ChunkedOutputStream.h"
#include "proxy/io/CustomOutputStream.h"
#include "proxy/io/DataOutputStream.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/NoCloseOutputStream.h"
#include "proxy/io/NullOutputStream.h"
#include "proxy/io/OutputStreamError.h"
#include "tests/io/StreamTestSupport.h"

using namespace pemtrox;
using test::WriteLog;
using Target = test::RecordingTarget;
using Trace = std::vector<std::string>;

namespace {

class OutputStreams : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(test::liveStreamObjects(), 0); }
};

} // namespace

// One chunk per write; an empty write sends nothing (a last chunk would end the body) and
// completes ready.
TEST_F(OutputStreams, ChunkedWritesOneChunkPerBlock) {
    for (auto& [size, sizeLine] : std::vector<std::pair<std::size_t, std::string>>{
             {0, ""}, {1, "1\r\n"}, {255, "ff\r\n"}, {4096, "1000\r\n"}}) {
        Target target;
        auto chunked = ChunkedOutputStream::make(target.stream);
        WriteLog writes;
        std::string block(size, 'b');
        chunked->write(toData(block), true, writes.completion());
        EXPECT_EQ(target.log, (size ? Trace{sizeLine, block, "\r\n"} : Trace{}));
        EXPECT_EQ(writes.results, Trace{"ready"});
    }
}

TEST_F(OutputStreams, ChunkedWritesEachPieceAfterThePreviousCompleted) {
    Target target;
    target.hold = true;
    auto chunked = ChunkedOutputStream::make(target.stream);
    WriteLog writes;
    chunked->write(toData("abc"), false, writes.completion());
    for (std::size_t piece = 1; piece <= 3; ++piece) {
        ASSERT_EQ(target.log.size(), piece);
        ASSERT_TRUE(writes.results.empty());
        auto completion = std::move(target.held.back());
        completion(piece == 2 ? OutputStreamWriteHandlerResult::wait()
                              : OutputStreamWriteHandlerResult::ready());
        if (piece < 3) {
            EXPECT_EQ(target.log.size(), piece + 1);
        }
    }
    // The result of the last piece is the caller's.
    EXPECT_EQ(writes.results, Trace{"ready"});
}

TEST_F(OutputStreams, ChunkedStopsAtTheFirstFailedPiece) {
    for (int failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE(failing);
        Target target;
        target.answer = [failing](int index) {
            return index == failing
                       ? OutputStreamWriteHandlerResult::error(OutputStreamError::closed().clone())
                       : OutputStreamWriteHandlerResult::ready();
        };
        auto chunked = ChunkedOutputStream::make(target.stream);
        WriteLog writes;
        chunked->write(toData("xyz"), false, writes.completion());
        EXPECT_EQ(target.log.size(), std::size_t(failing) + 1);
        EXPECT_EQ(writes.results, Trace{"error:The output stream is closed"});
    }
}

TEST_F(OutputStreams, ChunkedCloseSendsTheLastChunkOnlyWithoutAnError) {
    {
        Target target;
        auto chunked = ChunkedOutputStream::make(target.stream);
        bool done = false;
        chunked->close(nullptr, [&](ErrorPtr) { done = true; });
        EXPECT_EQ(target.log, (Trace{"0\r\n\r\n|flush", "close:"}));
        EXPECT_TRUE(done);
    }
    {
        Target target;
        auto chunked = ChunkedOutputStream::make(target.stream);
        chunked->close(InputStreamError::eof().clone());
        EXPECT_EQ(target.log, Trace{"close:EOF"});
    }
    {
        // The last chunk fails: the target is closed with that error.
        Target target;
        target.answer = [](int) {
            return OutputStreamWriteHandlerResult::error(InputStreamError::invalidTrailer().clone());
        };
        auto chunked = ChunkedOutputStream::make(target.stream);
        ErrorPtr seen = InputStreamError::eof().clone();
        chunked->close(nullptr, [&](ErrorPtr e) { seen = e; });
        EXPECT_EQ(target.log, (Trace{"0\r\n\r\n|flush", "close:Invalid chunk trailer"}));
        EXPECT_EQ(seen, nullptr);
    }
}

TEST_F(OutputStreams, CloseTwiceRunsTheCloseWorkOnceAndBothCompletions) {
    // Each stream over a target, and how often the target is closed.
    std::vector<std::pair<std::function<std::shared_ptr<MyOutputStream>(Target&)>, long>> makers = {
        {[](Target& t) { return FilterOutputStream::make(t.stream); }, 1},
        {[](Target& t) { return HttpOutputStream::make(t.stream); }, 1},
        {[](Target& t) { return ChunkedOutputStream::make(t.stream); }, 1},
        {[](Target& t) { return t.stream; }, 1},
        {[](Target&) { return CustomOutputStream::make(); }, 0}, // no onClose: completes at once
    };
    for (auto& [make, closes] : makers) {
        Target target;
        auto stream = make(target);
        int completions = 0;
        stream->close(nullptr, [&](ErrorPtr) { ++completions; });
        stream->close(nullptr, [&](ErrorPtr) { ++completions; });
        EXPECT_EQ(completions, 2);
        EXPECT_EQ(std::count_if(target.log.begin(), target.log.end(),
                                [](const std::string& s) { return s.rfind("close:", 0) == 0; }),
                  closes);
        EXPECT_TRUE(stream->isClosed());
    }
    for (auto& stream :
         std::vector<std::shared_ptr<MyOutputStream>>{DataOutputStream::make(), NullOutputStream::make()}) {
        int completions = 0;
        stream->close(nullptr, [&](ErrorPtr) { ++completions; });
        stream->close(nullptr, [&](ErrorPtr) { ++completions; });
        EXPECT_EQ(completions, 2);
        EXPECT_TRUE(stream->isClosed());
    }
}

TEST_F(OutputStreams, FiltersForwardWritesFlushAndTheClosedFlag) {
    Target target;
    auto filter = HttpOutputStream::make(target.stream);
    WriteLog writes;
    filter->write(toData("hi"), true, writes.completion());
    filter->flush();
    EXPECT_EQ(target.log, Trace{"hi|flush"});
    EXPECT_EQ(target.flushes, 1);
    EXPECT_FALSE(filter->isClosed());
    target.stream->close();
    EXPECT_TRUE(filter->isClosed());
    // Closing the filter after its target: completes at once, no second close work.
    bool done = false;
    filter->close(nullptr, [&](ErrorPtr) { done = true; });
    EXPECT_TRUE(done);
    EXPECT_EQ(target.log, (Trace{"hi|flush", "close:"}));
}

TEST_F(OutputStreams, NoCloseLeavesTheTargetOpen) {
    Target target;
    auto stream = NoCloseOutputStream::make(target.stream);
    bool done = false;
    stream->close(InputStreamError::eof().clone(), [&](ErrorPtr) { done = true; });
    EXPECT_TRUE(done);
    EXPECT_FALSE(stream->isClosed());
    EXPECT_FALSE(target.stream->isClosed());
    stream->write(toData("still"), false, nullptr);
    EXPECT_EQ(target.log, Trace{"still"});
}

TEST_F(OutputStreams, DataAndNullStreams) {
    auto data = DataOutputStream::make();
    WriteLog writes;
    data->write(toData("ab"), false, writes.completion());
    data->close();
    data->write(toData("cd"), false, writes.completion());
    EXPECT_EQ(toString(data->data()), "abcd");
    auto null = NullOutputStream::make();
    null->close();
    null->write(toData("x"), false, writes.completion());
    EXPECT_EQ(writes.results, (Trace{"ready", "ready", "ready"}));
}

TEST(OutputStreamsDeathTest, CustomStreamWithoutOnWriteStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CustomOutputStream::make()->write(toData("x"), false, nullptr),
                 "CustomOutputStream doesn't have an onWrite handler");
}
