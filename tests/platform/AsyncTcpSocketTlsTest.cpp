#include <mutex>

#include <gtest/gtest.h>

#include "platform/AsyncSocketError.h"
#include "platform/AsyncTcpSocket.h"
#include "platform/DispatchQueue.h"
#include "platform/Identity.h"
#include "platform/TlsSocketLayer.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using Bytes = AsyncTcpSocket::Bytes;
using Status = AsyncTcpSocketTls::Status;

namespace {

/// A stand-in TLS layer: the client sends "HI", the server answers "OK"; then records of a
/// length byte and that many bytes XOR 0x5A; a zero length is the close alert.
class ToyTls : public AsyncTcpSocketTls {
public:
    explicit ToyTls(bool server) : server_(server) {}
    void attach(AsyncTcpSocketTlsTransport& transport) override { transport_ = &transport; }
    Status handshake(ErrorPtr& error) override {
        if (!server_ && !helloSent_) {
            transport_->send(reinterpret_cast<const std::uint8_t*>("HI"), 2);
            helloSent_ = true;
        }
        if (!fill(2))
            return ended_ ? fail(error, "peer left during the handshake") : Status::wouldBlock;
        std::string got(in_.begin(), in_.begin() + 2);
        in_.erase(in_.begin(), in_.begin() + 2);
        if (got != (server_ ? "HI" : "OK"))
            return fail(error, "bad hello " + got);
        if (server_)
            transport_->send(reinterpret_cast<const std::uint8_t*>("OK"), 2);
        return Status::ok;
    }
    Status read(std::uint8_t* destination, std::size_t length, std::size_t& count, ErrorPtr&) override {
        count = 0;
        if (!fill(1))
            return ended_ ? Status::closed : Status::wouldBlock;
        std::size_t n = in_[0];
        if (n == 0)
            return Status::closed;
        if (!fill(1 + n))
            return Status::wouldBlock;
        n = std::min(n, length);
        for (std::size_t i = 0; i < n; ++i)
            destination[i] = in_[1 + i] ^ 0x5A;
        // A partly read record keeps its rest, re-framed.
        std::size_t rest = in_[0] - n;
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
        in_[0] = static_cast<std::uint8_t>(rest);
        if (rest == 0)
            in_.erase(in_.begin());
        count = n;
        return Status::ok;
    }
    Status write(const std::uint8_t* source, std::size_t length, ErrorPtr& error) override {
        if (closed_) // like a real engine: nothing goes out after the close alert
            return fail(error, "write after close");
        while (length > 0) {
            std::uint8_t n = static_cast<std::uint8_t>(std::min<std::size_t>(length, 255));
            Bytes record{n};
            for (std::size_t i = 0; i < n; ++i)
                record.push_back(source[i] ^ 0x5A);
            transport_->send(record.data(), record.size());
            source += n;
            length -= n;
        }
        return Status::ok;
    }
    void close() override {
        closed_ = true;
        std::uint8_t alert = 0;
        transport_->send(&alert, 1);
    }

private:
    bool fill(std::size_t n) {
        while (in_.size() < n) {
            std::uint8_t chunk[512];
            long got = transport_->receive(chunk, sizeof chunk);
            if (got < 0)
                ended_ = true;
            if (got <= 0)
                return false;
            in_.insert(in_.end(), chunk, chunk + got);
        }
        return true;
    }
    Status fail(ErrorPtr& error, std::string text) {
        error = makeError<GenericError>(std::move(text));
        return Status::failed;
    }
    bool server_;
    AsyncTcpSocketTlsTransport* transport_ = nullptr;
    Bytes in_;
    bool helloSent_ = false, ended_ = false, closed_ = false;
};

class Events : public AsyncTcpSocketDelegate {
public:
    std::mutex mutex;
    std::vector<std::string> log;
    Bytes lastRead;
    std::shared_ptr<AsyncTcpSocket> accepted;
    void add(std::string e) {
        std::lock_guard lock(mutex);
        log.push_back(std::move(e));
    }
    void socketDidConnect(const std::string&, std::uint16_t) override { add("connect"); }
    void socketDidRead(Bytes data, long tag) override {
        // The bytes are in place before the entry that a waiting test looks for.
        std::lock_guard lock(mutex);
        log.push_back(
            "read " + std::to_string(tag) + " " +
            (data.size() > 32 ? std::to_string(data.size()) : std::string(data.begin(), data.end())));
        lastRead = std::move(data);
    }
    void socketDidWrite(long tag) override { add("write " + std::to_string(tag)); }
    void socketDidDisconnect(ErrorPtr error) override { add("disconnect " + describe(error)); }
    void socketDidAccept(std::shared_ptr<AsyncTcpSocket> s) override {
        accepted = s;
        add("accept");
    }
    void socketDidSecure() override { add("secure"); }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return log;
    }
    bool has(const std::string& e) {
        auto s = snapshot();
        return std::find(s.begin(), s.end(), e) != s.end();
    }
};

