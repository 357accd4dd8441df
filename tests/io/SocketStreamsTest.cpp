#include <gtest/gtest.h>

#include "proxy/io/AbstractSocket.h"
#include "proxy/io/OutputStreamError.h"
#include "proxy/io/SocketError.h"
#include "proxy/io/SocketInputStream.h"
#include "proxy/io/SocketOutputStream.h"
#include "tests/io/StreamTestSupport.h"

using namespace pemtrox;

namespace {

/// A socket that records what its streams ask of it and sends nothing by itself: the test
/// reports sent bytes with didSend.
class RecordingSocket : public AbstractSocket, public SocketStreamProtocol {
public:
    /// `limit`: the output stream's back-pressure limit; 0: its default.
    static std::shared_ptr<RecordingSocket> make(std::int64_t limit = 0) {
        auto s = makeSocket<RecordingSocket>();
        if (limit)
            s->out = SocketOutputStream::make(-1.0, limit);
        s->in->setSocket(std::weak_ptr<SocketStreamProtocol>(s));
        s->out->setSocket(std::weak_ptr<SocketStreamProtocol>(s));
        return s;
    }
    std::shared_ptr<SocketInputStream> in = SocketInputStream::make(-1.0);
    std::shared_ptr<SocketOutputStream> out = SocketOutputStream::make(-1.0);
    std::vector<std::string> calls;
    bool refuse = false;

    std::shared_ptr<MyInputStream> inputStream() const override { return in; }
    std::shared_ptr<MyOutputStream> outputStream() const override { return out; }
    std::optional<std::string> host() const override { return std::nullopt; }
    std::optional<int> port() const override { return std::nullopt; }
    std::optional<std::string> localHost() const override { return std::nullopt; }
    std::optional<int> localPort() const override { return std::nullopt; }
    bool isClosed() const override { return AbstractSocket::isClosed(); }
    void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) override {
        AbstractSocket::close(std::move(error), std::move(completion));
    }
    void read(std::optional<std::uint64_t> maxLength, double timeout) override {
        calls.push_back("read " + (maxLength ? std::to_string(*maxLength) : "-") + " " +
                        std::to_string(int(timeout)));
    }
    void readTo(std::uint64_t length, double) override {
        calls.push_back("readTo " + std::to_string(length));
    }
    void readTo(const Data& marker, std::uint64_t maxLength, double) override {
        calls.push_back("readTo marker " + toString(marker) + " " + std::to_string(maxLength));
    }
    void write(Data data, bool flush, double) override {
        if (refuse)
            throw SocketError::socketClosed();
        calls.push_back("write " + std::to_string(data.size()) + (flush ? " flush" : ""));
    }
    void flush() override { calls.push_back("flush"); }
    void inputStreamDidClose(const MyInputStream& stream, ErrorPtr error,
                             CloseCompletion completion) override {
        calls.push_back("input closed");
        AbstractSocket::inputStreamDidClose(stream, std::move(error), std::move(completion));
    }
    void outputStreamDidClose(const MyOutputStream& stream, ErrorPtr error,
                              CloseCompletion completion) override {
        calls.push_back("output closed");
        AbstractSocket::outputStreamDidClose(stream, std::move(error), std::move(completion));
    }
};

Data bytes(std::size_t n) {
    return Data(n, 'x');
}

struct SocketStreamsTest : ::testing::Test {
    std::shared_ptr<RecordingSocket> socket = RecordingSocket::make();
    test::WriteLog writes;
    void TearDown() override {
        if (socket)
            socket->close();
        socket.reset();
        for (auto key : {"RecordingSocket", "SocketInputStream", "SocketOutputStream"})
            EXPECT_EQ(Plumber::count(std::string("VornellPacketTunnel.") + key), 0) << key;
    }
};

} // namespace

TEST_F(SocketStreamsTest, ReadsBecomeSocketReadsAndBytesComeBackAsData) {
    auto log = test::EventLog::make();
    socket->in->handler(log->handler());
    socket->in->read();
    socket->in->read(10);
    socket->in->readTo(7);
    socket->in->readTo(toData("\r\n"), 100);
    EXPECT_EQ(socket->calls,
              (std::vector<std::string>{"read - -1", "read 10 -1", "readTo 7", "readTo marker \r\n 100"}));
    socket->in->socketDidRead(toData("abc"));
    EXPECT_EQ(log->trace, std::vector<std::string>{"data:abc"});
}

TEST_F(SocketStreamsTest, ReadsWithoutAnOpenSocketAreAnsweredWithEof) {
    auto log = test::EventLog::make();
    auto orphan = SocketInputStream::make(-1.0);
    orphan->handler(log->handler());
    orphan->read();
    EXPECT_EQ(log->trace, std::vector<std::string>{"eof"});

    auto closedLog = test::EventLog::make();
    socket->in->handler(closedLog->handler());
    socket->in->close();
    socket->in->read();
    socket->in->readTo(3);
    EXPECT_EQ(closedLog->trace, (std::vector<std::string>{"eof", "eof", "eof"}));
    EXPECT_EQ(std::count(socket->calls.begin(), socket->calls.end(), "read - -1"), 0);
}

