// What every stream over a producer must do, whatever it decodes: the same output however the
// input is cut, the producer's failure passed on at every step, a double close, nothing left
// alive afterwards.

#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "proxy/io/ChunkedInputStream.h"
#include "proxy/io/CounterInputStream.h"
#include "proxy/io/FiniteInputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/PushbackInputStream.h"
#include "proxy/io/SafeGZIPInputStream.h"
#include "proxy/io/UncompressInputStream.h"
#include "tests/io/CodingFixtures.h"
#include "tests/io/StreamTestSupport.h"

namespace pemtrox {
namespace {

using test::EventLog;

const std::string message =
    "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n" + toString(test::sampleBody(200, 9));
const Data crlf = toData("\r\n");

struct StreamKind {
    const char* name;
    /// The stream under test over its producer (the pipe itself for the pipe).
    std::function<std::shared_ptr<MyInputStream>(std::shared_ptr<PipeStream>)> make;
    /// What the producer writes for `message`.
    std::function<Data()> input;
    /// Whether it answers reads up to a marker (the reader then reads the head line by line).
    bool markers;
};
void PrintTo(const StreamKind& kind, std::ostream* os) {
    *os << kind.name;
}

std::string chunked(const std::string& body) {
    auto hex = [](std::size_t n) {
        char text[20];
        std::snprintf(text, sizeof text, "%zx", n);
        return std::string(text);
    };
    std::size_t half = body.size() / 2;
    return hex(half) + ";ext=1\r\n" + body.substr(0, half) + "\r\n" + hex(body.size() - half) + "\r\n" +
           body.substr(half) + "\r\n0\r\nTrailer: 1\r\n\r\n";
}

const StreamKind kinds[] = {
    {"Pipe", [](auto pipe) { return pipe; }, [] { return toData(message); }, true},
    {"Chunked", [](auto pipe) { return ChunkedInputStream::make(pipe); },
     [] { return toData(chunked(message)); }, false},
    {"Finite", [](auto pipe) { return FiniteInputStream::make(pipe, message.size()); },
     [] { return toData(message); }, false},
    {"Pushback", [](auto pipe) { return PushbackInputStream::make(pipe); }, [] { return toData(message); },
     true},
    {"Counter", [](auto pipe) { return CounterInputStream::make(pipe); }, [] { return toData(message); },
     true},
    {"Gzip", [](auto pipe) { return SafeGZIPInputStream::make(pipe); },
     [] { return test::gzip(toData(message)); }, false},
    {"Compress", [](auto pipe) { return UncompressInputStream::make(pipe); },
     [] { return test::lzwCompress(toData(message)); }, false},
};

class StreamConformance : public ::testing::TestWithParam<StreamKind> {
protected:
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("conformance");
    std::shared_ptr<PipeStream> pipe;
    std::shared_ptr<MyInputStream> stream;
    Data input = GetParam().input();

    void TearDown() override {
        queue->sync([&] {
            stream.reset();
            pipe.reset();
        });
        queue->sync([] {});
        EXPECT_EQ(test::liveStreamObjects(), 0) << Plumber::report();
    }

    /// A new stream with a reader that asks again after every delivery: the head's lines to
    /// their CRLF when the stream can, else pieces of 7 and exactly 5 bytes in turn.
    std::shared_ptr<EventLog> start() {
        auto log = EventLog::make();
        queue->sync([&] {
            pipe = PipeStream::make(queue);
            stream = GetParam().make(pipe);
            auto reads = std::make_shared<int>(0);
            std::weak_ptr<MyInputStream> weak = stream;
            auto next = [weak, reads, markers = GetParam().markers] {
                auto s = weak.lock();
                if (!s)
                    return;
                int n = (*reads)++;
                if (markers && n < 3)
                    s->readTo(crlf);
                else if (n % 2)
                    s->readTo(5);
                else
                    s->read(7);
            };
            log->afterReply = [next](InputStreamEvent::Kind kind) {
                if (kind == InputStreamEvent::Kind::data)
                    next();
            };
            stream->handler(log->handler());
            next();
        });
        return log;
    }
    void write(std::size_t from, std::size_t to) {
        queue->sync([&] {
            pipe->write(Data(input.begin() + static_cast<std::ptrdiff_t>(from),
                             input.begin() + static_cast<std::ptrdiff_t>(to)),
                        false, nullptr);
        });
    }
    /// Lets the queue run until the condition, read on the queue, holds.
    void settle(const std::function<bool()>& done) {
        bool holds = false;
        for (int i = 0; i < 1000 && !holds; ++i)
            queue->sync([&] { holds = done(); });
    }
    void settle(const EventLog& log) {
        settle([&] { return log.ended(); });
    }
    void expectWholeMessage(const EventLog& log) {
        EXPECT_EQ(log.text(), message);
        EXPECT_EQ(log.trace.back(), "eof");
        if (GetParam().markers) {
            ASSERT_GE(log.trace.size(), 3u);
            EXPECT_EQ(log.trace[0], "data:GET / HTTP/1.1\r\n");
            EXPECT_EQ(log.trace[1], "data:Host: example.com\r\n");
            EXPECT_EQ(log.trace[2], "data:\r\n");
        }
    }
};

TEST_P(StreamConformance, TheSameOutputWhereverTheInputIsCut) {
    for (std::size_t split = 0; split <= input.size(); ++split) {
        SCOPED_TRACE(split);
        auto log = start();
        write(0, split);
        write(split, input.size());
        queue->sync([&] { pipe->appendEOF(); });
        settle(*log);
        expectWholeMessage(*log);
    }
    SCOPED_TRACE("one byte at a time");
    auto log = start();
    for (std::size_t i = 0; i < input.size(); ++i)
        write(i, i + 1);
    queue->sync([&] { pipe->appendEOF(); });
    settle(*log);
    expectWholeMessage(*log);
}

TEST_P(StreamConformance, AProducerFailureAtEveryStepEndsTheReaderWithIt) {
    for (std::size_t failAt = 0; failAt < input.size(); ++failAt) {
        SCOPED_TRACE(failAt);
        auto log = start();
        for (std::size_t i = 0; i < failAt; i += 3)
            write(i, std::min(failAt, i + 3));
        queue->sync([&] { pipe->appendError(InputStreamError::invalidTrailer().clone()); });
        settle(*log);
        EXPECT_EQ(log->trace.back(), "error:Invalid chunk trailer");
        EXPECT_EQ(log->errors.size(), 1u);
        EXPECT_EQ(message.rfind(log->text(), 0), 0u) << "only a prefix of the output came before";
        // A read after the end is answered, never left waiting.
        auto events = log->trace.size();
        queue->sync([&] { stream->read(); });
        settle([&] { return log->trace.size() > events; });
        EXPECT_EQ(log->trace.size(), events + 1);
    }
}

TEST_P(StreamConformance, ClosingTwiceRunsEachCompletionOnceWithItsError) {
    auto log = start();
    std::vector<std::string> completions;
    queue->sync([&] {
        stream->close(makeError<GenericError>("first"),
                      [&](ErrorPtr e) { completions.push_back(describe(e)); });
        stream->close(makeError<GenericError>("second"),
                      [&](ErrorPtr e) { completions.push_back(describe(e)); });
        EXPECT_TRUE(stream->isClosed());
        EXPECT_TRUE(pipe->isClosed()) << "closing a filter closes what it reads";
    });
    settle(*log);
    EXPECT_EQ(completions, (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(log->ended());
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamConformance, ::testing::ValuesIn(kinds),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace pemtrox
