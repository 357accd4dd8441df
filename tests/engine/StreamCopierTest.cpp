#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "platform/DispatchQueue.h"
#include "proxy/engine/AbstractProxyServer.h"
#include "proxy/engine/ByteRelay.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyServerAdapter.h"
#include "proxy/engine/RequestStreamCopier.h"
#include "proxy/engine/ResponseStreamCopier.h"
#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/OutputStreamError.h"
#include "proxy/io/SocketError.h"
#include "tests/io/StreamTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/NullProxyServer.h"
#include "tests/support/proxy/ProxyHarness.h"

namespace pemtrox {
namespace {

using Sink = test::RecordingTarget;

// Fails the write with the given number.
std::function<OutputStreamWriteHandlerResult(int)> failingAt(int failAt) {
    return [failAt](int index) {
        return index == failAt ? OutputStreamWriteHandlerResult::error(OutputStreamError::closed().clone())
                               : OutputStreamWriteHandlerResult::ready();
    };
}

// Fails every read with the given error.
class FailingInput : public ByteArrayInputStream {
public:
    explicit FailingInput(ErrorPtr error) : ByteArrayInputStream(Data()), error_(std::move(error)) {}

protected:
    void readAny(std::optional<std::uint64_t>) override { deliver(InputStreamEvent::error(error_)); }

private:
    ErrorPtr error_;
};

Data bytes(std::size_t n) {
    Data data(n);
    std::iota(data.begin(), data.end(), 0);
    return data;
}

TEST(StreamCopierTest, CopiesEverythingInPieces) {
    const std::vector<StreamCopierStatus> both{StreamCopierStatus::started, StreamCopierStatus::finished};
    struct Case {
        std::size_t size;
        std::optional<std::uint64_t> readLength; // unset: the stream's own piece size
        int writes;
        std::vector<StreamCopierStatus> statuses;
    } cases[] = {{10000, std::nullopt, 3, both}, // 4096+4096+1808
                 {10000, 3000, 4, both},
                 {10000, 65536, 1, both},
                 {0, std::nullopt, 0, {StreamCopierStatus::finished}}};
    for (auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " read " + std::to_string(c.readLength.value_or(0)));
        Sink sink;
        auto copier = StreamCopier::make(ByteArrayInputStream::make(bytes(c.size)), sink.stream);
        copier->setReadLength(c.readLength);
        std::vector<StreamCopierStatus> statuses;
        copier->start([&](StreamCopierStatus s) { statuses.push_back(s); });
        EXPECT_EQ(statuses, c.statuses);
        EXPECT_EQ(sink.received, bytes(c.size));
        EXPECT_EQ(sink.writes, c.writes);
        EXPECT_EQ(copier->total(), static_cast<std::int64_t>(c.size));
        EXPECT_FALSE(copier->error());
        EXPECT_TRUE(copier->finished());
        EXPECT_FALSE(copier->copying());
        EXPECT_EQ(copier->streamStartTime().has_value(), c.size > 0);
        EXPECT_GE(sink.flushes, 1);
    }
}

// A failed write ends the copy at once, with that error, counting only what was written.
TEST(StreamCopierTest, StopsAtTheFirstWriteError) {
    for (int failAt = 0; failAt < 3; ++failAt) {
        SCOPED_TRACE(failAt);
        Sink sink;
        sink.answer = failingAt(failAt);
        auto copier = StreamCopier::make(ByteArrayInputStream::make(bytes(10000)), sink.stream);
        int finishedCalls = 0;
        copier->start([&](StreamCopierStatus s) { finishedCalls += s == StreamCopierStatus::finished; });
        EXPECT_EQ(finishedCalls, 1);
        EXPECT_EQ(sink.writes, failAt + 1); // nothing read or written after the failure
        EXPECT_EQ(copier->total(), failAt * 4096);
        ASSERT_TRUE(copier->error());
        EXPECT_TRUE(OutputStreamError::is(copier->error(), OutputStreamError::Kind::closed));
        EXPECT_TRUE(copier->finished());
    }
}

TEST(StreamCopierTest, InputErrorIsKeptUnlessItIsAClosedSocket) {
    auto timeout = SocketError::timeout().clone();
    auto closed = SocketError::socketClosed().clone();
    for (auto& [error, kept] : std::vector<std::pair<ErrorPtr, bool>>{{timeout, true}, {closed, false}}) {
        Sink sink;
        auto copier = StreamCopier::make(Plumber::make<FailingInput>(error), sink.stream);
        int finished = 0;
        copier->start([&](StreamCopierStatus s) { finished += s == StreamCopierStatus::finished; });
        EXPECT_EQ(copier->error(), kept ? error : nullptr);
        EXPECT_EQ(finished, 1);
        EXPECT_TRUE(copier->finished());
    }
}

TEST(StreamCopierTest, StopAfterThePieceInFlight) {
    Sink sink;
    sink.hold = true;
    auto copier = StreamCopier::make(ByteArrayInputStream::make(bytes(10000)), sink.stream);
    std::vector<StreamCopierStatus> statuses;
    copier->start([&](StreamCopierStatus s) { statuses.push_back(s); });
    ASSERT_EQ(sink.held.size(), 1u);
    copier->stop();
    sink.held[0](OutputStreamWriteHandlerResult::ready());
    EXPECT_EQ(statuses, (std::vector{StreamCopierStatus::started, StreamCopierStatus::finished}));
    EXPECT_EQ(copier->total(), 4096);
    EXPECT_EQ(sink.writes, 1);
    EXPECT_TRUE(copier->finished());
}

// A source that closes while its last piece is still being written (a socket that saw its
// peer's FIN while the downstream buffer is full) ends the copy only once that write is done,
// so the copy's size and last time count the piece; an error other than a closed socket is
// still kept.
TEST(StreamCopierTest, ASourceClosedDuringTheLastWriteEndsAfterIt) {
    auto timeout = SocketError::timeout().clone();
    for (auto& [error, kept] : std::vector<std::pair<ErrorPtr, bool>>{
             {nullptr, false}, {SocketError::socketClosed().clone(), false}, {timeout, true}}) {
        SCOPED_TRACE(error ? error->description() : "end");
        Sink sink;
        sink.hold = true;
        auto input = ByteArrayInputStream::make(bytes(3000));
        auto copier = StreamCopier::make(input, sink.stream);
        std::vector<StreamCopierStatus> statuses;
        copier->start([&](StreamCopierStatus s) { statuses.push_back(s); });
        ASSERT_EQ(sink.held.size(), 1u);
        input->close(error);
        EXPECT_FALSE(copier->finished());
        EXPECT_EQ(statuses, std::vector{StreamCopierStatus::started});
        sink.held[0](OutputStreamWriteHandlerResult::ready());
        EXPECT_EQ(statuses, (std::vector{StreamCopierStatus::started, StreamCopierStatus::finished}));
        EXPECT_EQ(copier->total(), 3000);
        EXPECT_TRUE(copier->streamLastTime().has_value());
        EXPECT_EQ(copier->error(), kept ? timeout : nullptr);
        EXPECT_EQ(sink.writes, 1);
    }
}

// Directed copiers count into the record and report each piece; without the server they
// only count, and a piece whose write failed is not counted.
TEST(StreamCopierTest, TunnelCopiersCountIntoTheRecordAndNotify) {
    auto server = std::make_shared<test::NullProxyServer>();
    auto listener = std::make_shared<test::RecordingProxyListener>();
    server->addProxyListener(listener);
    auto evt = ProxyEvent::make(server);
    Sink upSink, downSink;
    auto up = RequestStreamCopier::make(ByteArrayInputStream::make(bytes(5000)), upSink.stream, server, evt);
    auto down =
        ResponseStreamCopier::make(ByteArrayInputStream::make(bytes(7000)), downSink.stream, server, evt);
    up->start(nullptr);
    down->start(nullptr);
    EXPECT_EQ(evt->requestSize, 5000);
    EXPECT_EQ(evt->responseSize, 7000);
    EXPECT_EQ(listener->requestBody().size(), 5000u);
    EXPECT_EQ(listener->responseBody().size(), 7000u);
    EXPECT_EQ(evt->status, ProxyEventStatus::receivingResponseBody);

    auto alone = ProxyEvent::make(nullptr);
    std::weak_ptr<InternalProxyServer> gone = std::make_shared<test::NullProxyServer>();
    Sink sink;
    sink.answer = failingAt(1);
    RequestStreamCopier::make(ByteArrayInputStream::make(bytes(5000)), sink.stream, gone.lock(), alone)
        ->start(nullptr);
    EXPECT_EQ(alone->requestSize, 4096);
    EXPECT_EQ(listener->requestBody().size(), 5000u);
    listener->clear(); // its records hold the server, which holds it
}

// Each copy of a relay reads pieces of the size the peer whose bytes it carries asks for.
TEST(StreamCopierTest, RelayCopiesReadThePieceSizeOfTheirSource) {
    auto queue = DispatchQueue::make("relay");
    auto server = std::make_shared<test::NullProxyServer>(queue);
    Sink toClient, toServer;
    std::shared_ptr<ByteRelay> relay;
    queue->sync([&] {
        ByteRelay::Peer client{
            ByteArrayInputStream::make(bytes(10000)), toClient.stream, {}, true, std::nullopt};
        ByteRelay::Peer remote{ByteArrayInputStream::make(bytes(10000)), toServer.stream, {}, true, 3000};
        relay = ByteRelay::make(std::move(client), std::move(remote), server, ProxyEvent::make(server), {});
        relay->start();
    });
    // Each direction's end comes round through the queue once its copy has finished.
    ASSERT_TRUE(test::waitFor([&] { return queue->onQueue([&] { return relay->isOver(); }); }));
    EXPECT_EQ(toServer.writes, 3); // the client's own pieces: 4096+4096+1808
    EXPECT_EQ(toClient.writes, 4); // 3000+3000+3000+1000
    EXPECT_EQ(toClient.received, bytes(10000));
    queue->sync([&] { relay.reset(); });
}

} // namespace
} // namespace pemtrox
