#include "tests/support/tunnel/StackHarness.h"

#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/lwipglue/pcbindex.h"
#include "lwip/priv/tcp_priv.h"
#include "proxy/io/Plumber.h"
#include "tests/support/TestSupport.h"

namespace pemtrox::test {

std::string localAddress(int family) {
    auto text = runCommand(std::string("ip -o -") + (family == AF_INET ? "4" : "6") +
                           " addr show scope global | awk 'NR==1 {sub(\"/.*\", \"\", $4); print $4}'");
    return text.substr(0, text.find('\n'));
}

void StackHarness::SetUp() {
    if (LWIPStack::isInitialised())
        GTEST_SKIP() << "the stack initialises once per process: run each test alone (ctest does)";
    LWIPStack::initialise();
    iface = TunnelInterface::make(queue, flow);
    iface->add("198.18.72.254");
    iface->startReading();
    timer = LWIPStack::startTimer(*queue);
}

void StackHarness::TearDown() {
    // Input finds connections through the index: one left in it after its list let go of it
    // would be found again once freed.
    if (queue)
        onStack([] {
            std::size_t listed = 0;
            for (auto* list : {tcp_active_pcbs, tcp_tw_pcbs})
                for (auto* pcb = list; pcb != nullptr; pcb = pcb->next)
                    ++listed;
            EXPECT_EQ(tcp_pcb_index_size(), listed) << "the connections' index and lists differ";
        });
    peers.clear();
    if (timer)
        timer->cancel();
    if (iface)
        iface->remove();
    for (auto type : {".TCPSocket", ".ProxySocket", ".StreamCopier", ".ProxyEvent"})
        EXPECT_TRUE(waitFor([&] { return Plumber::count(std::string(plumberModuleName) + type) == 0; }))
            << type << " left alive";
}

void StackHarness::send(const Packet& packet) {
    if (together_)
        together_->push_back(packet.build());
    else
        flow->deliver({packet.build()});
}

void StackHarness::sendTogether(const std::function<void()>& sends) {
    together_.emplace();
    sends();
    auto batch = std::move(*together_);
    together_.reset();
    flow->deliver(std::move(batch));
}

void StackHarness::settle() {
    ASSERT_TRUE(waitFor([&] { return flow->isIdle(); }, std::chrono::seconds(20)));
    queue->sync([] {});
}

void StackHarness::pump() {
    settle();
    for (auto& [bytes, family] : flow->takeWritten()) {
        auto packet = Packet::parse(bytes);
        if (!packet || packet->protocol != Packet::tcp)
            continue;
        for (auto* peer : peers)
            if (peer->clientPort == packet->destinationPort && peer->serverPort == packet->sourcePort)
                peer->take(*packet);
    }
}

TcpPeer::TcpPeer(StackHarness& stack, std::string client, std::uint16_t clientPort, std::string server,
                 std::uint16_t serverPort)
    : client(std::move(client)), server(std::move(server)), clientPort(clientPort), serverPort(serverPort),
      stack_(stack) {
    stack_.peers.push_back(this);
}

std::uint16_t TcpPeer::advertised() const {
    if (received.size() >= unreadLimit)
        return 0;
    return static_cast<std::uint16_t>(std::min<std::size_t>(window, unreadLimit - received.size()));
}

Packet TcpPeer::segment(std::uint8_t flags) const {
    auto packet = Packet::tcpSegment(client, clientPort, server, serverPort, flags);
    packet.seq = nextSeq;
    packet.ackNumber = stackNext_;
    packet.window = advertised();
    windowEdge_ = stackNext_ + packet.window;
    return packet;
}

void TcpPeer::syn() {
    auto packet = segment(Packet::syn);
    packet.ackNumber = 0;
    packet.mss = 1460;
    stack_.send(packet);
    ++nextSeq;
}

bool TcpPeer::connect() {
    syn();
    if (!waitUntil([&] { return synAckReceived; }))
        return false;
    stack_.send(segment(Packet::ack));
    stack_.settle();
    return true;
}

void TcpPeer::send(const Data& payload, std::uint8_t extraFlags) {
    auto packet = segment(Packet::ack | Packet::psh | extraFlags);
    packet.payload = payload;
    stack_.send(packet);
    nextSeq += static_cast<std::uint32_t>(payload.size()) + ((extraFlags & Packet::fin) ? 1 : 0);
}

void TcpPeer::fin() {
    stack_.send(segment(Packet::ack | Packet::fin));
    ++nextSeq;
}

void TcpPeer::rst() {
    stack_.send(segment(Packet::rst | Packet::ack));
}

void TcpPeer::ack() {
    stack_.send(segment(Packet::ack));
}

void TcpPeer::take(const Packet& packet) {
    if (packet.flags & Packet::rst) {
        // A kernel drops a reset outside the window it advertised unseen.
        rstReceived = rstReceived || packet.seq - stackNext_ <= windowEdge_ - stackNext_;
        return;
    }
    if (takesNothing)
        return;
    stackWindow = packet.window;
    if (packet.flags & Packet::ack)
        stackAcked = packet.ackNumber;
    if (packet.flags & Packet::syn) {
        synAckReceived = true;
        stackNext_ = packet.seq + 1;
        return;
    }
    bool fresh = false;
    if (packet.seq == stackNext_ && !packet.payload.empty()) {
        // Only what the window we advertised takes; a probe past it is answered alone.
        auto open = static_cast<std::int32_t>(windowEdge_ - stackNext_);
        auto room = unreadLimit == SIZE_MAX ? packet.payload.size()
                                            : std::min<std::size_t>(packet.payload.size(), std::max(open, 0));
        received.append(packet.payload.begin(), packet.payload.begin() + static_cast<std::ptrdiff_t>(room));
        stackNext_ += static_cast<std::uint32_t>(room);
        fresh = true;
    }
    if ((packet.flags & Packet::fin) && !finReceived && packet.seq + packet.payload.size() == stackNext_) {
        finReceived = true;
        ++stackNext_;
        fresh = true;
    }
    if (fresh && autoAck)
        ack();
}

bool TcpPeer::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        stack_.pump();
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace pemtrox::test