TEST_F(SocketStreamsTest, ClosingBothStreamsClosesTheSocketWithTheLastError) {
    auto log = test::EventLog::make();
    socket->in->handler(log->handler());
    std::vector<std::string> done;
    socket->in->close(makeError<GenericError>("in"),
                      [&](ErrorPtr e) { done.push_back("in:" + describe(e)); });
    EXPECT_FALSE(socket->isClosed());
    EXPECT_EQ(log->trace, std::vector<std::string>{"error:in"});
    ErrorPtr closedWith;
    socket->setDidCloseBlock([&](std::shared_ptr<Socket>, ErrorPtr e, CloseCompletion next) {
        closedWith = e;
        next(e);
    });
    socket->out->close(makeError<GenericError>("out"),
                       [&](ErrorPtr e) { done.push_back("out:" + describe(e)); });
    EXPECT_TRUE(socket->isClosed());
    EXPECT_EQ(describe(closedWith), "out");
    EXPECT_EQ(done, (std::vector<std::string>{"in:in", "out:out"}));
}

TEST_F(SocketStreamsTest, BackPressureParksAtItsLimitAndReleasesBelowIt) {
    struct Case {
        std::int64_t limit; // 0: the default, 4096
        std::vector<std::size_t> writes;
        std::int64_t sent;
        std::vector<std::string> before, after;
    };
    const std::vector<Case> cases{
        {0, {4096}, 1, {}, {"ready"}},
        {0, {4095}, 0, {"ready"}, {"ready"}},
        {0, {4000, 100}, 5, {"ready"}, {"ready", "ready"}},
        {0, {4000, 100}, 4, {"ready"}, {"ready"}}, // 4096 left: still parked
        {0, {5000, 10}, 0, {"wait"}, {"wait"}},    // the second write releases the first early
        {16384,
         {4096, 4096, 4096, 4095},
         0,
         {"ready", "ready", "ready", "ready"},
         {"ready", "ready", "ready", "ready"}},
        {16384, {65536}, 49152, {}, {}}, // 16384 left: still parked
        {16384, {65536}, 49153, {}, {"ready"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.limit) + " " + ::testing::PrintToString(c.writes) +
                     " sent " + std::to_string(c.sent));
        auto s = RecordingSocket::make(c.limit);
        test::WriteLog log;
        for (auto n : c.writes)
            s->out->write(bytes(n), false, log.completion());
        EXPECT_EQ(log.results, c.before);
        if (c.sent)
            s->out->didSend(c.sent);
        EXPECT_EQ(log.results, c.after);
        s->close();
    }
}

TEST_F(SocketStreamsTest, CloseReleasesAParkedWriterBeforeItsCompletion) {
    for (bool withError : {false, true}) {
        auto s = RecordingSocket::make();
        test::WriteLog log;
        s->out->write(bytes(5000), false, log.completion());
        std::vector<std::string> order;
        s->out->close(withError ? makeError<GenericError>("boom") : nullptr, [&](ErrorPtr) {
            order = log.results;
            order.push_back("closed");
        });
        EXPECT_EQ(order, (std::vector<std::string>{withError ? "error:boom" : "ready", "closed"}));
        s->close();
    }
}

TEST_F(SocketStreamsTest, WritesThatCannotGoOutFailWithoutCountingTheirBytes) {
    // Closed stream.
    socket->out->close();
    socket->out->write(bytes(10), false, writes.completion());
    // Refused by the socket: the count must not stay in `buffered`.
    auto refusing = RecordingSocket::make();
    refusing->refuse = true;
    refusing->out->write(bytes(4000), false, writes.completion());
    EXPECT_EQ(refusing->out->buffered(), 0);
    refusing->refuse = false;
    refusing->out->write(bytes(100), false, writes.completion());
    // Socket gone: an error, not an abort; flush does nothing.
    auto orphan = SocketOutputStream::make(-1.0);
    orphan->write(bytes(1), true, writes.completion());
    orphan->flush();
    EXPECT_EQ(writes.results,
              (std::vector<std::string>{"error:The output stream is closed", "error:Connection closed",
                                        "ready", "error:The output stream is closed"}));
    refusing->close();
}

TEST_F(SocketStreamsTest, FlushAndWriteFlagsReachTheSocket) {
    socket->out->write(bytes(3), true, writes.completion());
    socket->out->flush();
    EXPECT_EQ(socket->calls, (std::vector<std::string>{"write 3 flush", "flush"}));
    EXPECT_EQ(socket->out->buffered(), 3);
    socket->out->didSend(3);
    EXPECT_EQ(socket->out->buffered(), 0);
}
