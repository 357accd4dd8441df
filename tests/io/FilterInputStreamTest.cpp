#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/ChunkedInputStream.h"
#include "proxy/io/CounterInputStream.h"
#include "proxy/io/FiniteInputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/PushbackInputStream.h"
#include "proxy/io/SocketError.h"
#include "tests/io/StreamTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using test::drain;
using test::EventLog;
using Trace = std::vector<std::string>;

namespace {

const Data crlf = toData("\r\n");
const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";

class FilterStreams : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(test::liveStreamObjects(), 0);
        if (test::liveStreamObjects() != 0)
            std::cerr << Plumber::report();
    }
};

struct ChunkedCase {
    const char* name;
    std::string body;
    std::string decoded; // bytes the reader receives
    std::string end;     // "eof" or "error:<description>"
};

const std::vector<ChunkedCase> chunkedCases = {
    {"one chunk", "5\r\nhello\r\n0\r\n\r\n", "hello", "eof"},
    {"two chunks", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abcde", "eof"},
    {"extension lower case", "1a;name=value\r\n" + alphabet + "\r\n0\r\n\r\n", alphabet, "eof"},
    {"trailers are skipped", "2\r\nab\r\n0\r\nX-Sum: 1\r\nX-Other: 2\r\n\r\n", "ab", "eof"},
    // A size line that does not parse (the size table is ChunkedInputStream.ParsesChunkLengths).
    {"blank before the semicolon", "1a ;x\r\n" + alphabet + "\r\n0\r\n\r\n", "",
     "error:Failed to read chunk length"},
    {"bad end of chunk", "5\r\nhelloXY0\r\n\r\n", "hello", "error:Invalid end of chunk"},
    {"trailer not UTF-8", "1\r\na\r\n0\r\n\xff\xfe\r\n\r\n", "a", "error:Invalid chunk trailer"},
    {"cut in the data", "5\r\nhel", "hel", "error:EOF"},
    {"cut after a chunk", "5\r\nhello\r\n", "hello", "error:EOF"},
    {"cut in the chunk end", "5\r\nhello\r", "hello", "error:EOF"},
    {"cut in the size line", "5", "", "error:EOF"},
    {"empty body", "", "", "error:EOF"},
    {"cut before the blank line", "0\r\n", "", "error:EOF"},
    {"cut in a trailer", "0\r\nX-A: b", "", "error:EOF"},
};

std::string endOf(const EventLog& log) {
    return log.trace.empty() ? "(nothing)" : log.trace.back();
}

} // namespace

TEST(ChunkedInputStream, ParsesChunkLengths) {
    struct Case {
        std::string line;
        std::optional<std::uint64_t> size;
    };
    std::vector<Case> cases = {{"5\r\n", 5},
                               {"1a;ext\r\n", 26},
                               {"1A\r\n", 26},
                               {" ff \r\n", 255},
                               {"+10\r\n", 16},
                               {"-0\r\n", 0},
                               {"-1\r\n", std::nullopt},
                               {"ffffffffffffffff\r\n", UINT64_MAX},
                               {"10000000000000000\r\n", std::nullopt},
                               {"1a ;x\r\n", std::nullopt},
                               {"g\r\n", std::nullopt},
                               {";x\r\n", std::nullopt},
                               {"\r\n", std::nullopt}};
    for (auto& c : cases)
        EXPECT_EQ(ChunkedInputStream::parseChunkLength(c.line), c.size) << c.line;
}

TEST_F(FilterStreams, ChunkedBodiesWholeAndFedOneByteAtATime) {
    auto queue = DispatchQueue::make("chunked-test");
    for (auto& c : chunkedCases) {
        SCOPED_TRACE(c.name);
        auto stream = ChunkedInputStream::make(ByteArrayInputStream::make(toData(c.body)));
        auto log = drain(stream);
        EXPECT_EQ(log->text(), c.decoded);
        EXPECT_EQ(endOf(*log), c.end);
        EXPECT_EQ(log->errors.size(), c.end == "eof" ? 0u : 1u);
        if (c.end != "eof") {
            // Every later read is answered with the same error, never left hanging.
            log->afterReply = nullptr;
            stream->read();
            EXPECT_EQ(endOf(*log), c.end);
        }
        // The parser's state must carry over any cut, malformed bodies included.
        std::shared_ptr<PipeStream> pipe;
        queue->sync([&] {
            pipe = PipeStream::make(queue);
            stream = ChunkedInputStream::make(pipe);
            log = drain(stream, 7);
            for (char ch : c.body)
                pipe->write(Data{static_cast<std::uint8_t>(ch)}, false, nullptr);
            pipe->appendEOF();
        });
        bool ended = false;
        for (int i = 0; i < 200 && !ended; ++i)
            queue->sync([&] { ended = log->ended(); });
        EXPECT_EQ(log->text(), c.decoded);
        EXPECT_EQ(endOf(*log), c.end);
        queue->sync([&] {
            stream.reset();
            pipe.reset();
        });
    }
    queue->sync([] {});
}

