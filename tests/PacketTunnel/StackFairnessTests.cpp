#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/TCPSocket.h"
#include "PacketTunnel/lwipglue/lwipmem.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"
#include "tests/support/PacketBuilder.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/HeapFiller.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::TcpPeer;

namespace {

const std::string client4 = "198.18.72.254", server4 = "203.0.113.5";
using Peers = std::vector<std::unique_ptr<TcpPeer>>;

// Whatever some connections do with the stack's memory (stop reading, stop answering, flood
// SYNs), a new one is served at once: every accepted connection becomes a TCPSocket, as the
// relay and the proxy on the stack make them.
class StackFairnessTest : public test::StackHarness {
protected:
    void SetUp() override {
        StackHarness::SetUp();
        if (IsSkipped())
            return;
        log = test::CapturingLogger::install();
        onStack([&] {
            listener = tcp_listen_with_backlog(tcp_new_ip_type(IPADDR_TYPE_ANY), 255);
            tcp_arg(listener, this);
            tcp_accept(listener, [](void* arg, tcp_pcb* pcb, err_t) -> err_t {
                auto& test = *static_cast<StackFairnessTest*>(arg);
                tcp_nagle_disable(pcb);
                test.sockets.push_back(TCPSocket::make(pcb, test.queue));
                return ERR_OK;
            });
            start = LWIPStack::heapUsed();
        });
    }
    void TearDown() override {
        if (!IsSkipped())
            onStack([&] {
                filler.release();
                for (auto& socket : sockets)
                    socket->close(makeError<GenericError>("test over"));
                sockets.clear();
                while (tcp_active_pcbs)
                    tcp_abort(tcp_active_pcbs);
                while (tcp_tw_pcbs)
                    tcp_abort(tcp_tw_pcbs);
                EXPECT_EQ(LWIPStack::heapUsed(), start) << "heap not back at its start";
                EXPECT_EQ(lwipmem_waiting(), 0u);
                EXPECT_EQ(lwipmem_half_open(), 0u) << "a freed connection is still counted half-open";
                tcp_close(listener);
            });
        StackHarness::TearDown();
    }
    /// Connects `count` peers from `firstPort` on, each one's socket at the same index; their
    /// apps read nothing past `unreadLimit` bytes.
    Peers open(std::size_t count, std::uint16_t firstPort, std::size_t unreadLimit = SIZE_MAX) {
        Peers opened;
        for (std::size_t i = 0; i < count; ++i) {
            opened.push_back(std::make_unique<TcpPeer>(
                *this, client4, static_cast<std::uint16_t>(firstPort + i), server4, 443));
            opened.back()->unreadLimit = unreadLimit;
            opened.back()->syn();
        }
        EXPECT_TRUE(opened.back()->waitUntil([&] {
            return std::all_of(opened.begin(), opened.end(), [](auto& p) { return p->synAckReceived; });
        }));
        for (auto& p : opened)
            p->ack();
        settle();
        return opened;
    }
    void write(std::size_t socket, std::size_t size) {
        onStack([&] {
            sockets[socket]->outputStream()->write(Data(size, 'x'), false,
                                                   [](OutputStreamWriteHandlerResult) {});
        });
    }
    /// A new connection's greeting reaches its peer within a second.
    void expectNewcomerServed(std::uint16_t port) {
        newcomers.push_back(std::make_unique<TcpPeer>(*this, client4, port, server4, 443));
        auto& newcomer = newcomers.back(); // the harness keeps its peers to the end
        auto began = std::chrono::steady_clock::now();
        ASSERT_TRUE(newcomer->connect());
        write(onStack([&] { return sockets.size(); }) - 1, 2000);
        EXPECT_TRUE(
            newcomer->waitUntil([&] { return newcomer->received.size() == 2000; }, std::chrono::seconds(1)))
            << "the new connection got " << newcomer->received.size() << " bytes, heap "
            << onStack([] { return LWIPStack::heapUsed(); });
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
    }

