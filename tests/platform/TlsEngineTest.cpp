#include "platform/TlsEngine.h"

#include <algorithm>
#include <deque>
#include <random>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

        // The server presented leaf and intermediate.
        EXPECT_EQ(pair.client.engine->peerCertificates().size(), 2u);

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
        EXPECT_NE(pair.serverStatus, TlsEngine::noErr);
        EXPECT_NE(pair.serverStatus, TlsEngine::wouldBlock);
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

// Real peers over loopback; the engine is driven with blocking reads, which is enough
// for a synchronous engine.

int listenLoopback(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd, 1);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

int connectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void useBlockingSocket(TlsEngine& engine, int fd) {
    engine.setIOFuncs(
        [fd](std::uint8_t* destination, std::size_t& length) {
            ssize_t n = recv(fd, destination, length, 0);
            if (n <= 0) {
                length = 0;
                return TlsEngine::ioErr;
            }
            bool all = static_cast<std::size_t>(n) == length;
            length = static_cast<std::size_t>(n);
            return all ? TlsEngine::noErr : TlsEngine::wouldBlock;
        },
        [fd](const std::uint8_t* source, std::size_t& length) {
            std::size_t done = 0;
            while (done < length) {
                ssize_t n = send(fd, source + done, length - done, MSG_NOSIGNAL);
                if (n <= 0)
                    return TlsEngine::ioErr;
                done += static_cast<std::size_t>(n);
            }
            return TlsEngine::noErr;
        });
}

struct ServerCase {
    const char* name;
    const char* options;
    int protocol;
    std::uint16_t cipher;
};

TEST_F(TlsEngineTest, ClientAgainstOpensslServer) {
    const ServerCase cases[] = {
        {"TLS 1.3", "-tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256", TlsEngine::protocolTLS13, 0x1301},
        {"TLS 1.2", "-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", TlsEngine::protocolTLS12, 0xC02F},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ChildProcess server("exec openssl s_server -accept 127.0.0.1:0 -naccept 1 -www -key '" +
                                  pki.leafKeyFile.string() + "' -cert '" + pki.leafFile.string() +
                                  "' -cert_chain '" + pki.intermediateFile.string() + "' " + c.options);
        int port = test::acceptedPort(server.waitForLine("ACCEPT"));
        ASSERT_GT(port, 0) << server.output();
        int fd = connectLoopback(port);
        ASSERT_GE(fd, 0);

        auto engine = TlsEngine::make(TlsEngine::Side::client);
        useBlockingSocket(*engine, fd);
        engine->setPeerName("localhost");
        ASSERT_EQ(engine->handshake(), TlsEngine::noErr) << describe(engine->lastError());
        int protocol = 0;
        std::uint16_t cipher = 0;
        engine->negotiatedProtocolVersion(protocol);
        engine->negotiatedCipher(cipher);
        EXPECT_EQ(protocol, c.protocol);
        EXPECT_EQ(cipher, c.cipher);

        const std::string request = "GET / HTTP/1.0\r\n\r\n";
        std::size_t processed = 0;
        ASSERT_EQ(
            engine->write(reinterpret_cast<const std::uint8_t*>(request.data()), request.size(), processed),
            TlsEngine::noErr);
        Bytes page;
        Status end = drain(*engine, page);
        EXPECT_TRUE(end == TlsEngine::closedGraceful || end == TlsEngine::ioErr) << end;
        EXPECT_EQ(std::string(page.begin(), page.end()).rfind("HTTP/1.0 200 ok", 0), 0u);
        close(fd);
    }
}

TEST_F(TlsEngineTest, ClientRefusesAnOpensslServerWithAnUntrustedChain) {
    test::ChildProcess server("exec openssl s_server -accept 127.0.0.1:0 -naccept 1 -www -key '" +
                              pki.rogueKeyFile.string() + "' -cert '" + pki.rogueLeafFile.string() +
                              "' -cert_chain '" + pki.rogueRootFile.string() + "'");
    int port = test::acceptedPort(server.waitForLine("ACCEPT"));
    ASSERT_GT(port, 0);
    int fd = connectLoopback(port);
    auto engine = TlsEngine::make(TlsEngine::Side::client);
    useBlockingSocket(*engine, fd);
    engine->setPeerName("localhost");
    EXPECT_EQ(engine->handshake(), TlsEngine::certificateChainInvalid);
    EXPECT_EQ(describe(engine->lastError()),
              "certificate verify failed: self-signed certificate in certificate chain");
    close(fd);
}

TEST_F(TlsEngineTest, ServerAgainstOpensslClient) {
    int port = 0;
    int listener = listenLoopback(port);
    test::ChildProcess client(
        "echo hello | exec openssl s_client -quiet -verify_return_error -connect 127.0.0.1:" +
        std::to_string(port) + " -servername localhost -CAfile '" + pki.rootFile.string() + "'");
    int fd = accept(listener, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    auto engine = TlsEngine::make(TlsEngine::Side::server);
    useBlockingSocket(*engine, fd);
    engine->setCertificate(Identity::fromPEM(pki.leafKeyPEM, pki.chainPEM));
    ASSERT_EQ(engine->handshake(), TlsEngine::noErr) << describe(engine->lastError());

    std::uint8_t buffer[4096];
    std::size_t count = 0;
    std::string received;
    while (received.find('\n') == std::string::npos) {
        Status status = engine->read(buffer, sizeof buffer, count);
        received.append(reinterpret_cast<char*>(buffer), count);
        ASSERT_TRUE(status == TlsEngine::noErr || status == TlsEngine::wouldBlock) << status;
    }
    EXPECT_EQ(received, "hello\n");
    const std::string answer = "world\n";
    engine->write(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size(), count);
    engine->close();
    shutdown(fd, SHUT_WR);
    EXPECT_NE(client.readAll().find("world"), std::string::npos) << client.output();
    EXPECT_EQ(client.wait(), 0) << client.output();
    close(fd);
    close(listener);
}

} // namespace
} // namespace pemtrox