TEST_F(FilterStreams, ChunkedReadsWithALimitSplitTheChunkAndTheEndLeavesTheNextMessageInTheParent) {
    auto parent = PushbackInputStream::make(
        ByteArrayInputStream::make(toData("1a\r\n" + alphabet + "\r\n0\r\n\r\nNEXT")));
    auto stream = ChunkedInputStream::make(parent);
    auto log = drain(stream, 10);
    EXPECT_EQ(log->trace, (Trace{"data:abcdefghij", "data:klmnopqrst", "data:uvwxyz", "eof"}));
    stream->read();
    EXPECT_EQ(log->trace.back(), "eof");
    auto rest = drain(parent);
    EXPECT_EQ(rest->text(), "NEXT");
}

TEST_F(FilterStreams, FiniteStreamTable) {
    struct Case {
        const char* name;
        std::string parent;
        std::uint64_t length;
        std::optional<std::uint64_t> limit;
        Trace trace;
        std::string leftInParent;
    };
    std::vector<Case> cases = {
        // The end follows the last byte at once; the reader's next read is answered eof too.
        {"bounded over a longer parent",
         "abcdefghij",
         3,
         std::nullopt,
         {"data:abc", "eof", "eof"},
         "defghij"},
        {"length zero", "abc", 0, std::nullopt, {"eof"}, "abc"},
        {"limit splits", "abcdefghij", 5, 2, {"data:ab", "data:cd", "data:e", "eof", "eof"}, "fghij"},
        {"parent ends early", "abcd", 10, std::nullopt, {"data:abcd", "error:EOF"}, ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto parent = ByteArrayInputStream::make(toData(c.parent));
        auto stream = FiniteInputStream::make(parent, c.length);
        auto log = drain(stream, c.limit);
        EXPECT_EQ(log->trace, c.trace);
        stream->removeHandler();
        EXPECT_EQ(drain(parent)->text(), c.leftInParent);
    }
}

// A parent that ends while the reader still holds the last piece (a server that closes or
// resets right after its last byte, the piece still on its way to the client): with the
// whole length delivered the stream ends whole, one byte short it is cut.
TEST_F(FilterStreams, FiniteStreamEndsWholeWhenItsParentEndsAfterTheLastByte) {
    struct Case {
        const char* name;
        std::string parent;
        std::uint64_t length;
        ErrorPtr end; // how the parent ends; null: its end of stream
        std::string trace;
    };
    const Case cases[] = {
        {"closed by the peer", "abcd", 4, makeError<SocketError>(SocketError::connectionClosedByPeer()),
         "data:abcd|eof"},
        {"reset by the peer", "abcd", 4, makeError<SocketError>(SocketError::connectionResetByPeer()),
         "data:abcd|eof"},
        {"end of stream", "abcd", 4, nullptr, "data:abcd|eof"},
        {"bytes beyond the length", "abcdef", 4,
         makeError<SocketError>(SocketError::connectionClosedByPeer()), "data:abcd|eof"},
        {"one byte short", "abcd", 5, makeError<SocketError>(SocketError::connectionClosedByPeer()),
         "data:abcd|error:Connection closed by peer"},
        {"one byte short, end of stream", "abcd", 5, nullptr, "data:abcd|error:EOF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto parent = ByteArrayInputStream::make(toData(c.parent));
        auto stream = FiniteInputStream::make(parent, c.length);
        auto log = EventLog::make();
        log->holdReplies = true;
        stream->handler(log->handler());
        stream->read();
        ASSERT_EQ(log->heldReplies.size(), 1u);
        parent->close(c.end);
        for (std::size_t i = 0; i < log->heldReplies.size(); ++i)
            log->heldReplies[i](InputStreamHandlerResult::done);
        EXPECT_EQ(test::joined(log->trace), c.trace);
        stream->removeHandler();
    }
}

TEST_F(FilterStreams, FiniteStreamRefusesMarkerReads) {
    auto stream = FiniteInputStream::make(ByteArrayInputStream::make(toData("ab\r\ncd")), 6);
    auto log = EventLog::make();
    stream->handler(log->handler());
    stream->readTo(crlf);
    EXPECT_EQ(log->trace, Trace{"error:Read to marker not supported"});
    EXPECT_TRUE(stream->isClosed());
    stream->read();
    EXPECT_EQ(log->trace.back(), "error:Read to marker not supported");
}

TEST_F(FilterStreams, CounterCountsWhatPasses) {
    auto stream = CounterInputStream::make(ByteArrayInputStream::make(Data(10000, 'q')));
    auto log = drain(stream);
    EXPECT_EQ(stream->counter(), 10000);
    EXPECT_EQ(log->trace.back(), "eof");
}

TEST_F(FilterStreams, PushbackTable) {
    struct Case {
        const char* name;
        const char* parent;
        const char* script;
        const char* trace;
    } cases[] = {
        {"last given back is read first", "PARENT", "unread:ab|unread:xy|read|read", "data:xyab|data:PARENT"},
        {"length tops up from the parent", "cdefg", "unread:ab|len:5|read", "data:abcde|data:fg"},
        {"limit over pushed bytes", "", "unread:12345|read:2|read", "data:12|data:345"},
        {"marker inside the pushed bytes", "zz", "unread:ab~cd|line|read", "data:ab~|data:cd"},
        {"marker split between pushed and parent bytes", "\nrest\r\nmore",
         "unread:line\r|line|read|line|read", "data:line~|data:rest~|data:more|eof"},
        {"marker after the join", "cd\r\nef", "unread:ab|line|read", "data:abcd~|data:ef"},
        {"pushed bytes stand in for the end", "", "unread:ab|len:5|read", "data:ab|eof"},
        {"marker limit counts the pushed bytes", "cdefgh\r\nij", "unread:ab|line:10|line:2",
         "data:abcdefgh~|data:ij"},
        {"marker past the limit in the parent", "cdefgh\r\n", "unread:ab|line:6",
         "error:Marker not found within the read limit"},
        {"marker beyond the limit inside the pushed bytes", "", "unread:abcdef~|line:4",
         "error:Marker not found within the read limit"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto stream = PushbackInputStream::make(ByteArrayInputStream::make(toData(c.parent)));
        auto log = EventLog::make();
        stream->handler(log->handler());
        test::runScript(*stream, c.script);
        EXPECT_EQ(test::joined(log->trace), c.trace);
    }
}

TEST_F(FilterStreams, PushedBytesComeBeforeAnEndTheParentAnnouncedUnasked) {
    // A socket that closes while nobody reads tells a newly installed handler of its end at
    // once; bytes received before the end and given back must still be read first.
    const std::pair<const char*, const char*> cases[] = {
        {"read:1|read|read", "data:a|data:b|eof"}, // reads past the pushed bytes meet the end
        {"len:5", "data:ab"},                      // a length longer than the pushed bytes
        {"line", "data:ab"},                       // a marker missing from the pushed bytes
    };
    for (auto [script, trace] : cases) {
        SCOPED_TRACE(script);
        auto parent = ByteArrayInputStream::make(toData("never read"));
        auto stream = PushbackInputStream::make(parent);
        stream->unread(toData("ab"));
        parent->close();
        auto log = EventLog::make();
        stream->handler(log->handler());
        test::runScript(*stream, script);
        EXPECT_EQ(test::joined(log->trace), trace);
    }
    // Through a length-bounded body, as a request body is read after its head.
    auto parent = ByteArrayInputStream::make({});
    auto stream = PushbackInputStream::make(parent);
    stream->unread(toData("body"));
    parent->close();
    auto log = drain(FiniteInputStream::make(stream, 4));
    EXPECT_EQ(test::joined(log->trace).rfind("data:body|eof", 0), 0u) << test::joined(log->trace);
}

TEST_F(FilterStreams, PushbackMarkerSplitAtEveryPosition) {
    const std::string text = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
    for (std::size_t split = 0; split <= text.size(); ++split) {
        SCOPED_TRACE(split);
        auto stream = PushbackInputStream::make(ByteArrayInputStream::make(toData(text.substr(split))));
        stream->unread(toData(text.substr(0, split)));
        auto log = EventLog::make();
        log->onEvent = [&](const InputStreamEvent& e) {
            if (e.isData())
                stream->readTo(crlf);
        };
        stream->handler(log->handler());
        stream->readTo(crlf);
        EXPECT_EQ(log->trace, (Trace{"data:GET / HTTP/1.1\r\n", "data:Host: h\r\n", "data:\r\n", "eof"}));
    }
}

TEST_F(FilterStreams, EventsAfterTheFilterIsGoneAreAnsweredDone) {
    auto queue = DispatchQueue::make("filter-gone");
    auto capture = test::CapturingLogger::install();
    std::shared_ptr<PipeStream> pipe;
    queue->sync([&] {
        pipe = PipeStream::make(queue);
        auto filter = CounterInputStream::make(pipe);
        filter->handler(EventLog::make()->handler());
        filter->read();
    });
    queue->sync([&] { pipe->write(toData("abcd"), false, nullptr); });
    queue->sync([] {});
    EXPECT_TRUE(capture->contains("4 bytes due to self gone"));
    EXPECT_FALSE(pipe->hasHandler());
    capture->uninstall();
    queue->sync([&] { pipe.reset(); });
}
