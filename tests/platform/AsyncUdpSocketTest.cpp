#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/AsyncSocketError.h"
#include "platform/AsyncUdpSocket.h"
#include "platform/DispatchQueue.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using Bytes = AsyncUdpSocket::Bytes;

namespace {

// One delegate for any number of sockets; each event begins with its socket's name.
class UdpRecorder : public AsyncUdpSocketDelegate {
public:
    std::mutex mutex;
    std::vector<std::string> events;
    std::map<const AsyncUdpSocket*, std::string> names;
    Bytes lastAddress;
    std::function<void(AsyncUdpSocket&)> onReceive; // on the socket's queue
    void add(const AsyncUdpSocket& s, const std::string& e) {
        std::lock_guard lock(mutex);
        events.push_back(names[&s] + e);
    }
    void udpSocketDidReceive(AsyncUdpSocket& s, Bytes data, Bytes address) override {
        {
            std::lock_guard lock(mutex);
            lastAddress = address;
        }
        add(s, "receive " + std::string(data.begin(), data.end()));
        if (onReceive)
            onReceive(s);
    }
    void udpSocketDidSend(AsyncUdpSocket& s, long tag) override { add(s, "sent " + std::to_string(tag)); }
    void udpSocketDidNotSend(AsyncUdpSocket& s, long tag, ErrorPtr error) override {
        add(s, "not sent " + std::to_string(tag) + " " + error->description());
    }
    void udpSocketDidClose(AsyncUdpSocket& s, ErrorPtr error) override {
        add(s, "close " + (error ? error->description() : "-"));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
    bool has(const std::string& e) {
        auto s = snapshot();
        return std::find(s.begin(), s.end(), e) != s.end();
    }
};

} // namespace

TEST(AsyncUdpSocket, DatagramsCarryTheSendersAddressBothWays) {
    auto queue = DispatchQueue::make("udp-test");
    auto a = AsyncUdpSocket::make(queue), b = AsyncUdpSocket::make(queue);
    auto events = std::make_shared<UdpRecorder>();
    events->names = {{a.get(), "a "}, {b.get(), "b "}};
    a->setDelegate(events);
    b->setDelegate(events);
    a->bind("127.0.0.1", 0);
    b->bind("127.0.0.1", 0);
    a->beginReceiving();
    b->beginReceiving();
    a->sendData({'p', 'i', 'n', 'g'}, "127.0.0.1", *b->localPort(), 7);
    ASSERT_TRUE(test::waitFor([&] { return events->has("b receive ping") && events->has("a sent 7"); }));
    auto from = AsyncUdpSocket::hostAndPort(events->lastAddress);
    ASSERT_TRUE(from);
    EXPECT_EQ(from->first, "127.0.0.1");
    EXPECT_EQ(from->second, *a->localPort());
    // Answer to the address exactly as received.
    b->sendData({'p', 'o', 'n', 'g'}, events->lastAddress, 8);
    ASSERT_TRUE(test::waitFor([&] { return events->has("a receive pong"); }));
    a->close();
    a->close();
    ASSERT_TRUE(test::waitFor([&] { return events->has("a close -"); }));
    queue->sync([] {});
    auto seen = events->snapshot();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "a close -"), 1);
    b->close();
}

TEST(AsyncUdpSocket, BadInputFailsThroughTheDelegateOrThrows) {
    auto queue = DispatchQueue::make("udp-test");
    auto s = AsyncUdpSocket::make(queue);
    auto events = std::make_shared<UdpRecorder>();
    s->setDelegate(events);
    EXPECT_THROW(s->beginReceiving(), AsyncSocketError); // not bound
    s->sendData({'x'}, "not an address", 1, 1);
    s->sendData({'x'}, Bytes{1, 2, 3}, 2);
    ASSERT_TRUE(test::waitFor([&] { return events->snapshot().size() == 2; }));
    EXPECT_EQ(events->snapshot()[0], "not sent 1 Invalid host parameter: not an address");
    EXPECT_EQ(events->snapshot()[1], "not sent 2 Invalid address parameter");
    EXPECT_TRUE(AsyncUdpSocket::socketAddress("nope", 1).empty());
    auto v6 = AsyncUdpSocket::hostAndPort(AsyncUdpSocket::socketAddress("::1", 53));
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->first, "::1");
    EXPECT_EQ(v6->second, 53);
}

