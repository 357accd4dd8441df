#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/TCPSocket.h"
#include "PacketTunnel/lwipglue/lwipmem.h"
#include "PacketTunnel/lwipglue/pcbindex.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"
#include "tests/support/PacketBuilder.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/HeapFiller.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using pemtrox::test::Packet;
using pemtrox::test::TcpPeer;

namespace {

const std::string client4 = "198.18.72.254", server4 = "203.0.113.5";
const std::string greeting = "served";

// How many connections the stack holds at once, and how the output budget is shared: a
// catch-all listener whose connections are greeted at once (as pcbs) or become TCPSockets.
class StackCapacityTest : public test::StackHarness {
protected:
    void SetUp() override {
        StackHarness::SetUp();
        if (IsSkipped())
            return;
        onStack([&] {
            listener = tcp_listen_with_backlog(tcp_new_ip_type(IPADDR_TYPE_ANY), 255);
            tcp_arg(listener, this);
            tcp_accept(listener, [](void* arg, tcp_pcb* pcb, err_t) -> err_t {
                auto& test = *static_cast<StackCapacityTest*>(arg);
                tcp_nagle_disable(pcb);
                if (test.asSockets) {
                    test.sockets.push_back(TCPSocket::make(pcb, test.queue));
                    return ERR_OK;
                }
                test.accepted.push_back(pcb);
                tcp_write(pcb, greeting.data(), static_cast<u16_t>(greeting.size()), TCP_WRITE_FLAG_COPY);
                return ERR_OK;
            });
            start = LWIPStack::heapUsed();
        });
    }
    void TearDown() override {
        if (!IsSkipped())
            onStack([&] {
                lwipmem_set_connection_limit(lwipmem_default_connection_limit);
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
                tcp_close(listener);
            });
        StackHarness::TearDown();
    }
    /// Opens `count` connections, SYNs in rounds within the listener's backlog; the peers
    /// that got a SYN-ACK complete their handshake.
    std::vector<std::unique_ptr<TcpPeer>> open(std::size_t count, std::uint16_t firstPort) {
        std::vector<std::unique_ptr<TcpPeer>> opened;
        for (std::size_t at = 0; at < count; at += 200) {
            std::size_t from = opened.size();
            for (std::size_t i = at; i < std::min(count, at + 200); ++i) {
                opened.push_back(std::make_unique<TcpPeer>(
                    *this, client4, static_cast<std::uint16_t>(firstPort + i), server4, 443));
                opened.back()->syn();
            }
            bool answered = opened.back()->waitUntil([&] {
                return std::all_of(opened.begin() + from, opened.end(),
                                   [](auto& p) { return p->synAckReceived || p->rstReceived; });
            });
            if (!answered) {
                ADD_FAILURE() << "SYNs from " << from << " on were not answered";
                return opened;
            }
            for (auto i = from; i < opened.size(); ++i)
                if (opened[i]->synAckReceived)
                    opened[i]->ack();
        }
        settle();
        return opened;
    }
    /// Has socket `index` queue `size` bytes of output. On the queue.
    void write(std::size_t index, std::size_t size) {
        sockets[index]->outputStream()->write(Data(size, static_cast<std::uint8_t>('a' + index)), false,
                                              [](OutputStreamWriteHandlerResult) {});
    }
    /// The peer's connection in the stack. On the queue.
    static tcp_pcb* pcbOf(const TcpPeer& peer) {
        for (tcp_pcb* pcb = tcp_active_pcbs; pcb; pcb = pcb->next)
            if (pcb->remote_port == peer.clientPort)
                return pcb;
        return nullptr;
    }
    std::size_t acceptedCount() {
        return onStack([&] { return asSockets ? sockets.size() : accepted.size(); });
    }

