#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/lwipglue/lwipmem.h"
#include "PacketTunnel/lwipglue/netunif.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"
#include "lwip/timeouts.h"
#include "tests/support/PacketBuilder.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/HeapFiller.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::HeapFiller;
using pemtrox::test::Packet;
using pemtrox::test::TcpPeer;

namespace {

const std::string client4 = "198.18.72.254", server4 = "203.0.113.5";

// The stack under memory pressure: a catch-all listener whose connections stay with the
// stack (nobody reads them), the heap filled by a stand-in for load, and a check that
// the heap is back at its start once every connection is gone.
class StackMemoryTest : public test::StackHarness {
protected:
    void SetUp() override {
        StackHarness::SetUp();
        if (IsSkipped())
            return;
        onStack([&] {
            listener = tcp_listen_with_backlog(tcp_new_ip_type(IPADDR_TYPE_ANY), 255);
            tcp_arg(listener, this);
            tcp_accept(listener, [](void* arg, tcp_pcb* pcb, err_t) -> err_t {
                static_cast<StackMemoryTest*>(arg)->accepted.push_back(pcb);
                return ERR_OK;
            });
            start = LWIPStack::heapUsed();
        });
    }
    void TearDown() override {
        if (!IsSkipped()) {
            onStack([&] {
                filler.release();
                while (tcp_active_pcbs) // accepted or still in the handshake
                    tcp_abort(tcp_active_pcbs);
                while (tcp_tw_pcbs)
                    tcp_abort(tcp_tw_pcbs);
                EXPECT_EQ(LWIPStack::heapUsed(), start) << "heap not back at its start";
                EXPECT_EQ(netunif_input_held(), 0u) << "input reserve not back at its start";
                tcp_close(listener);
            });
        }
        StackHarness::TearDown();
    }
    std::unique_ptr<TcpPeer> peer(std::uint16_t port) {
        return std::make_unique<TcpPeer>(*this, client4, port, server4, 443);
    }
    std::size_t synAcksIn(const std::vector<std::pair<Data, int>>& written) {
        return std::count_if(written.begin(), written.end(), [](const auto& packet) {
            auto parsed = Packet::parse(packet.first);
            return parsed && parsed->flags == (Packet::syn | Packet::ack) && parsed->mss == 1460; // ours
        });
    }

