#pragma once

// The behaviours every TLS layer shares, as one parameterised suite over a Link (two
// connected TLS ends). Each test binary that runs the suite includes this header from one
// file and instantiates TlsLayers with the links it can build: the engine in memory, the
// kernel socket's own TLS, the wrapper over a kernel socket, over an in-memory pipe and over
// a connection on the tunnel's stack.

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/HandshakeWorkers.h"
#include "platform/Identity.h"
#include "platform/TlsDriver.h"
#include "platform/TlsEngine.h"
#include "proxy/io/Data.h"
#include "proxy/io/SSLSocketWrapperError.h"
#include "tests/support/EagerTlsServer.h"
#include "tests/support/HeldHandshakeWorkers.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

namespace pemtrox::test::tls {

enum Side { clientSide = 0, serverSide = 1 };

inline Data randomData(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    Data data(size);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(generator());
    return data;
}

inline TlsSettings serverSettings(bool rogue = false) {
    const auto& pki = TestCertificates::shared();
    TlsSettings settings;
    settings.isServer = true;
    settings.certificates = rogue ? Identity::fromPEM(pki.rogueKeyPEM, pki.rogueChainPEM)
                                  : Identity::fromPEM(pki.leafKeyPEM, pki.chainPEM);
    return settings;
}

inline TlsSettings clientSettings(std::optional<std::string> peerName) {
    TlsSettings settings;
    settings.peerName = std::move(peerName);
    return settings;
}

/// Two connected TLS ends of one layer, driven from the test's thread.
class Link {
public:
    virtual ~Link() = default;
    virtual void connect(const TlsSettings& serverSide, const TlsSettings& clientSide) = 0;
    /// The client's plain transport goes away before it says a word.
    virtual void connectWithClientGone(const TlsSettings& serverSide) = 0;
    /// Null when the end connected, else what it failed with.
    virtual ErrorPtr failure(int side) = 0;
    virtual std::optional<std::string> protocol(int side) = 0;
    /// The server's chain as the client saw it; absent where the layer does not tell.
    virtual std::optional<std::vector<Data>> peerChain() = 0;
    virtual void send(int side, Data data) = 0;
    /// Waits until `size` bytes arrived (or the end) and gives them.
    virtual Data receive(int side, std::size_t size) = 0;
    virtual void close(int side) = 0;
    /// Waits for the end of what the side reads: "eof" or "error:…".
    virtual std::string end(int side) = 0;
    /// Starts the server side's TLS on a plain socket that closed already: what the connect
    /// callback got before the TLS socket was returned ("-" when nothing), then whether the
    /// TLS socket reads as closed. Absent where the layer has no socket.
    virtual std::optional<std::string> secureClosedSocket() { return std::nullopt; }

