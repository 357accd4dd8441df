#include <gtest/gtest.h>

#include "PacketTunnel/TCPSocket.h"
#include "PacketTunnel/TCPSocketError.h"
#include "PacketTunnel/lwipglue/lwipmem.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/HeapFiller.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::TcpPeer;

namespace {

// A catch-all listener whose connections become TCPSockets; a reader that keeps asking.
class TCPSocketTest : public test::StackHarness {
protected:
    void SetUp() override {
        StackHarness::SetUp();
        if (IsSkipped())
            return;
        onStack([&] {
            tcp_pcb* listener = tcp_listen_with_backlog(tcp_new_ip_type(IPADDR_TYPE_ANY), 255);
            tcp_arg(listener, this);
            tcp_accept(listener, [](void* arg, tcp_pcb* pcb, err_t) -> err_t {
                tcp_nagle_disable(pcb);
                static_cast<TCPSocketTest*>(arg)->socket =
                    TCPSocket::make(pcb, static_cast<TCPSocketTest*>(arg)->queue);
                return ERR_OK;
            });
        });
        ASSERT_TRUE(peer.connect());
        ASSERT_TRUE(peer.waitUntil([&] { return onStack([&] { return socket != nullptr; }); }));
    }
    void TearDown() override {
        if (socket)
            onStack([&] {
                socket->close(makeError<GenericError>("test over"));
                socket.reset();
            });
        StackHarness::TearDown();
    }
    void startReading() {
        onStack([&] {
            std::weak_ptr<MyInputStream> weak = socket->inputStream();
            socket->inputStream()->handler([this, weak](InputStreamEvent event, InputStreamReply reply) {
                if (event.isData()) {
                    got += toString(event.data());
                    reply(InputStreamHandlerResult::more);
                    if (auto input = weak.lock())
                        input->read();
                    return;
                }
                end = event.isEof() ? "eof" : event.error()->description();
                reply(InputStreamHandlerResult::done);
            });
            socket->inputStream()->read();
        });
    }
    std::int64_t pendingAck() {
        return onStack([&] { return socket->pendingAck(); });
    }
    void sendInSegments(std::size_t total) {
        for (std::size_t sent = 0; sent < total; sent += 1000)
            peer.send(Data(std::min<std::size_t>(1000, total - sent), 'u'));
        settle();
    }

    std::vector<std::string> endInTheBatchOfAnAcknowledgement(bool reset);