    tcp_pcb* listener = nullptr;
    std::vector<tcp_pcb*> accepted; // on the queue
    HeapFiller filler;              // on the queue
    std::size_t start = 0;
};

// Queued output and the rest of the load leave no byte of the heap: the peers' ACKs still
// get in (device input does not come from the heap), free the acknowledged segments, and
// the stack sends everything it had queued.
TEST_F(StackMemoryTest, AcksGetInWhileQueuedOutputFillsTheHeap) {
    std::vector<std::unique_ptr<TcpPeer>> peers;
    for (std::uint16_t i = 0; i < 4; ++i) {
        peers.push_back(peer(41000 + i));
        peers.back()->autoAck = false;
        ASSERT_TRUE(peers.back()->connect());
    }
    std::vector<std::size_t> queued;
    onStack([&] {
        ASSERT_EQ(accepted.size(), peers.size());
        Data bytes(1000, 'q');
        for (tcp_pcb* pcb : accepted) {
            std::size_t total = 0;
            while (tcp_write(pcb, bytes.data(), 1000, TCP_WRITE_FLAG_COPY) == ERR_OK)
                total += 1000;
            queued.push_back(total);
            tcp_output(pcb);
        }
        filler.fillAll();
        EXPECT_EQ(mem_malloc(1), nullptr);
    });
    for (auto& p : peers)
        p->waitUntil([&] { return !p->received.empty(); });
    auto full = onStack([] { return LWIPStack::heapUsed(); });
    for (auto& p : peers)
        p->autoAck = true, p->ack();
    for (std::size_t i = 0; i < peers.size(); ++i) {
        EXPECT_TRUE(peers[i]->waitUntil([&] { return peers[i]->received.size() == queued[i]; }))
            << "peer " << i << " got " << peers[i]->received.size() << " of " << queued[i];
    }
    onStack([&] {
        EXPECT_LT(LWIPStack::heapUsed(), full);
        for (tcp_pcb* pcb : accepted)
            EXPECT_EQ(tcp_sndbuf(pcb), TCP_SND_BUF) << "acknowledged output still held";
    });
}

// A burst of SYNs with the heap near its high-water mark: a few are taken, the rest are
// answered with SYN cookies, which cost no memory; once the load is gone the next connection
// is served at once.
TEST_F(StackMemoryTest, SynBurstBeyondMemoryIsAnsweredWithoutStateAndTheNextConnectionServed) {
    onStack([&] { filler.fillTo(lwipmem_syn_high_water - 2048); });
    PacketFlow::Packets burst;
    for (std::uint16_t i = 0; i < 40; ++i) {
        auto syn = Packet::tcpSegment(client4, 42000 + i, server4, 443, Packet::syn);
        syn.mss = 1200; // below the cookies' 1,220: they keep 536 for our sending
        burst.push_back(syn.build());
    }
    flow->deliver(std::move(burst));
    settle();
    EXPECT_EQ(synAcksIn(flow->takeWritten()), 40u);
    onStack([&] {
        EXPECT_GT(lwipmem_half_open(), 0u);
        EXPECT_GT(lwipmem_syn_cookies(), 0u);
        EXPECT_EQ(lwipmem_half_open() + lwipmem_syn_cookies(), 40u);
        EXPECT_LT(LWIPStack::heapUsed(), lwipmem_syn_high_water + 2048) << "cookies came too late";
        filler.release();
    });
    auto next = peer(43000);
    EXPECT_TRUE(next->connect());
    EXPECT_TRUE(next->waitUntil([&] { return onStack([&] { return accepted.size(); }) == 1u; }));
}

// With not a byte of heap left a timeout cannot be had: it is dropped instead of ending
// the process, and the stack's own timers, which have their own elements, keep running.
TEST_F(StackMemoryTest, TimerAllocationFailureDoesNotAbort) {
    static std::atomic<int> fired{0};
    auto handler = [](void*) { ++fired; };
    onStack([&] {
        filler.fillAll();
        sys_timeout(10, handler, nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(600)); // every stack timer has run
    onStack([&] {
        EXPECT_NE(sys_timeouts_sleeptime(), SYS_TIMEOUTS_SLEEPTIME_INFINITE) << "the stack's timers stopped";
        filler.release();
        sys_timeout(10, handler, nullptr);
    });
    EXPECT_TRUE(test::waitFor([&] { return fired.load() == 1; }));
    EXPECT_EQ(fired.load(), 1);
    auto next = peer(46000);
    EXPECT_TRUE(next->connect());
}

// Next headers the stack has no handler for would be answered with a parameter problem
// from the interface's IPv6 address; it has none, so the packet is dropped quietly.
TEST_F(StackMemoryTest, Ipv6PacketWithAnUnknownNextHeaderIsDropped) {
    for (std::uint8_t next : {253, 254, 59}) {
        Packet packet;
        packet.version = 6;
        packet.source = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234";
        packet.destination = "2001:db8::5";
        packet.protocol = static_cast<Packet::Protocol>(next);
        packet.payload = toData("unknown");
        send(packet);
        settle();
        EXPECT_TRUE(flow->takeWritten().empty()) << int(next);
        onStack([&] { EXPECT_EQ(LWIPStack::heapUsed(), start) << int(next); });
    }
}

struct ReserveCase {
    const char* name;
    std::size_t over; // bytes the packet needs beyond what the reserve has left
};
void PrintTo(const ReserveCase& c, std::ostream* os) {
    *os << c.name;
}

class InputReserveTest : public StackMemoryTest, public ::testing::WithParamInterface<ReserveCase> {};

// Out-of-order segments of many connections fill the input reserve. A packet that fits in
// what is left is taken beside them; one a byte too long for it would be dropped, and is
// taken once they have been freed, every one of them.
TEST_P(InputReserveTest, PacketBeyondTheReserveIsTakenOnceOutOfOrderSegmentsAreFreed) {
    constexpr std::size_t perConnection = 8, payload = 1000; // within the stack's limits
    auto beyondAGap = [](const TcpPeer& p, std::size_t k) {
        auto segment = p.segment(Packet::ack);
        segment.seq = p.nextSeq + 1 + static_cast<std::uint32_t>(k * payload);
        segment.payload = Data(payload, 'o');
        return segment.build();
    };
    auto probe = peer(44000);
    ASSERT_TRUE(probe->connect());
    std::vector<std::unique_ptr<TcpPeer>> peers;
    peers.push_back(peer(44001));
    ASSERT_TRUE(peers[0]->connect());
    // What one held segment takes of the reserve; then as many as leave 2000 to 3000 bytes.
    flow->deliver({beyondAGap(*peers[0], 0)});
    settle();
    const std::size_t packet = beyondAGap(*peers[0], 0).size();
    const std::size_t held = onStack([] { return netunif_input_held(); });
    const std::size_t overhead = held - packet;
    const std::size_t segments = 1 + (netunif_input_reserve - held - 2000) / (overhead + packet);
    PacketFlow::Packets flood;
    for (std::size_t i = 1; i * perConnection < segments; ++i) {
        peers.push_back(peer(static_cast<std::uint16_t>(44001 + i)));
        peers.back()->syn();
    }
    ASSERT_TRUE(probe->waitUntil(
        [&] { return std::all_of(peers.begin(), peers.end(), [](auto& p) { return p->synAckReceived; }); }));
    for (std::size_t i = 1; i < peers.size(); ++i)
        peers[i]->ack();
    for (std::size_t k = 1; k < segments; ++k)
        flood.push_back(beyondAGap(*peers[k / perConnection], k % perConnection));
    flow->deliver(std::move(flood));
    settle();
    flow->takeWritten();
    const std::size_t full = onStack([] { return netunif_input_held(); });
    ASSERT_EQ(full, segments * (overhead + packet)) << "not every segment was held";
    const std::size_t room = netunif_input_reserve - full;

    std::size_t length = room - overhead + GetParam().over; // the probe's whole packet
    probe->send(Data(length - 40, 'p'));
    EXPECT_TRUE(probe->waitUntil([&] { return probe->stackAcked == probe->nextSeq; })) << "probe not taken";
    EXPECT_EQ(onStack([] { return netunif_input_held(); }), GetParam().over ? 0 : full);
}

INSTANTIATE_TEST_SUITE_P(Limits, InputReserveTest,
                         ::testing::Values(ReserveCase{"fitsWhatIsLeft", 0}, ReserveCase{"oneByteOver", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