    // One TLS end over a plain one that the test speaks for, byte by byte.
    /// Starts TLS on `side` alone, its handshake steps given to `workers`; the other end
    /// stays plain. False where the layer has no such end (the test is skipped).
    virtual bool startOneSide(int /*side*/, const TlsSettings&, std::shared_ptr<HandshakeWorkers>) {
        return false;
    }
    /// Writes the bytes from the plain end in one write once those sent before were taken,
    /// without waiting for it.
    virtual void sendPlain(Data) {}
    /// The bytes the plain end's writes have handed over so far.
    virtual std::size_t plainSent() { return 0; }
    /// Everything the plain end received so far.
    virtual Data plainReceived() { return {}; }
    /// The TLS end's ciphertext waiting for its engine (none while a step has it).
    virtual std::size_t ciphertextWaiting() { return 0; }
    /// Whether the TLS end has its outcome; failure() then tells which.
    virtual bool settled(int /*side*/) { return true; }
};

/// The first flight of a client engine (its hello).
inline Data clientHello() {
    Data sent;
    auto client = TlsEngine::make(TlsEngine::Side::client);
    EXPECT_EQ(client->setPeerName("localhost"), TlsEngine::noErr);
    client->setIOFuncs([](std::uint8_t*, std::size_t& length) { return length = 0, TlsEngine::wouldBlock; },
                       [&](const std::uint8_t* source, std::size_t& length) {
                           sent.insert(sent.end(), source, source + length);
                           return TlsEngine::noErr;
                       });
    EXPECT_EQ(client->handshake(), TlsEngine::wouldBlock);
    return sent;
}

struct LayerCase {
    const char* name;
    std::function<std::unique_ptr<Link>()> make;
    /// What our server fails with when the client leaves before its hello.
    const char* clientGone;
    /// Whether our client's alert reaches the server when it rejects the certificate (the
    /// socket layer closes at once instead).
    bool clientSendsAlert = true;
};
inline void PrintTo(const LayerCase& c, std::ostream* os) {
    *os << c.name;
}
inline std::string layerName(const ::testing::TestParamInfo<LayerCase>& info) {
    return info.param.name;
}

class TlsLayers : public ::testing::TestWithParam<LayerCase> {
protected:
    void SetUp() override {
        if (!link)
            GTEST_SKIP() << "the link's transport cannot be made in this process";
    }
    TrustTestRoot trust;
    /// Null when the layer's transport cannot be made here (the test is skipped).
    std::unique_ptr<Link> link = GetParam().make();
};

TEST_P(TlsLayers, AVerifiedConnectionCarriesAMegabyteEachWayAndEndsWithTheCloseAlert) {
    const auto& pki = TestCertificates::shared();
    link->connect(serverSettings(), clientSettings("localhost"));
    ASSERT_FALSE(link->failure(clientSide)) << describe(link->failure(clientSide));
    ASSERT_FALSE(link->failure(serverSide)) << describe(link->failure(serverSide));
    EXPECT_EQ(link->protocol(clientSide), "TLSv1.3");
    EXPECT_EQ(link->protocol(serverSide), "TLSv1.3");
    if (auto chain = link->peerChain()) {
        // The server presented leaf then intermediate.
        ASSERT_EQ(chain->size(), 2u);
        EXPECT_EQ(toString((*chain)[0]), pki.leafDER);
        EXPECT_EQ(toString((*chain)[1]), pki.intermediateDER);
    }
    for (int from : {clientSide, serverSide}) {
        auto sent = randomData(1 << 20, static_cast<unsigned>(from));
        link->send(from, sent);
        EXPECT_TRUE(link->receive(1 - from, sent.size()) == sent);
    }
    link->send(serverSide, toData("last words"));
    link->close(serverSide);
    EXPECT_EQ(toString(link->receive(clientSide, 10)), "last words");
    // A socket over TCP may report the connection's end that follows the alert instead.
    auto end = link->end(clientSide);
    EXPECT_TRUE(end == "eof" || end == "error:Connection closed by peer") << end;
}

TEST_P(TlsLayers, FailedVerificationFailsTheClientWithTheReasonAndTheServerWithTheRejection) {
    struct Case {
        const char* name;
        bool rogue;
        const char* peerName;
        const char* expected;
    } cases[] = {
        {"wrong host name", false, "www.example.com", "certificate verify failed: hostname mismatch"},
        {"address not in the certificate", false, "127.0.0.2",
         "certificate verify failed: IP address mismatch"},
        {"untrusted chain", true, "localhost",
         "certificate verify failed: self-signed certificate in certificate chain"},
        {"untrusted chain, no name", true, nullptr,
         "certificate verify failed: self-signed certificate in certificate chain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto fresh = GetParam().make();
        fresh->connect(serverSettings(c.rogue),
                       clientSettings(c.peerName ? std::optional<std::string>(c.peerName) : std::nullopt));
        EXPECT_EQ(describe(fresh->failure(clientSide)), c.expected);
        ASSERT_TRUE(fresh->failure(serverSide));
        if (GetParam().clientSendsAlert) {
            EXPECT_EQ(tlsStatusOf(fresh->failure(serverSide)), TlsEngine::peerRejectedCertificate)
                << describe(fresh->failure(serverSide));
        }
    }
}

TEST_P(TlsLayers, AClientLeavingBeforeItsHelloFailsOurServer) {
    link->connectWithClientGone(serverSettings());
    EXPECT_EQ(describe(link->failure(serverSide)), GetParam().clientGone);
}

TEST_P(TlsLayers, ASocketClosedBeforeTLSBeginsFailsBeforeMakeReturns) {
    // A client's reset closed its socket while nobody read it; TLS begun on it afterwards
    // once waited for ever, and with it the tunnel and its server connection.
    auto outcome = link->secureClosedSocket();
    if (!outcome)
        GTEST_SKIP() << "no socket below the engine";
    EXPECT_EQ(*outcome, "Connection closed; closed");
}

// The server's answer to a hello is on a worker with the engine; what the client sends
// meanwhile waits for it. A client that floods meanwhile gets no more than a record's worth
// read, however much it sends: the rest stays in the kernel (or the pipe) until the step is
// back, and then fails the handshake.
TEST_P(TlsLayers, APeerFloodingWhileAStepIsAwayIsHeldToOneRecordAhead) {
    auto workers = HeldHandshakeWorkers::make();
    if (!link->startOneSide(serverSide, serverSettings(), workers))
        GTEST_SKIP() << "no plain end to flood from";
    link->sendPlain(clientHello());
    ASSERT_TRUE(workers->waitForHeld(1));
    link->sendPlain(randomData(1 << 20, 11));
    ASSERT_TRUE(waitFor([&] { return link->ciphertextWaiting() >= TlsDriver::heldWhileAway; }))
        << link->ciphertextWaiting() << " bytes taken of the flood";
    EXPECT_FALSE(waitFor([&] { return link->ciphertextWaiting() > TlsDriver::heldWhileAway; },
                         std::chrono::milliseconds(300)))
        << link->ciphertextWaiting() << " bytes taken of the flood";
    workers->releaseOne();
    ASSERT_TRUE(waitFor([&] { return link->settled(serverSide); }));
    EXPECT_TRUE(link->failure(serverSide)) << "a handshake on garbage failed";
    EXPECT_EQ(workers->held(), 0u);
}

// The client's step away with the server's flight also has records the server sent right
// behind it; the engine leaves what it does not need for the handshake, and more arrives
// while the step is away. The bytes the step left come first.
TEST_P(TlsLayers, BytesAStepLeftUnreadComeBeforeThoseThatArrivedMeanwhile) {
    auto workers = HeldHandshakeWorkers::make();
    if (!link->startOneSide(clientSide, clientSettings("localhost"), workers))
        GTEST_SKIP() << "no plain end to answer from";
    const auto& pki = TestCertificates::shared();
    EagerTlsServer server(pki.leafKeyPEM, pki.chainPEM);
    Data hello;
    ASSERT_TRUE(waitFor([&] { return EagerTlsServer::holdsWholeRecord(hello = link->plainReceived()); }));
    Data sent = randomData(60000, 12);
    Data answer = server.answer(hello, sent);
    ASSERT_GT(answer.size(), sent.size());
    const std::size_t meanwhile = 12000; // less than a record's worth: all of it is taken
    link->sendPlain(Data(answer.begin(), answer.end() - static_cast<std::ptrdiff_t>(meanwhile)));
    ASSERT_TRUE(workers->waitForHeld(1));
    link->sendPlain(Data(answer.end() - static_cast<std::ptrdiff_t>(meanwhile), answer.end()));
    ASSERT_TRUE(waitFor([&] { return link->ciphertextWaiting() > 0; }));
    // A layer that read only a part of the flight at first sends a step for each part.
    ASSERT_TRUE(waitFor([&] {
        if (workers->held() > 0)
            workers->releaseOne();
        return link->settled(clientSide);
    }));
    ASSERT_FALSE(link->failure(clientSide)) << describe(link->failure(clientSide));
    EXPECT_TRUE(link->receive(clientSide, sent.size()) == sent);
}

} // namespace pemtrox::test::tls