    Peers newcomers;
    std::shared_ptr<test::CapturingLogger> log;
    tcp_pcb* listener = nullptr;
    std::vector<std::shared_ptr<TCPSocket>> sockets; // on the queue
    test::HeapFiller filler;                         // on the queue
    std::size_t start = 0;
};

// Apps that stop reading close their windows: what they were sent waits in the program's
// buffers, not the stack's heap, however many they are and however much is sent to them.
// Their window updates, once they read again, resume them without waiting for a poll.
TEST_F(StackFairnessTest, StalledReadersHoldNoStackMemory) {
    const std::size_t stalled = 150, each = 32 * 1024; // together far past the output budget
    ASSERT_GT(stalled * TCP_SND_BUF, lwipmem_output_budget);
    auto peers = open(stalled, 20000, 4096); // the windows close as the apps' buffers fill
    for (std::size_t i = 0; i < stalled; ++i)
        write(i, each);
    ASSERT_TRUE(peers.back()->waitUntil([&] {
        return std::all_of(peers.begin(), peers.end(), [](auto& p) { return p->received.size() == 4096; });
    }));
    settle();
    onStack([&] {
        EXPECT_LT(LWIPStack::heapUsed() - start, stalled * 512) << "closed windows still hold output";
        EXPECT_FALSE(lwipmem_under_pressure());
    });
    expectNewcomerServed(21000);

    auto& reader = *peers.front();
    reader.unreadLimit = SIZE_MAX;
    auto updated = std::chrono::steady_clock::now();
    reader.ack(); // the window update
    ASSERT_TRUE(reader.waitUntil([&] { return reader.received.size() > 4096; }));
    EXPECT_LT(std::chrono::steady_clock::now() - updated, std::chrono::milliseconds(700))
        << "resumed by the poll, not by the window update";
    EXPECT_TRUE(reader.waitUntil([&] { return reader.received.size() == each; }));
}

// While memory is short a connection that acknowledges nothing for the limit is reset, once,
// counted, with one warning for the episode and one line at its end; without pressure, or
// while its peer answers, it stays.
TEST_F(StackFairnessTest, SilentPeersAreResetOnlyUnderPressure) {
    auto peers = open(6, 22000);
    peers[0]->autoAck = peers[1]->autoAck = peers[4]->autoAck = false; // peers[2] and [3] answer
    auto stale = peers[4]->segment(test::Packet::ack);                 // what peers[4] repeats under pressure
    for (std::size_t i = 0; i < peers.size(); ++i)
        write(i, 4000);
    // peers[5] vanishes, its window shut on data in flight: the stack probes it, and a reset
    // at the end of that data would fall outside its window
    ASSERT_TRUE(peers[5]->waitUntil([&] { return peers[5]->received.size() == 4000; }));
    peers[5]->takesNothing = true;
    write(5, 3000);
    peers[5]->window = 0;
    peers[5]->send("x");
    peers[5]->ack(); // a window shrinks only with a later segment
    auto idle = std::chrono::milliseconds(lwipmem_silence_limit_ms + 1500);
    peers[2]->waitUntil([] { return false; }, idle);
    for (auto& p : peers)
        EXPECT_FALSE(p->rstReceived) << "reset without memory pressure";
    onStack([] { EXPECT_EQ(lwipmem_silent_resets(), 0u); });

    onStack([&] {
        filler.fillTo(lwipmem_output_budget + 8192); // short until peers[0] and [1] are reset too
        ASSERT_TRUE(lwipmem_under_pressure());
    });
    write(2, 1000); // keeps its peer answering under pressure, within its share
    peers[3]->autoAck = false;
    write(3, 1000); // the same, acknowledged about 3.5 s late: past the limit, not a second retransmission
    auto began = std::chrono::steady_clock::now();
    for (int second = 1; second <= 4 || (second <= 10 && !peers[1]->rstReceived); ++second) {
        peers[0]->waitUntil([] { return false; }, std::chrono::seconds(1));
        send(stale); // peers[4] answers, acknowledging nothing new
        if (second == 4)
            peers[3]->ack();
    }
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(lwipmem_silence_limit_ms));
    EXPECT_TRUE(peers[0]->rstReceived && peers[1]->rstReceived && peers[5]->rstReceived);
    EXPECT_FALSE(peers[2]->rstReceived || peers[3]->rstReceived || peers[4]->rstReceived);
    onStack([] { EXPECT_EQ(lwipmem_silent_resets(), 3u); });
    EXPECT_EQ(log->count("connections that acknowledge nothing for 3 s and 2 retransmissions are reset"), 1);

