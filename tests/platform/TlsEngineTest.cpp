#include "platform/TlsEngine.h"

#include <algorithm>
#include <deque>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "platform/Identity.h"
#include "tests/support/TestCertificates.h"

namespace pemtrox {
namespace {

using test::TestCertificates;
using test::TrustTestRoot;
using Status = TlsEngine::Status;
using Bytes = std::vector<std::uint8_t>;

/// One direction of an in-memory connection.
struct Wire {
    std::deque<std::uint8_t> bytes;
    bool ended = false;
    Bytes everything; // all bytes ever written, for looking into the handshake
};

/// An engine whose ciphertext goes through two in-memory wires.
struct End {
    std::unique_ptr<TlsEngine> engine;
    Wire* in = nullptr;
    Wire* out = nullptr;
    int readCalls = 0;

    End(TlsEngine::Side side, Wire* input, Wire* output)
        : engine(TlsEngine::make(side)), in(input), out(output) {
        engine->setIOFuncs(
            [this](std::uint8_t* destination, std::size_t& length) {
                ++readCalls;
                std::size_t count = std::min(length, in->bytes.size());
                std::copy_n(in->bytes.begin(), count, destination);
                in->bytes.erase(in->bytes.begin(), in->bytes.begin() + static_cast<std::ptrdiff_t>(count));
                bool all = count == length;
                length = count;
                if (count == 0 && in->ended)
                    return TlsEngine::ioErr;
                return all ? TlsEngine::noErr : TlsEngine::wouldBlock;
            },
            [this](const std::uint8_t* source, std::size_t& length) {
                out->bytes.insert(out->bytes.end(), source, source + length);
                out->everything.insert(out->everything.end(), source, source + length);
                return TlsEngine::noErr;
            });
    }
};

struct Pair {
    Wire toServer, toClient;
    End client{TlsEngine::Side::client, &toClient, &toServer};
    End server{TlsEngine::Side::server, &toServer, &toClient};
    Status clientStatus = TlsEngine::wouldBlock;
    Status serverStatus = TlsEngine::wouldBlock;

    Pair(const std::string& keyPEM, const std::string& chainPEM, std::optional<std::string> peerName) {
        EXPECT_EQ(server.engine->setCertificate(Identity::fromPEM(keyPEM, chainPEM)), TlsEngine::noErr);
        if (peerName) {
            EXPECT_EQ(client.engine->setPeerName(*peerName), TlsEngine::noErr);
        }
    }

