#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PacketTunnel/TunnelInterface.h"
#include "platform/DispatchQueue.h"
#include "tests/support/PacketBuilder.h"
#include "tests/support/tunnel/MemoryPacketFlow.h"

namespace pemtrox::test {

class StackHarness;

/// A global address of this machine (the stack takes no loopback destinations), so that a
/// relayed connection stays on this machine; empty when there is none of the family.
std::string localAddress(int family);

/// The app's end of one TCP connection through the stack, driven by crafted segments:
/// it keeps the sequence numbers, collects what the stack sends and acknowledges it
/// (unless told not to).
class TcpPeer {
public:
    TcpPeer(StackHarness& stack, std::string client, std::uint16_t clientPort, std::string server,
            std::uint16_t serverPort);

    /// SYN, the stack's SYN-ACK, ACK. False when no SYN-ACK came.
    bool connect();
    /// Only the SYN: for many connections opened at once (ack() completes each).
    void syn();
    void send(const Data& payload, std::uint8_t extraFlags = 0);
    void send(const std::string& text) { send(toData(text)); }
    void fin();
    void rst();
    /// Acknowledges everything received so far.
    void ack();
    /// Takes the packets the stack sent to this peer, acknowledging new data if autoAck.
    void take(const Packet& packet);
    /// A segment with the peer's numbers now (not sent).
    Packet segment(std::uint8_t flags) const;
    /// Waits (pumping the stack's output) until the condition holds.
    bool waitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));

    std::string received; // payload bytes in order
    bool finReceived = false, rstReceived = false, synAckReceived = false;
    std::uint16_t stackWindow = 0; // the last window the stack advertised
    std::uint32_t stackAcked = 0;  // the last acknowledgement number from the stack
    std::uint32_t nextSeq = 1000;  // our next sequence number
    bool autoAck = true;
    bool takesNothing = false;    // drops all the stack sends unseen, a reset in its window aside
    std::uint16_t window = 65535; // what we advertise, less what the app leaves unread
    /// The app reads nothing past this many received bytes: the window closes there, and
    /// bytes beyond it (a window probe) are dropped and answered with the closed window.
    std::size_t unreadLimit = SIZE_MAX;

    const std::string client, server;
    const std::uint16_t clientPort, serverPort;

private:
    std::uint16_t advertised() const;
    StackHarness& stack_;
    std::uint32_t stackNext_ = 0;          // next sequence number expected from the stack
    mutable std::uint32_t windowEdge_ = 0; // the right edge we last advertised
};

/// The stack as the tunnel runs it, on an in-memory flow, with its 250 ms timer. The stack
/// initialises once per process: a second harness in the same process skips its test. At
/// the end no socket, copier or exchange may be left alive.
class StackHarness : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

public:
    /// Hands the packet to the stack (through the flow and the read loop).
    void send(const Packet& packet);
    /// Hands what `sends` sends to the stack as one batch, read in one go as the device
    /// gives several packets at once: each is processed before the queue's next turn.
    void sendTogether(const std::function<void()>& sends);
    /// Waits until every batch has gone through the stack.
    void settle();
    /// Reads the stack's output and hands each packet to the peer it is addressed to.
    void pump();
    /// Runs on the stack's queue, waits for it and hands back what the work returns.
    template <class F> auto onStack(F&& work) { return queue->onQueue(std::forward<F>(work)); }

    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("Proxying");
    std::shared_ptr<MemoryPacketFlow> flow = MemoryPacketFlow::make();
    std::shared_ptr<TunnelInterface> iface;
    std::shared_ptr<RepeatingTimer> timer;
    std::vector<TcpPeer*> peers;

private:
    std::optional<PacketFlow::Packets> together_;
};

} // namespace pemtrox::test