namespace {

// Sends each text to the port on 127.0.0.1 from a plain socket of its own.
void sendFromOutside(int port, const std::vector<std::string>& texts) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto to = AsyncUdpSocket::socketAddress("127.0.0.1", static_cast<std::uint16_t>(port));
    for (const auto& text : texts)
        ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(to.data()),
                 static_cast<socklen_t>(to.size()));
    ::close(fd);
}

// Holds the queue until released, so that datagrams wait in the sockets meanwhile.
struct HeldQueue {
    explicit HeldQueue(DispatchQueue& queue) {
        queue.async([future = released.get_future().share()] { future.wait(); });
    }
    void release() { released.set_value(); }
    std::promise<void> released;
};

} // namespace

// What waited in two sockets of one queue arrives whole, each at its own socket and in order,
// also past the share one turn of the queue takes.
TEST(AsyncUdpSocket, WaitingDatagramsOfSocketsOnOneQueueArriveInOrderAtTheirOwn) {
    auto queue = DispatchQueue::make("udp-test");
    auto b = AsyncUdpSocket::make(queue), c = AsyncUdpSocket::make(queue);
    auto events = std::make_shared<UdpRecorder>();
    events->names = {{b.get(), "b "}, {c.get(), "c "}};
    std::vector<std::string> want, toB, toC;
    for (auto [socket, name, count] : {std::tuple{b, "b", 100}, std::tuple{c, "c", 3}}) {
        socket->setDelegate(events);
        socket->bind("127.0.0.1", 0);
        socket->beginReceiving();
        for (int i = 0; i < count; ++i)
            (*name == 'b' ? toB : toC)
                .push_back(std::string(name) + std::to_string(i) + std::string(i % 7 * 100, '.'));
    }
    int portB = *b->localPort(), portC = *c->localPort(); // asked on the queue: before it is held
    HeldQueue held(*queue);
    sendFromOutside(portB, toB);
    sendFromOutside(portC, toC);
    held.release();
    ASSERT_TRUE(test::waitFor([&] { return events->snapshot().size() == toB.size() + toC.size(); }))
        << events->snapshot().size();
    std::vector<std::string> atB, atC;
    for (const auto& event : events->snapshot())
        (event[0] == 'b' ? atB : atC).push_back(event.substr(std::string("b receive ").size()));
    EXPECT_EQ(atB, toB);
    EXPECT_EQ(atC, toC);
    b->close();
    c->close();
}

// A socket closed by its own delegate while datagrams still wait hands over none of them, in
// this turn of the queue or a later one.
TEST(AsyncUdpSocket, ClosingInsideAReceiveEndsTheDelivery) {
    for (int closeAt : {1, 3, 64, 65}) {
        auto queue = DispatchQueue::make("udp-test");
        auto b = AsyncUdpSocket::make(queue);
        auto events = std::make_shared<UdpRecorder>();
        int received = 0;
        events->onReceive = [&](AsyncUdpSocket& socket) {
            if (++received == closeAt)
                socket.close();
        };
        b->setDelegate(events);
        b->bind("127.0.0.1", 0);
        b->beginReceiving();
        int port = *b->localPort();
        HeldQueue held(*queue);
        sendFromOutside(port, std::vector<std::string>(80, "x"));
        held.release();
        ASSERT_TRUE(test::waitFor([&] { return events->has("close -"); })) << closeAt;
        queue->sync([] {});
        queue->sync([] {});
        EXPECT_EQ(queue->onQueue([&] { return received; }), closeAt);
        EXPECT_EQ(events->snapshot().size(), static_cast<std::size_t>(closeAt) + 1) << closeAt;
    }
}