    onStack([&] { filler.release(); });
    EXPECT_TRUE(
        test::waitFor([&] { return log->count("3 connections that acknowledged nothing were reset") == 1; }));
    EXPECT_TRUE(onStack([&] {
        return std::all_of(sockets.begin(), sockets.begin() + 2, [](auto& s) { return s->isClosed(); }) &&
               sockets[5]->isClosed();
    }));
}

// Peers that vanish mid-download and together hold the whole output budget still leave a new
// connection its share at once, before they are reset.
TEST_F(StackFairnessTest, VanishedPeersHoldingTheBudgetLeaveNewcomersServed) {
    const std::size_t silent = lwipmem_output_budget / TCP_SND_BUF + 10, first = lwipmem_newcomer_bytes;
    auto peers = open(silent, 23000);
    for (std::size_t i = 0; i < silent; ++i)
        write(i, first);
    ASSERT_TRUE(peers.back()->waitUntil([&] {
        return std::all_of(peers.begin(), peers.end(), [&](auto& p) { return p->received.size() == first; });
    }));
    for (auto& p : peers)
        p->autoAck = false;
    for (std::size_t i = 0; i < silent; ++i)
        write(i, 2 * TCP_SND_BUF);
    settle();
    onStack([] { EXPECT_TRUE(lwipmem_output_short()); });
    expectNewcomerServed(24000);
    // Those that held the budget are reset; the memory they free goes to those that waited.
    EXPECT_TRUE(peers.back()->waitUntil(
        [&] { return onStack([] { return lwipmem_silent_resets() > 0 && !lwipmem_output_short(); }); },
        std::chrono::milliseconds(5 * lwipmem_silence_limit_ms)));
}

// A flood of SYNs never completed keeps no more than the half-open share: beyond it each
// SYN is answered without state, so the flood costs neither memory nor places. Every peer
// that completes its handshake, a stateful one or not, one that comes during the flood
// included, gets its connection; an ACK without a cookie of ours is reset.
TEST_F(StackFairnessTest, HalfOpenFloodLeavesLegitimateSynsAnswered) {
    const std::size_t share = onStack([] { return lwipmem_half_open_share(); }), beyond = 40;
    Peers flood;
    for (std::size_t i = 0; i < share + beyond; ++i) {
        flood.push_back(
            std::make_unique<TcpPeer>(*this, client4, static_cast<std::uint16_t>(30000 + i), server4, 80));
        flood.back()->syn();
    }
    ASSERT_TRUE(flood.back()->waitUntil(
        [&] { return std::all_of(flood.begin(), flood.end(), [](auto& p) { return p->synAckReceived; }); }));
    onStack([&] {
        EXPECT_EQ(lwipmem_half_open(), share);
        EXPECT_EQ(lwipmem_syn_cookies(), beyond);
        EXPECT_EQ(lwipmem_connections(), share);
        EXPECT_LT(LWIPStack::heapUsed() - start, lwipmem_output_budget / 4);
    });
    EXPECT_EQ(log->count("new SYNs are answered without keeping state"), 1);

    expectNewcomerServed(31000);
    flood.front()->ack(); // stateful
    flood.back()->ack();  // answered without state
    settle();
    EXPECT_FALSE(flood.front()->rstReceived);
    EXPECT_FALSE(flood.back()->rstReceived);
    EXPECT_EQ(onStack([&] { return sockets.size(); }), 3u);
    onStack([] { EXPECT_EQ(lwipmem_cookie_connections(), 2u); });
    TcpPeer forged(*this, client4, 32000, server4, 80);
    forged.ack();
    EXPECT_TRUE(forged.waitUntil([&] { return forged.rstReceived; }));
    EXPECT_EQ(onStack([&] { return sockets.size(); }), 3u);

    onStack([&] { // the flood's half-open connections time out
        std::vector<tcp_pcb*> halfOpen;
        for (tcp_pcb* pcb = tcp_active_pcbs; pcb; pcb = pcb->next)
            if (pcb->state == SYN_RCVD)
                halfOpen.push_back(pcb);
        for (tcp_pcb* pcb : halfOpen)
            tcp_abort(pcb);
    });
    EXPECT_TRUE(test::waitFor([&] {
        return log->count("SYNs answered with state again after " + std::to_string(beyond + 1)) == 1;
    }));
}

} // namespace
