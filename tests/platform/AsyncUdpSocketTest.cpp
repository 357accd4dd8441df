#include <map>
#include <mutex>

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