    /// Steps both handshakes until both are done or one failed.
    void handshake() {
        for (int i = 0; i < 20; ++i) {
            if (clientStatus == TlsEngine::wouldBlock)
                clientStatus = client.engine->handshake();
            if (serverStatus == TlsEngine::wouldBlock)
                serverStatus = server.engine->handshake();
            if (clientStatus != TlsEngine::wouldBlock && serverStatus != TlsEngine::wouldBlock)
                return;
        }
    }
};

bool contains(const Bytes& haystack, const std::string& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

/// Reads what plaintext the engine can give now, 4096 bytes at a time.
Status drain(TlsEngine& engine, Bytes& into) {
    std::uint8_t buffer[4096];
    for (;;) {
        std::size_t count = 0;
        Status status = engine.read(buffer, sizeof buffer, count);
        into.insert(into.end(), buffer, buffer + count);
        if (status != TlsEngine::noErr)
            return status;
    }
}

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(generator());
    return bytes;
}

class TlsEngineTest : public ::testing::Test {
protected:
    const TestCertificates& pki = TestCertificates::shared();
    TrustTestRoot trust;
};

struct GoodCase {
    const char* peerName;
    bool sniSent;
};

TEST_F(TlsEngineTest, VerifiedConnectionsCarryDataBothWaysWithSniOnlyForNames) {
    const GoodCase cases[] = {{"localhost", true}, {"127.0.0.1", false}, {"::1", false}, {"[::1]", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peerName);
        Pair pair(pki.leafKeyPEM, pki.chainPEM, std::string(c.peerName));
        pair.handshake();
        ASSERT_EQ(pair.clientStatus, TlsEngine::noErr) << describe(pair.client.engine->lastError());
        ASSERT_EQ(pair.serverStatus, TlsEngine::noErr) << describe(pair.server.engine->lastError());

        // SNI travels in the clear in the ClientHello.
        EXPECT_EQ(contains(pair.toServer.everything, c.peerName), c.sniSent);

        int protocol = 0;
        std::uint16_t cipher = 0;
        EXPECT_EQ(pair.client.engine->negotiatedProtocolVersion(protocol), TlsEngine::noErr);
        EXPECT_EQ(protocol, TlsEngine::protocolTLS13);
        EXPECT_EQ(pair.server.engine->negotiatedCipher(cipher), TlsEngine::noErr);
        EXPECT_GE(cipher, 0x1301);
        EXPECT_LE(cipher, 0x1305);

        // The server presented leaf and intermediate, in that order.
        auto chain = pair.client.engine->peerCertificates();
        ASSERT_EQ(chain.size(), 2u);
        EXPECT_EQ(std::string(chain[0].begin(), chain[0].end()), pki.leafDER);
        EXPECT_EQ(std::string(chain[1].begin(), chain[1].end()), pki.intermediateDER);

        for (auto [writer, reader] :
             {std::pair{&pair.client, &pair.server}, std::pair{&pair.server, &pair.client}}) {
            Bytes sent = randomBytes(100000, 7), received;
            std::size_t processed = 0;
            ASSERT_EQ(writer->engine->write(sent.data(), sent.size(), processed), TlsEngine::noErr);
            EXPECT_EQ(processed, sent.size());
            EXPECT_EQ(drain(*reader->engine, received), TlsEngine::wouldBlock);
            EXPECT_EQ(received, sent);
        }
    }
}

struct BadCase {
    const char* name;
    bool rogueServer;
    const char* peerName;
    const char* expected;
};

TEST_F(TlsEngineTest, FailedVerificationFailsTheHandshakeWithOpenSslsText) {
    const BadCase cases[] = {
        {"wrong host name", false, "www.example.com", "certificate verify failed: hostname mismatch"},
        {"address not in the certificate", false, "127.0.0.2",
         "certificate verify failed: IP address mismatch"},
        {"untrusted chain", true, "localhost", "certificate verify failed: "},
        {"untrusted chain, no name", true, nullptr, "certificate verify failed: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pair pair(c.rogueServer ? pki.rogueKeyPEM : pki.leafKeyPEM,
                  c.rogueServer ? pki.rogueChainPEM : pki.chainPEM,
                  c.peerName ? std::optional<std::string>(c.peerName) : std::nullopt);
        pair.handshake();
        EXPECT_EQ(pair.clientStatus, TlsEngine::certificateChainInvalid);
        auto error = pair.client.engine->lastError();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->description().rfind(c.expected, 0), 0u) << error->description();
        auto* tlsError = dynamic_cast<const TlsError*>(error.get());
        ASSERT_TRUE(tlsError);
        EXPECT_EQ(tlsError->kind(), TlsError::Kind::certificateVerifyFailed);
        // The server learns of it through the client's alert.
        EXPECT_EQ(pair.serverStatus, TlsEngine::peerRejectedCertificate);
        auto* serverError = dynamic_cast<const TlsError*>(pair.server.engine->lastError().get());
        ASSERT_TRUE(serverError);
        EXPECT_EQ(serverError->status(), TlsEngine::peerRejectedCertificate);
        // The failure sticks.
        EXPECT_EQ(pair.client.engine->handshake(), TlsEngine::certificateChainInvalid);
    }
}

TEST_F(TlsEngineTest, CloseAlertEndsThePeersReadsAndLaterWrites) {
    Pair pair(pki.leafKeyPEM, pki.chainPEM, std::string("localhost"));
    pair.handshake();
    ASSERT_EQ(pair.clientStatus, TlsEngine::noErr);

    std::size_t processed = 0;
    const std::string text = "last words";
    ASSERT_EQ(
        pair.server.engine->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), processed),
        TlsEngine::noErr);
    std::size_t before = pair.toClient.bytes.size();
    EXPECT_EQ(pair.server.engine->close(), TlsEngine::noErr);
    EXPECT_GT(pair.toClient.bytes.size(), before) << "the close alert goes out through the write callback";
    EXPECT_EQ(pair.server.engine->close(), TlsEngine::noErr);

    Bytes received;
    EXPECT_EQ(drain(*pair.client.engine, received), TlsEngine::closedGraceful);
    EXPECT_EQ(std::string(received.begin(), received.end()), text);
    EXPECT_EQ(
        pair.server.engine->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), processed),
        TlsEngine::closedGraceful);
    EXPECT_EQ(processed, 0u);

    // The side that closed still reads what the peer was sending.
    const std::string reply = "still coming";
    ASSERT_EQ(pair.client.engine->write(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size(),
                                        processed),
              TlsEngine::noErr);
    Bytes late;
    EXPECT_EQ(drain(*pair.server.engine, late), TlsEngine::wouldBlock);
    EXPECT_EQ(std::string(late.begin(), late.end()), reply);
}