    tcp_pcb* listener = nullptr;
    bool asSockets = false;
    std::vector<tcp_pcb*> accepted;                  // on the queue
    std::vector<std::shared_ptr<TCPSocket>> sockets; // on the queue
    test::HeapFiller filler;                         // on the queue
    std::size_t start = 0;
};

// Connection records no longer come from the heap: more connections than it could hold
// beside their queued output (8,000 records would not fit it) are accepted at once and each is served.
TEST_F(StackCapacityTest, MoreConnectionsThanTheHeapHeldAreAcceptedAndServed) {
    const std::size_t count = 8000;
    auto peers = open(count, 10000);
    EXPECT_EQ(acceptedCount(), count);
    ASSERT_TRUE(peers.back()->waitUntil(
        [&] {
            return std::all_of(peers.begin(), peers.end(), [](auto& p) { return p->received == greeting; });
        },
        std::chrono::seconds(60)));
    EXPECT_EQ(std::count_if(peers.begin(), peers.end(), [](auto& p) { return p->rstReceived; }), 0);
    onStack([&] {
        EXPECT_EQ(lwipmem_connections(), count);
        EXPECT_LT(LWIPStack::heapUsed() - start, count * 64) << "connection records still in the heap";
    });
}

// At the limit a SYN is reset at once and counted, with one warning for the burst; a
// TIME_WAIT connection is taken back before a SYN is refused; once a connection has gone
// the next one is accepted.
TEST_F(StackCapacityTest, BeyondTheLimitASynIsResetAtOnce) {
    auto log = test::CapturingLogger::install();
    onStack([] { lwipmem_set_connection_limit(3); });
    auto peers = open(3, 20000); // the largest number accepted
    EXPECT_EQ(acceptedCount(), 3u);
    auto beyond = open(2, 20100);
    for (auto& p : beyond) {
        EXPECT_TRUE(p->rstReceived);
        EXPECT_FALSE(p->synAckReceived);
    }
    EXPECT_EQ(acceptedCount(), 3u);
    onStack([] { EXPECT_EQ(lwipmem_refused(), 2u); });
    EXPECT_EQ(log->count("Connection limit of 3 reached"), 1);

    onStack([&] { tcp_close(accepted[0]); }); // our side ends first: TIME_WAIT is ours
    ASSERT_TRUE(peers[0]->waitUntil([&] { return peers[0]->finReceived; }));
    peers[0]->fin();
    settle();
    onStack([&] { ASSERT_NE(tcp_tw_pcbs, nullptr); });
    auto next = open(1, 20200);
    EXPECT_TRUE(next[0]->synAckReceived) << "TIME_WAIT was not taken back";
    onStack([&] {
        EXPECT_EQ(tcp_tw_pcbs, nullptr);
        EXPECT_EQ(lwipmem_refused(), 2u);
    });
    EXPECT_EQ(acceptedCount(), 4u);
    EXPECT_EQ(log->count("accepted again after 2 were reset"), 1);
}

// At the limit each SYN takes back the TIME_WAIT connection that entered it first, whatever
// the order the connections were opened in; the count stays at the limit, the index with it.
TEST_F(StackCapacityTest, TimeWaitConnectionsAreTakenBackOldestFirst) {
    onStack([] { lwipmem_set_connection_limit(4); });
    auto peers = open(4, 21000);
    ASSERT_EQ(acceptedCount(), 4u);
    for (std::size_t i : {2, 0, 1}) { // our side ends first: into TIME_WAIT in this order
        onStack([&] { tcp_close(accepted[i]); });
        ASSERT_TRUE(peers[i]->waitUntil([&] { return peers[i]->finReceived; }));
        peers[i]->fin();
        settle();
    }
    auto inTimeWait = [&] {
        return onStack([] {
            std::vector<std::uint16_t> ports;
            for (tcp_pcb* pcb = tcp_tw_pcbs; pcb; pcb = pcb->next)
                ports.push_back(pcb->remote_port);
            std::sort(ports.begin(), ports.end());
            EXPECT_EQ(lwipmem_connections(), 4u);
            EXPECT_EQ(tcp_pcb_index_size(), 4u);
            return ports;
        });
    };
    ASSERT_EQ(inTimeWait(), (std::vector<std::uint16_t>{21000, 21001, 21002}));
    auto next = open(1, 21100);
    EXPECT_EQ(inTimeWait(), (std::vector<std::uint16_t>{21000, 21001}));
    next = open(1, 21101);
    EXPECT_EQ(inTimeWait(), (std::vector<std::uint16_t>{21001}));
    EXPECT_EQ(acceptedCount(), 6u);
    onStack([] { EXPECT_EQ(lwipmem_refused(), 0u); });
}

// Memory freed by acknowledgements goes to the connections that wait for it in the order
// they began to wait: one whose own acknowledgement freed it queues behind them.
TEST_F(StackCapacityTest, WaitingConnectionsResumeInTheOrderTheyBeganToWait) {
    asSockets = true;
    auto peers = open(3, 30000); // a, b, c
    ASSERT_EQ(acceptedCount(), 3u);
    auto& a = *peers[0];
    a.autoAck = false;
    // a fills its send buffer (its window open wide from the start) and keeps as much again
    // queued for its own acknowledgements.
    onStack([&] {
        pcbOf(a)->cwnd = 0xffff;
        write(0, 2 * TCP_SND_BUF);
    });
    ASSERT_TRUE(a.waitUntil([&] { return a.received.size() == TCP_SND_BUF; }));
    onStack([&] {
        filler.fillTo(lwipmem_output_budget + 256);
        ASSERT_TRUE(lwipmem_output_short());
        write(1, 3000);
        write(2, 3000);
        EXPECT_EQ(lwipmem_waiting(), 2u);
    });
    a.ack(); // frees a's send buffer: the memory is b's and c's before it is a's again
    settle();
    std::vector<std::uint16_t> order;
    for (auto& [bytes, family] : flow->takeWritten()) {
        auto packet = Packet::parse(bytes);
        ASSERT_TRUE(packet);
        if (!packet->payload.empty() &&
            std::find(order.begin(), order.end(), packet->destinationPort) == order.end())
            order.push_back(packet->destinationPort);
        for (auto& p : peers)
            if (p->clientPort == packet->destinationPort)
                p->take(*packet);
    }
    EXPECT_EQ(order, (std::vector<std::uint16_t>{30001, 30002, 30000}));
    onStack([&] { filler.release(); });
    a.autoAck = true;
    a.ack();
    EXPECT_TRUE(a.waitUntil([&] {
        return a.received.size() == 2 * TCP_SND_BUF && peers[1]->received.size() == 3000 &&
               peers[2]->received.size() == 3000;
    }));
    onStack([] { EXPECT_EQ(lwipmem_waiting(), 0u); });
}

// How a connection holding queued output ends.
enum class End { peerCloses, peerResets, stackAborts, socketAborts };
struct EndCase {
    const char* name;
    End end;
};
void PrintTo(const EndCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputWakeTest : public StackCapacityTest, public ::testing::WithParamInterface<EndCase> {};

// A connection's queued output keeps the heap over the output budget and another connection
// waits; the first ends and the waiting one goes on within less than a tick of the stack's
// timer, which is stopped so that it cannot be what wakes it: the batch that ended the
// connection wakes it, or the wake-up posted when the stack or the socket ended it. Twice,
// for the wake-up is posted again after its first time.
TEST_P(OutputWakeTest, WaitingConnectionGoesOnAtOnceWhenAnotherEnds) {
    asSockets = true;
    auto peers = open(4, 31000); // per round: one that ends, one that waits
    ASSERT_EQ(acceptedCount(), 4u);
    for (std::size_t ends : {0, 2}) {
        peers[ends]->autoAck = false;
        onStack([&] {
            pcbOf(*peers[ends])->cwnd = 0xffff;
            write(ends, TCP_SND_BUF);
        });
        ASSERT_TRUE(peers[ends]->waitUntil([&] { return peers[ends]->received.size() == TCP_SND_BUF; }));
    }
    onStack([&] { timer->cancel(); });
    for (std::size_t ends : {0, 2}) {
        auto& ending = *peers[ends];
        auto& waiting = *peers[ends + 1];
        SCOPED_TRACE("connection " + std::to_string(ends) + " ends");
        onStack([&] {
            filler.fillTo(lwipmem_output_budget + 256);
            ASSERT_TRUE(lwipmem_output_short());
            write(ends + 1, 3000);
            EXPECT_EQ(lwipmem_waiting(), 1u);
        });
        switch (GetParam().end) {
        case End::peerCloses: // its FIN acknowledges everything
            ending.fin();
            break;
        case End::peerResets:
            ending.rst();
            break;
        case End::stackAborts: // as the stack's timers and memory rules end a connection
            onStack([&] { tcp_abort(pcbOf(ending)); });
            break;
        case End::socketAborts:
            onStack([&] { sockets[ends]->close(makeError<GenericError>("app gone")); });
            break;
        }
        EXPECT_TRUE(waiting.waitUntil([&] { return waiting.received.size() == 3000; },
                                      std::chrono::milliseconds(200)))
            << "the waiting connection got " << waiting.received.size() << " bytes";
        onStack([] { EXPECT_EQ(lwipmem_waiting(), 0u); });
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, OutputWakeTest,
                         ::testing::Values(EndCase{"peerCloses", End::peerCloses},
                                           EndCase{"peerResets", End::peerResets},
                                           EndCase{"stackAborts", End::stackAborts},
                                           EndCase{"socketAborts", End::socketAborts}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

namespace {

// Each relayed connection needs a descriptor for its server, beside the UDP relay's share and
// a reserve: the limit follows the descriptors between its floor and its cap.
TEST(StackConnectionLimit, FollowsTheDescriptorLimit) {
    struct Row {
        std::uint64_t descriptors;
        std::size_t connections;
    } rows[] = {{1024, 256},    {6144, 3584},     {20000, 14880}, {37888, 32768},
                {37889, 32768}, {1048576, 32768}, {0, 1}};
    for (auto row : rows)
        EXPECT_EQ(LWIPStack::connectionLimitFor(row.descriptors), row.connections) << row.descriptors;
}

} // namespace

// Input finds a connection by its addresses and ports alone: connections that differ in any
// one of them, or only in the family of the same address bits, or only in an IPv6 zone, are
// told apart; a connection that replaced another of the same key is not removed with it.
TEST(ConnectionIndex, ConnectionsDifferingInOneFieldAreToldApart) {
    auto v4 = [](const char* text) {
        ip_addr_t address;
        EXPECT_TRUE(ipaddr_aton(text, &address));
        return address;
    };
    auto zoned = [&](const char* text, u8_t zone) {
        ip_addr_t address = v4(text);
        ip6_addr_set_zone(ip_2_ip6(&address), zone);
        return address;
    };
    struct Case {
        const char* what;
        ip_addr_t local, remote;
        u16_t localPort, remotePort;
    };
    const Case cases[] = {
        {"base", v4("10.0.0.1"), v4("10.0.0.2"), 443, 5000},
        {"other remote port", v4("10.0.0.1"), v4("10.0.0.2"), 443, 5001},
        {"ports swapped", v4("10.0.0.1"), v4("10.0.0.2"), 5000, 443},
        {"addresses swapped", v4("10.0.0.2"), v4("10.0.0.1"), 443, 5000},
        {"same bytes as IPv6", v4("a00:1::"), v4("a00:2::"), 443, 5000},
        {"IPv6 zone 1", zoned("fe80::1", 1), zoned("fe80::2", 1), 443, 5000},
        {"IPv6 zone 2", zoned("fe80::1", 2), zoned("fe80::2", 2), 443, 5000},
    };
    std::vector<tcp_pcb> pcbs(std::size(cases));
    for (std::size_t i = 0; i < pcbs.size(); ++i) {
        ip_addr_copy(pcbs[i].local_ip, cases[i].local);
        ip_addr_copy(pcbs[i].remote_ip, cases[i].remote);
        pcbs[i].local_port = cases[i].localPort;
        pcbs[i].remote_port = cases[i].remotePort;
        tcp_pcb_index_add(&pcbs[i]);
    }
    EXPECT_EQ(tcp_pcb_index_size(), pcbs.size());
    for (std::size_t i = 0; i < pcbs.size(); ++i)
        EXPECT_EQ(
            tcp_pcb_index_find(&cases[i].local, cases[i].localPort, &cases[i].remote, cases[i].remotePort),
            &pcbs[i])
            << cases[i].what;

    tcp_pcb replacement = pcbs[0];
    tcp_pcb_index_add(&replacement);
    tcp_pcb_index_remove(&pcbs[0]);
    EXPECT_EQ(tcp_pcb_index_find(&cases[0].local, cases[0].localPort, &cases[0].remote, cases[0].remotePort),
              &replacement);
    tcp_pcb_index_remove(&replacement);
    for (auto& pcb : pcbs)
        tcp_pcb_index_remove(&pcb);
    EXPECT_EQ(tcp_pcb_index_size(), 0u);
}