struct TlsPair {
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("tls-seam");
    std::shared_ptr<Events> listenerEvents = std::make_shared<Events>(),
                            clientEvents = std::make_shared<Events>(),
                            serverEvents = std::make_shared<Events>();
    std::shared_ptr<AsyncTcpSocket> listener = AsyncTcpSocket::make(queue),
                                    client = AsyncTcpSocket::make(queue), server;
    TlsPair() {
        listener->setDelegate(listenerEvents);
        listener->acceptOn("127.0.0.1", 0);
        client->setDelegate(clientEvents);
        client->connect("127.0.0.1", *listener->localPort(), {}, 5);
        EXPECT_TRUE(
            test::waitFor([&] { return clientEvents->has("connect") && listenerEvents->has("accept"); }));
        queue->sync([&] { server = listenerEvents->accepted; });
        server->setDelegate(serverEvents);
    }
    ~TlsPair() {
        // The test owns the queue's thread: the sockets go on the queue, and once nothing
        // else holds the queue its thread is joined here, so it cannot outlive the test (its
        // TLS state would be freed by nobody, its work would race with the process's exit).
        queue->sync([&] {
            for (auto* socket : {&client, &server, &listener}) {
                if (*socket)
                    (*socket)->disconnect();
                socket->reset();
            }
            listenerEvents->accepted.reset();
        });
        EXPECT_TRUE(test::waitFor([&] { return queue.use_count() == 1; }));
        queue->stop();
    }
};

} // namespace

TEST(AsyncTcpSocketTls, PlainBytesBeforeStartTlsThenEncryptedBothWays) {
    TlsPair p;
    // Both sides queue plaintext, then TLS, then more: the order holds on each side.
    p.client->writeData(Bytes{'p', 'l', 'a', 'i', 'n'}, -1, 1);
    p.client->startTLS(std::make_shared<ToyTls>(false));
    p.client->writeData(Bytes{'s', 'e', 'c', 'r', 'e', 't'}, -1, 2);
    p.server->readDataToLength(5, -1, 1);
    p.server->startTLS(std::make_shared<ToyTls>(true));
    p.server->readDataToLength(6, -1, 2);
    ASSERT_TRUE(test::waitFor([&] { return p.serverEvents->has("read 2 secret"); }));
    EXPECT_EQ(p.serverEvents->snapshot(),
              (std::vector<std::string>{"read 1 plain", "secure", "read 2 secret"}));
    EXPECT_EQ(p.clientEvents->snapshot(),
              (std::vector<std::string>{"connect", "write 1", "secure", "write 2"}));

    Bytes big(100000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 13);
    p.server->writeData(big, -1, 3);
    p.client->readDataToLength(big.size(), -1, 3);
    ASSERT_TRUE(test::waitFor([&] { return p.clientEvents->has("read 3 100000"); }));
    {
        std::lock_guard lock(p.clientEvents->mutex);
        EXPECT_EQ(p.clientEvents->lastRead, big);
    }
    // The close alert reaches the peer before the connection ends; the peer sees its close.
    p.client->disconnectAfterWriting();
    p.server->readData(-1, 100, 4);
    ASSERT_TRUE(
        test::waitFor([&] { return p.serverEvents->has("disconnect Socket closed by remote peer"); }));
    EXPECT_EQ(p.serverEvents->snapshot().back(), "disconnect Socket closed by remote peer");
}