TEST_F(TlsEngineTest, InputEndingOrFailingIsReportedWithTheCallbacksStatus) {
    // During the handshake.
    {
        Pair pair(pki.leafKeyPEM, pki.chainPEM, std::string("localhost"));
        EXPECT_EQ(pair.client.engine->handshake(), TlsEngine::wouldBlock);
        pair.toClient.ended = true;
        EXPECT_EQ(pair.client.engine->handshake(), TlsEngine::ioErr);
        EXPECT_FALSE(pair.client.engine->lastError());
    }
    // After it, with no close alert: half a record, then the end.
    {
        Pair pair(pki.leafKeyPEM, pki.chainPEM, std::string("localhost"));
        pair.handshake();
        ASSERT_EQ(pair.clientStatus, TlsEngine::noErr);
        Bytes drained;
        drain(*pair.client.engine, drained); // session tickets
        std::size_t processed = 0;
        Bytes data = randomBytes(1000, 1);
        pair.server.engine->write(data.data(), data.size(), processed);
        pair.toClient.bytes.resize(pair.toClient.bytes.size() / 2);
        pair.toClient.ended = true;
        Bytes received;
        EXPECT_EQ(drain(*pair.client.engine, received), TlsEngine::ioErr);
        EXPECT_TRUE(received.empty());
    }
}

TEST_F(TlsEngineTest, GarbageFromThePeerFailsWithAProtocolError) {
    Pair pair(pki.leafKeyPEM, pki.chainPEM, std::string("localhost"));
    const std::string garbage = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    pair.toServer.bytes.assign(garbage.begin(), garbage.end());
    Status status = pair.server.engine->handshake();
    EXPECT_EQ(status, TlsEngine::protocolError);
    ASSERT_TRUE(pair.server.engine->lastError());
    EXPECT_EQ(pair.server.engine->lastError()->description().rfind("TLS handshake failed: ", 0), 0u);
}

TEST_F(TlsEngineTest, MisuseAndEarlyQuestionsAreAnsweredWithStatuses) {
    auto server = TlsEngine::make(TlsEngine::Side::server);
    int protocol = -1;
    std::uint16_t cipher = 1;
    EXPECT_EQ(server->negotiatedProtocolVersion(protocol), TlsEngine::badState);
    EXPECT_EQ(protocol, TlsEngine::protocolUnknown);
    EXPECT_EQ(server->negotiatedCipher(cipher), TlsEngine::badState);
    EXPECT_TRUE(server->peerCertificates().empty());

    EXPECT_EQ(server->handshake(), TlsEngine::badConfiguration); // no callbacks
    auto other = TlsEngine::make(TlsEngine::Side::server);
    other->setIOFuncs([](std::uint8_t*, std::size_t& n) { return n = 0, TlsEngine::wouldBlock; },
                      [](const std::uint8_t*, std::size_t&) { return TlsEngine::noErr; });
    EXPECT_EQ(other->handshake(), TlsEngine::badConfiguration); // no certificate
    EXPECT_EQ(describe(other->lastError()), "The server side of TLS has no certificate");

    auto client = TlsEngine::make(TlsEngine::Side::client);
    EXPECT_EQ(client->setPeerName(""), TlsEngine::paramErr);
    EXPECT_EQ(client->setPeerName(std::string("a\0b", 3)), TlsEngine::paramErr);
    EXPECT_EQ(client->close(), TlsEngine::noErr); // before any connection: nothing to send
}

TEST(IdentityTest, RefusesAKeyThatDoesNotBelongToTheCertificate) {
    const auto& pki = TestCertificates::shared();
    EXPECT_NO_THROW(Identity::fromPEM(pki.leafKeyPEM, pki.chainPEM));
    auto identity = Identity::fromPEM(pki.leafKeyPEM, pki.chainPEM);
    EXPECT_EQ(identity->chain().size(), 1u);
    EXPECT_THROW(Identity::fromPEM(pki.rogueKeyPEM, pki.chainPEM), TlsError);
    EXPECT_THROW(Identity::fromPEM("not a key", pki.chainPEM), TlsError);
    EXPECT_THROW(Identity::fromPEM(pki.leafKeyPEM, "no certificates"), TlsError);
}

TEST(TlsEngineNames, IPLiteralsAreRecognised) {
    for (const char* name : {"127.0.0.1", "::1", "[::1]", "fe80::1%eth0", "[fe80::1%25eth0]"})
        EXPECT_TRUE(TlsEngine::isIPLiteral(name)) << name;
    for (const char* name : {"localhost", "example.com", "1.2.3", "1.2.3.4.example", ""})
        EXPECT_FALSE(TlsEngine::isIPLiteral(name)) << name;
}

} // namespace
} // namespace pemtrox
