#include <mutex>

#include <gtest/gtest.h>

#include "platform/AsyncSocketError.h"
#include "platform/AsyncUdpSocket.h"
#include "platform/DispatchQueue.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using Bytes = AsyncUdpSocket::Bytes;

namespace {

class UdpRecorder : public AsyncUdpSocketDelegate {
public:
    std::mutex mutex;
    std::vector<std::string> events;
    Bytes lastAddress;
    void add(std::string e) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(e));
    }
    void udpSocketDidReceive(Bytes data, Bytes address) override {
        {
            std::lock_guard lock(mutex);
            lastAddress = address;
        }
        add("receive " + std::string(data.begin(), data.end()));
    }
    void udpSocketDidSend(long tag) override { add("sent " + std::to_string(tag)); }
    void udpSocketDidNotSend(long tag, ErrorPtr error) override {
        add("not sent " + std::to_string(tag) + " " + error->description());
    }
    void udpSocketDidClose(ErrorPtr error) override { add("close " + (error ? error->description() : "-")); }
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
    auto aEvents = std::make_shared<UdpRecorder>(), bEvents = std::make_shared<UdpRecorder>();
    a->setDelegate(aEvents);
    b->setDelegate(bEvents);
    a->bind("127.0.0.1", 0);
    b->bind("127.0.0.1", 0);
    a->beginReceiving();
    b->beginReceiving();
    a->sendData({'p', 'i', 'n', 'g'}, "127.0.0.1", *b->localPort(), 7);
    ASSERT_TRUE(test::waitFor([&] { return bEvents->has("receive ping") && aEvents->has("sent 7"); }));
    auto from = AsyncUdpSocket::hostAndPort(bEvents->lastAddress);
    ASSERT_TRUE(from);
    EXPECT_EQ(from->first, "127.0.0.1");
    EXPECT_EQ(from->second, *a->localPort());
    // Answer to the address exactly as received.
    b->sendData({'p', 'o', 'n', 'g'}, bEvents->lastAddress, 8);
    ASSERT_TRUE(test::waitFor([&] { return aEvents->has("receive pong"); }));
    a->close();
    a->close();
    ASSERT_TRUE(test::waitFor([&] { return aEvents->has("close -"); }));
    queue->sync([] {});
    auto events = aEvents->snapshot();
    EXPECT_EQ(std::count(events.begin(), events.end(), "close -"), 1);
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