TEST(AsyncTcpSocketTls, HandshakeFailuresAndPeerLossCloseTheSocket) {
    {
        TlsPair p;
        p.server->startTLS(std::make_shared<ToyTls>(true));
        p.client->writeData(Bytes{'N', 'O'}, -1, 1);
        ASSERT_TRUE(test::waitFor([&] { return p.serverEvents->has("disconnect bad hello NO"); }));
        EXPECT_FALSE(p.serverEvents->has("secure"));
    }
    {
        TlsPair p;
        p.client->startTLS(std::make_shared<ToyTls>(false));
        p.server->disconnect();
        ASSERT_TRUE(test::waitFor([&] { return p.clientEvents->snapshot().size() == 2; }));
        // The peer may reset the connection, since our hello was never read.
        auto last = p.clientEvents->snapshot().back();
        EXPECT_TRUE(last == "disconnect peer left during the handshake" ||
                    last == "disconnect Connection reset by peer")
            << last;
    }
}

TEST(AsyncTcpSocketTls, DisconnectAfterWritingSendsEveryQueuedPieceBeforeTheCloseAlert) {
    const auto& pki = test::TestCertificates::shared();
    test::TrustTestRoot trust;
    struct Case {
        const char* name;
        std::function<std::shared_ptr<AsyncTcpSocketTls>(bool server)> make;
    };
    const Case cases[] = {
        {"stand-in layer", [](bool server) { return std::make_shared<ToyTls>(server); }},
        {"TLS engine",
         [&](bool server) -> std::shared_ptr<AsyncTcpSocketTls> {
             TlsSettings settings;
             settings.isServer = server;
             if (server)
                 settings.certificates = Identity::fromPEM(pki.leafKeyPEM, pki.chainPEM);
             else
                 settings.peerName = "localhost";
             return TlsSocketLayer::make(settings);
         }},
    };
    for (const auto& c : cases)
        for (bool duringHandshake : {false, true}) {
            SCOPED_TRACE(std::string(c.name) +
                         (duringHandshake ? ", during the handshake" : ", once secure"));
            TlsPair p;
            p.server->startTLS(c.make(true));
            // Queued during the handshake, the pieces and the disconnect wait for it to finish.
            if (!duringHandshake) {
                p.client->startTLS(c.make(false));
                ASSERT_TRUE(test::waitFor(
                    [&] { return p.clientEvents->has("secure") && p.serverEvents->has("secure"); }));
            }

            // Pieces queued behind one another (the first is still on the wire when the rest and
            // the disconnect arrive), then the disconnect in the same turn of the queue.
            Bytes expected;
            p.queue->sync([&] {
                if (duringHandshake)
                    p.client->startTLS(c.make(false));
                for (long piece = 1; piece <= 6; ++piece) {
                    Bytes bytes(piece == 1 ? 300000 : 1000 * static_cast<std::size_t>(piece));
                    for (std::size_t i = 0; i < bytes.size(); ++i)
                        bytes[i] = static_cast<std::uint8_t>(i * 7 + static_cast<std::size_t>(piece));
                    expected.insert(expected.end(), bytes.begin(), bytes.end());
                    p.client->writeData(std::move(bytes), -1, piece);
                }
                p.client->disconnectAfterWriting();
            });
            p.server->readDataToLength(expected.size(), -1, 7);
            ASSERT_TRUE(test::waitFor([&] {
                return p.serverEvents->has("read 7 " + std::to_string(expected.size()));
            })) << p.clientEvents->snapshot().back() << " / " << p.serverEvents->snapshot().back();
            {
                std::lock_guard lock(p.serverEvents->mutex);
                EXPECT_TRUE(p.serverEvents->lastRead == expected);
            }
            // Then the close alert: the next read ends with the peer's clean close.
            p.server->readData(-1, 100, 8);
            ASSERT_TRUE(test::waitFor([&] { return p.clientEvents->has("disconnect "); }))
                << p.clientEvents->snapshot().back();
            ASSERT_TRUE(test::waitFor(
                [&] { return p.serverEvents->has("disconnect Socket closed by remote peer"); }));
            auto clientLog = p.clientEvents->snapshot();
            ASSERT_GE(clientLog.size(), 7u);
            EXPECT_EQ(std::vector<std::string>(clientLog.end() - 7, clientLog.end()),
                      (std::vector<std::string>{"write 1", "write 2", "write 3", "write 4", "write 5",
                                                "write 6", "disconnect "}))
                << ::testing::PrintToString(clientLog);
        }
}