    TcpPeer peer{*this, "198.18.72.254", 40000, "203.0.113.10", 443};
    std::shared_ptr<TCPSocket> socket; // on the stack's queue
    std::string got, end;              // on the stack's queue
};

// Up to 4096 unread bytes are acknowledged to the stack at once; beyond that nothing is,
// until the reader catches up, which reopens the window in one go.
TEST_F(TCPSocketTest, ReceiveWindowFollowsTheReader) {
    sendInSegments(3000);
    EXPECT_EQ(pendingAck(), 0);
    sendInSegments(9000);
    EXPECT_EQ(pendingAck(), 8000);
    ASSERT_TRUE(peer.waitUntil([&] { return peer.stackAcked == peer.nextSeq; }));
    EXPECT_LE(peer.stackWindow, 65535 - 8000);
    startReading();
    ASSERT_TRUE(peer.waitUntil([&] { return onStack([&] { return got.size(); }) == 12000; }));
    EXPECT_EQ(pendingAck(), 0);
    EXPECT_TRUE(peer.waitUntil([&] { return peer.stackWindow == 65535; }));
}

// A graceful close returns at once and keeps the pcb until all queued output is in the
// stack; bytes that arrive meanwhile are acknowledged and dropped.
TEST_F(TCPSocketTest, CloseWithPendingOutputFinishesSending) {
    peer.autoAck = false;
    bool closed = false;
    onStack([&] {
        for (int i = 0; i < 5; ++i)
            socket->outputStream()->write(Data(4000, 'a' + i), false, nullptr);
        socket->close(nullptr, [&](ErrorPtr) { closed = true; });
        EXPECT_TRUE(closed);
        EXPECT_TRUE(socket->disconnectAfterWriting());
        EXPECT_FALSE(socket->pcbDeallocated());
    });
    peer.send("late");
    peer.autoAck = true;
    peer.ack();
    ASSERT_TRUE(peer.waitUntil([&] { return peer.finReceived; }));
    EXPECT_EQ(peer.received.size(), 20000u);
    EXPECT_EQ(peer.received.substr(16000), std::string(4000, 'e'));
    EXPECT_FALSE(peer.rstReceived);
    onStack([&] { EXPECT_TRUE(socket->pcbDeallocated()); });
}

// After the app's reset no stack call is made: no space, writes refused, readers told.
TEST_F(TCPSocketTest, ResetByTheAppClosesWithItsError) {
    startReading();
    peer.rst();
    ASSERT_TRUE(peer.waitUntil([&] { return onStack([&] { return socket->isClosed(); }); }));
    onStack([&] {
        EXPECT_EQ(end, "Connection reset by peer");
        EXPECT_EQ(socket->availableSpace(), 0);
        auto written = socket->write(Data(3, 'x'), 0, 3, false, false);
        ASSERT_FALSE(written.isSuccess());
        EXPECT_EQ(written.error()->description(), "Connection closed");
    });
}

// The stack refuses more than its free send buffer with ERR_MEM: the write halves its
// piece until one fits, and takes nothing when not even one byte does.
TEST_F(TCPSocketTest, OutOfMemoryHalvesThePiece) {
    peer.autoAck = false;
    onStack([&] {
        struct Step {
            std::size_t ask, taken;
        } steps[] = {{7192, 7192}, {3000, 750}, {3000, 187}, {63, 63}, {3000, 0}};
        Data bytes(8192, 'w');
        for (auto step : steps) {
            auto written = socket->write(bytes, 0, step.ask, false, false);
            ASSERT_TRUE(written.isSuccess());
            EXPECT_EQ(written.value(), static_cast<std::int64_t>(step.taken)) << step.ask;
        }
    });
}

// While the stack's memory is short (other connections' queued output, the newcomers'
// reserve included) nothing more goes into the stack: the bytes wait in the socket and hold
// its writer back; once acknowledgements have freed memory the next packet from the device
// resumes them.
TEST_F(TCPSocketTest, OutputWaitsWhileTheStacksMemoryIsShort) {
    test::HeapFiller filler;
    std::vector<std::string> completions; // on the stack's queue
    onStack([&] {
        filler.fillTo(test::HeapFiller::used() + lwipmem_reserve_limit);
        ASSERT_TRUE(lwipmem_output_short());
        // Below the writer's limit (two of the stack's send buffers), then over it.
        for (std::size_t size : {3000, 2 * TCP_SND_BUF})
            socket->outputStream()->write(Data(size, 'm'), false, [&](OutputStreamWriteHandlerResult result) {
                completions.push_back(result.isReady() ? "ready" : result.isWait() ? "wait" : "error");
            });
        EXPECT_EQ(tcp_sndbuf(tcp_active_pcbs), TCP_SND_BUF); // the one connection
        EXPECT_EQ(lwipmem_waiting(), 1u);
    });
    peer.waitUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(peer.received.empty());
    onStack([&] {
        EXPECT_EQ(completions, std::vector<std::string>{"ready"}) << "the writer was not held back";
        filler.release();
    });
    peer.ack(); // any packet from the device
    EXPECT_TRUE(peer.waitUntil([&] { return peer.received.size() == 3000 + 2 * TCP_SND_BUF; }))
        << peer.received.size();
    onStack([&] {
        EXPECT_EQ(lwipmem_waiting(), 0u);
        EXPECT_EQ(completions, (std::vector<std::string>{"ready", "ready"}));
    });
}

// The app's end arriving in the same batch as the acknowledgement that lets more bytes into
// the stack (an app that reads its last bytes and goes at once, on a busy device): the writer
// hears that the stack took them before the reader or the writer hears of the end. A writer
// told of the end first fails an exchange whose response had left whole.
std::vector<std::string> TCPSocketTest::endInTheBatchOfAnAcknowledgement(bool reset) {
    std::vector<std::string> events; // on the stack's queue
    peer.autoAck = false;
    onStack([&] {
        std::weak_ptr<MyInputStream> weak = socket->inputStream();
        socket->inputStream()->handler([&events, weak](InputStreamEvent event, InputStreamReply reply) {
            if (event.isData()) {
                reply(InputStreamHandlerResult::more);
                if (auto input = weak.lock())
                    input->read();
                return;
            }
            events.push_back(std::string("read:") + (event.isEof() ? "eof" : event.error()->description()));
            reply(InputStreamHandlerResult::done);
        });
        socket->inputStream()->read();
        // The stack's send buffer filled, then two more held: the writer waits.
        for (std::size_t size : {std::size_t{TCP_SND_BUF}, std::size_t{2 * TCP_SND_BUF}})
            socket->outputStream()->write(
                Data(size, 'z'), false, [&events](OutputStreamWriteHandlerResult r) {
                    events.push_back(std::string("write:") + (r.isReady()  ? "ready"
                                                              : r.isWait() ? "wait"
                                                                           : r.error()->description()));
                });
        EXPECT_EQ(events, std::vector<std::string>{"write:ready"});
    });
    EXPECT_TRUE(peer.waitUntil([&] { return !peer.received.empty(); }));
    sendTogether([&] {
        peer.ack();
        reset ? peer.rst() : peer.fin();
    });
    settle();
    return onStack([&] { return events; });
}

TEST_F(TCPSocketTest, AResetAfterAnAcknowledgementInOneBatchComesAfterTheBytesItFreed) {
    EXPECT_EQ(endInTheBatchOfAnAcknowledgement(true),
              (std::vector<std::string>{"write:ready", "write:ready", "read:Connection reset by peer"}));
}

TEST_F(TCPSocketTest, AnEndOfStreamAfterAnAcknowledgementInOneBatchComesAfterTheBytesItFreed) {
    EXPECT_EQ(endInTheBatchOfAnAcknowledgement(false),
              (std::vector<std::string>{"write:ready", "write:ready", "read:eof"}));
}

TEST(TCPSocketErrorTest, DescriptionsAndTranslation) {
    struct Row {
        std::int8_t code;
        const char *own, *translated;
    } rows[] = {{0, "Socket no error", "Socket no error"},
                {-1, "Socket out of memory", "Socket out of memory"},
                {-11, "Socket not connected", "Socket not connected"},
                {-13, "Socket connection aborted", "Connection reset"},
                {-14, "Socket connection reset", "Connection reset by peer"},
                {-15, "Socket connection closed", "Connection closed"},
                {-16, "Socket illegal argument", "Socket illegal argument"},
                {-17, "TCP Socket unknown error: -17", "TCP Socket unknown error: -17"},
                {3, "TCP Socket unknown error: 3", "TCP Socket unknown error: 3"}};
    for (auto row : rows) {
        EXPECT_EQ(TCPSocketError::errorCode(row.code).description(), row.own);
        EXPECT_EQ(TCPSocketError::translate(row.code)->description(), row.translated);
    }
}

} // namespace
