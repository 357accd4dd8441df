#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/OutputStreamError.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/Plumber.h"
#include "tests/io/StreamTestSupport.h"

using namespace pemtrox;
using test::EventLog;
using test::WriteLog;
using Trace = std::vector<std::string>;

namespace {

const Data crlf = toData("\r\n");

class PipeStreamTest : public ::testing::Test {
protected:
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("pipe-test");
    std::shared_ptr<PipeStream> pipe;
    std::shared_ptr<EventLog> log = EventLog::make();
    WriteLog writes;

    void SetUp() override {
        on([&] {
            pipe = PipeStream::make(queue);
            pipe->handler(log->handler());
        });
    }
    void TearDown() override {
        on([&] { pipe.reset(); });
        settle();
        log.reset();
        EXPECT_EQ(Plumber::count("VornellPacketTunnel.PipeStream"), 0);
    }
    void on(const std::function<void()>& work) { queue->sync(work); }
    /// Lets every answer the pipe posted to its queue run.
    void settle() {
        for (int i = 0; i < 4; ++i)
            queue->sync([] {});
    }
    void write(const std::string& text) {
        on([&] { pipe->write(toData(text), false, writes.completion()); });
    }
};

} // namespace

TEST_F(PipeStreamTest, BackPressureBoundaries) {
    struct Case {
        std::size_t written;
        std::optional<std::uint64_t> readLimit;
        bool parkedAfterWrite;
        std::size_t delivered;
    };
    // 4096 buffered holds the writer; 4095 releases it.
    std::vector<Case> cases = {{5000, std::nullopt, true, 4096}, {4096, 1, true, 1}, {4095, 0, false, 0}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.written);
        WriteLog local;
        auto reader = EventLog::make();
        on([&] {
            pipe = PipeStream::make(queue);
            pipe->handler(reader->handler());
            pipe->write(Data(c.written, 'x'), false, local.completion());
        });
        EXPECT_EQ(pipe->hasPendingWriteCompletion(), c.parkedAfterWrite);
        EXPECT_EQ(local.results.empty(), c.parkedAfterWrite);
        on([&] { pipe->read(c.readLimit); });
        settle();
        EXPECT_EQ(reader->bytes.size(), c.delivered);
        EXPECT_EQ(local.results, Trace{"ready"});
        EXPECT_EQ(pipe->buffered(), c.written - c.delivered);
    }
}

TEST_F(PipeStreamTest, SecondWriteReleasesTheParkedOneWithWait) {
    on([&] {
        pipe->write(Data(4096, 'a'), false, writes.completion());
        pipe->write(toData("b"), false, writes.completion());
    });
    EXPECT_EQ(writes.results, Trace{"wait"});
    EXPECT_TRUE(pipe->hasPendingWriteCompletion());
    on([&] { pipe->read(); });
    settle();
    EXPECT_EQ(writes.results, (Trace{"wait", "ready"}));
}

TEST_F(PipeStreamTest, RequestTable) {
    struct Case {
        const char* name;
        const char* script; // run on the queue, then settled
        const char* trace;
    } cases[] = {
        {"marker keeps the rest", "write:GET / HTTP/1.1~abcd|line|read", "data:GET / HTTP/1.1~|data:abcd"},
        {"length waits for eof then delivers what there is", "write:123456|len:10|eof|read",
         "data:123456|eof"},
        {"error after the buffered bytes, then again for every read", "write:abc|fail|read|read|read",
         "data:abc|error:Invalid chunk trailer|error:Invalid chunk trailer"},
        {"reads before writes are answered in order", "read:2|len:3|read|write:ab|write:cdefg",
         "data:ab|data:cde|data:fg"},
        {"eof for every read after appendEOF", "eof|read|read", "eof|eof"},
        {"length zero is an empty delivery", "write:abc|len:0", "data:"},
        {"unsatisfied length request gets the bytes, then the error", "write:abc|len:10|fail|read",
         "data:abc|error:Invalid chunk trailer"},
        {"unsatisfied marker request gets the bytes, then the error", "write:abc|line|fail|read",
         "data:abc|error:Invalid chunk trailer"},
        {"marker without eof waits, then finds the marker split over writes",
         "line|write:ab\r|write:\ncd|read", "data:ab~|data:cd"},
        {"marker beyond its maximum is an error", "write:abcdefgh~|line:4",
         "error:Marker not found within the read limit"},
        {"marker ending exactly at the maximum is delivered, one byte more is refused",
         "line:4|write:ab~abc~|line:4", "data:ab~|error:Marker not found within the read limit"},
        {"close answers a waiting read with eof", "read|read|close", "eof|eof"},
        {"close after the buffered bytes delivers them, then its error", "write:abc|close:gone|read|read",
         "data:abc|error:gone"},
        {"appending after the close is ignored", "close|fail|eof|read", "eof|eof"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto reader = EventLog::make();
        on([&] {
            pipe = PipeStream::make(queue);
            pipe->handler(reader->handler());
        });
        on([&] { test::runScript(*pipe, c.script); });
        settle();
        EXPECT_EQ(test::joined(reader->trace), c.trace);
    }
}

TEST_F(PipeStreamTest, ReadsAreNeverAnsweredInsideTheReadCall) {
    write("abc");
    on([&] {
        pipe->read();
        EXPECT_TRUE(log->trace.empty());
    });
    settle();
    EXPECT_EQ(log->trace, Trace{"data:abc"});
}

TEST_F(PipeStreamTest, WriteToClosedPipeFailsAndClosingReleasesTheParkedWriter) {
    on([&] { pipe->write(Data(5000, 'a'), false, writes.completion()); });
    EXPECT_TRUE(writes.results.empty());
    ErrorPtr closeSeen;
    bool closed = false;
    on([&] {
        pipe->close(nullptr, [&](ErrorPtr e) {
            closed = true;
            closeSeen = e;
        });
    });
    EXPECT_TRUE(closed);
    EXPECT_EQ(closeSeen, nullptr);
    ASSERT_EQ(writes.results.size(), 1u);
    EXPECT_EQ(writes.results[0], "error:The output stream is closed");
    write("more");
    EXPECT_EQ(writes.results.back(), "error:The output stream is closed");
    // The bytes written before the close are still read, then eof.
    on([&] {
        pipe->read();
        pipe->read();
        pipe->read();
    });
    settle();
    EXPECT_EQ(log->bytes.size(), 5000u);
    EXPECT_EQ(log->trace.back(), "eof");
}

TEST_F(PipeStreamTest, LongLineWithAWriterThatHonoursBackPressureDoesNotStall) {
    // A 10000-byte line read to its CRLF: the writer must be let past 4096 bytes.
    std::string line(10000, 'h');
    line += "\r\n";
    std::size_t written = 0;
    std::function<void()> writeNext;
    writeNext = [&] {
        if (written >= line.size())
            return;
        auto piece = line.substr(written, 1000);
        written += piece.size();
        pipe->write(toData(piece), false, [&](OutputStreamWriteHandlerResult r) {
            if (r.isReady())
                writeNext();
        });
    };
    on([&] {
        pipe->readTo(crlf);
        writeNext();
    });
    settle();
    EXPECT_EQ(written, line.size());
    EXPECT_EQ(log->trace.size(), 1u);
    EXPECT_EQ(log->bytes.size(), line.size());
    writeNext = nullptr;
}
