#include "proxy/io/SSLSocketWrapper.h"

#include <random>

#include <gtest/gtest.h>

#include "platform/Identity.h"
#include "proxy/io/CrossOverSocket.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/PipeSocket.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/SocketError.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

namespace pemtrox {
namespace {

using test::TestCertificates;
using test::TrustTestRoot;
using test::waitFor;

Data randomData(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    Data data(size);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(generator());
    return data;
}

std::uint64_t fnv1a(const Data& data) {
    std::uint64_t hash = 1469598103934665603ull;
    for (auto b : data)
        hash = (hash ^ b) * 1099511628211ull;
    return hash;
}

/// Reads a stream to its end, asking again after every delivery.
struct Collector : std::enable_shared_from_this<Collector> {
    Data bytes;
    bool ended = false;
    ErrorPtr error;

    void start(const std::shared_ptr<MyInputStream>& stream) {
        std::weak_ptr<MyInputStream> weakStream = stream;
        auto self = shared_from_this();
        stream->handler([self, weakStream](InputStreamEvent event, InputStreamReply reply) {
            if (event.isData()) {
                auto& d = event.data();
                self->bytes.insert(self->bytes.end(), d.begin(), d.end());
                reply(InputStreamHandlerResult::more);
                if (auto s = weakStream.lock())
                    s->read();
                return;
            }
            self->ended = true;
            self->error = event.error();
            reply(InputStreamHandlerResult::done);
        });
        stream->read();
    }
};

/// Writes all the data in pieces, each after the previous completion.
void writeAll(const std::shared_ptr<MyOutputStream>& stream, std::shared_ptr<Data> data, std::size_t offset,
              std::shared_ptr<bool> finished, std::shared_ptr<ErrorPtr> failure) {
    if (offset >= data->size()) {
        *finished = true;
        return;
    }
    std::size_t n = std::min<std::size_t>(10000, data->size() - offset);
    Data piece(data->begin() + static_cast<std::ptrdiff_t>(offset),
               data->begin() + static_cast<std::ptrdiff_t>(offset + n));
    std::weak_ptr<MyOutputStream> weak = stream;
    stream->write(std::move(piece), false, [=](OutputStreamWriteHandlerResult result) {
        if (result.isError()) {
            *failure = result.error();
            return;
        }
        if (auto s = weak.lock())
            writeAll(s, data, offset + n, finished, failure);
    });
}

/// A server wrapper over a pipe socket and a client wrapper over its cross-over end, all on
/// one queue.
struct InMemoryTls {
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("tls-test");
    std::shared_ptr<PipeSocket> pipe;
    std::shared_ptr<CrossOverSocket> crossOver;
    std::shared_ptr<SSLSocketWrapper> server, client;
    std::optional<SocketConnectionState> serverState, clientState;

    void start(const std::string& keyPEM, const std::string& chainPEM, std::optional<std::string> peerName,
               bool startClient = true) {
        queue->sync([&] {
            pipe = PipeSocket::make(queue);
            crossOver = CrossOverSocket::make(pipe);
            TlsSettings serverSettings;
            serverSettings.isServer = true;
            serverSettings.certificates = Identity::fromPEM(keyPEM, chainPEM);
            server = SSLSocketWrapper::makeOverPipeSocket(
                pipe, queue, serverSettings, [this](SocketConnectionState s) { serverState = s; });
            if (startClient) {
                TlsSettings clientSettings;
                clientSettings.peerName = peerName;
                client = SSLSocketWrapper::make(crossOver, queue, clientSettings,
                                                [this](SocketConnectionState s) { clientState = s; });
            }
        });
    }

    bool bothSettled() {
        bool settled = false;
        queue->sync([&] { settled = serverState && clientState; });
        return settled;
    }

    ~InMemoryTls() {
        queue->sync([&] {
            if (client)
                client->close();
            crossOver->close();
            if (server)
                server->close();
            pipe->close();
            server.reset();
            client.reset();
            crossOver.reset();
            pipe.reset();
        });
        queue->stop();
    }
};

class SSLSocketWrapperTest : public ::testing::Test {
protected:
    const TestCertificates& pki = TestCertificates::shared();
    TrustTestRoot trust;
};

TEST_F(SSLSocketWrapperTest, InMemoryPairCarriesAMegabyteEachWay) {
    InMemoryTls tls;
    tls.start(pki.leafKeyPEM, pki.chainPEM, std::string("localhost"));
    ASSERT_TRUE(waitFor([&] { return tls.bothSettled(); }));
    tls.queue->sync([&] {
        ASSERT_TRUE(tls.clientState->isConnected()) << describe(tls.clientState->error());
        ASSERT_TRUE(tls.serverState->isConnected()) << describe(tls.serverState->error());
        EXPECT_EQ(tls.clientState->socket().get(), static_cast<Socket*>(tls.client.get()));
        EXPECT_EQ(tls.client->negotiatedProtocol(), "TLSv1.3");
        EXPECT_EQ(tls.server->negotiatedProtocol(), "TLSv1.3");
        auto cipher = tls.client->negotiatedCipher();
        ASSERT_TRUE(cipher);
        EXPECT_EQ(cipher->rfind("TLS_", 0), 0u) << *cipher;
        EXPECT_EQ(tls.client->negotiatedCipher(), tls.server->negotiatedCipher());
        EXPECT_FALSE(tls.client->trust());
    });

    auto toServer = std::make_shared<Data>(randomData(1 << 20, 1));
    auto toClient = std::make_shared<Data>(randomData(1 << 20, 2));
    auto atServer = std::make_shared<Collector>(), atClient = std::make_shared<Collector>();
    auto clientDone = std::make_shared<bool>(false), serverDone = std::make_shared<bool>(false);
    auto clientFailure = std::make_shared<ErrorPtr>(), serverFailure = std::make_shared<ErrorPtr>();
    tls.queue->sync([&] {
        atServer->start(tls.server->inputStream());
        atClient->start(tls.client->inputStream());
        writeAll(tls.client->outputStream(), toServer, 0, clientDone, clientFailure);
        writeAll(tls.server->outputStream(), toClient, 0, serverDone, serverFailure);
    });
    ASSERT_TRUE(waitFor(
        [&] {
            bool done = false;
            tls.queue->sync([&] {
                done = atServer->bytes.size() == toServer->size() &&
                       atClient->bytes.size() == toClient->size() && *clientDone && *serverDone;
            });
            return done;
        },
        std::chrono::seconds(30)));
    tls.queue->sync([&] {
        EXPECT_EQ(fnv1a(atServer->bytes), fnv1a(*toServer));
        EXPECT_EQ(fnv1a(atClient->bytes), fnv1a(*toClient));
        EXPECT_FALSE(*clientFailure);
        EXPECT_FALSE(*serverFailure);

        // Closing one side sends the close alert: the other reads to its end.
        tls.client->close();
    });
    ASSERT_TRUE(waitFor([&] {
        bool ended = false;
        tls.queue->sync([&] { ended = atServer->ended && atClient->ended; });
        return ended;
    }));
    tls.queue->sync([&] {
        EXPECT_FALSE(atServer->error) << describe(atServer->error);
        EXPECT_TRUE(tls.server->isSSLClosed());
        // Writing after the peer's close alert.
        std::optional<OutputStreamWriteHandlerResult> result;
        tls.server->outputStream()->write(toData("late"), false,
                                          [&](OutputStreamWriteHandlerResult r) { result = r; });
        ASSERT_TRUE(result && result->isError());
        EXPECT_EQ(result->error()->description(), "SSL connection is closed");
    });
}

TEST_F(SSLSocketWrapperTest, FailedVerificationFailsBothConnectCallbacks) {
    struct Case {
        const char* name;
        bool rogue;
        const char* peerName;
        const char* expected;
    };
    const Case cases[] = {
        {"wrong host name", false, "www.example.com", "certificate verify failed: hostname mismatch"},
        {"untrusted chain", true, "localhost",
         "certificate verify failed: self-signed certificate in certificate chain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InMemoryTls tls;
        tls.start(c.rogue ? pki.rogueKeyPEM : pki.leafKeyPEM, c.rogue ? pki.rogueChainPEM : pki.chainPEM,
                  std::string(c.peerName));
        ASSERT_TRUE(waitFor([&] { return tls.bothSettled(); }));
        tls.queue->sync([&] {
            ASSERT_FALSE(tls.clientState->isConnected());
            EXPECT_EQ(describe(tls.clientState->error()), c.expected);
            ASSERT_FALSE(tls.serverState->isConnected());
            EXPECT_EQ(describe(tls.serverState->error()).rfind("Handshake failed (", 0), 0u)
                << describe(tls.serverState->error());
            EXPECT_FALSE(tls.client->negotiatedCipher());
        });
    }
}

TEST_F(SSLSocketWrapperTest, ServerWaitsForTheClientAndFailsWithEofWhenItLeaves) {
    InMemoryTls tls;
    tls.start(pki.leafKeyPEM, pki.chainPEM, std::nullopt, false);
    tls.queue->sync([&] {
        EXPECT_EQ(tls.pipe->outputPipe()->buffered(), 0u) << "a server speaks only after the client";
        EXPECT_FALSE(tls.serverState);
        EXPECT_FALSE(tls.server->negotiatedCipher());
        EXPECT_FALSE(tls.server->negotiatedProtocol());
        tls.crossOver->outputStream()->close();
    });
    ASSERT_TRUE(waitFor([&] {
        bool settled = false;
        tls.queue->sync([&] { settled = tls.serverState.has_value(); });
        return settled;
    }));
    tls.queue->sync([&] {
        ASSERT_FALSE(tls.serverState->isConnected());
        EXPECT_EQ(describe(tls.serverState->error()), "EOF");
    });
}

TEST_F(SSLSocketWrapperTest, ClosingTheWrapperEndsItsPlaintextStreamAndRefusesWrites) {
    InMemoryTls tls;
    tls.start(pki.leafKeyPEM, pki.chainPEM, std::string("localhost"));
    ASSERT_TRUE(waitFor([&] { return tls.bothSettled(); }));
    auto atClient = std::make_shared<Collector>();
    std::optional<ErrorPtr> closed;
    tls.queue->sync([&] {
        ASSERT_TRUE(tls.clientState->isConnected());
        atClient->start(tls.client->inputStream());
        tls.client->close(nullptr, [&](ErrorPtr e) { closed = e; });
    });
    ASSERT_TRUE(waitFor([&] {
        bool done = false;
        tls.queue->sync([&] { done = atClient->ended && closed.has_value(); });
        return done;
    }));
    tls.queue->sync([&] {
        EXPECT_TRUE(tls.client->isClosed());
        EXPECT_TRUE(tls.crossOver->isClosed());
        std::optional<OutputStreamWriteHandlerResult> result;
        tls.client->outputStream()->write(toData("x"), false,
                                          [&](OutputStreamWriteHandlerResult r) { result = r; });
        ASSERT_TRUE(result && result->isError());
        EXPECT_EQ(result->error()->description(), "Connection closed");
        // A second close only runs its completion.
        std::optional<ErrorPtr> second;
        tls.client->close(makeError<GenericError>("again"), [&](ErrorPtr e) { second = e; });
        ASSERT_TRUE(second);
        EXPECT_EQ(describe(*second), "again");
    });
}

TEST_F(SSLSocketWrapperTest, PlaintextWriteWaitsForTheWrappedStream) {
    InMemoryTls tls;
    tls.start(pki.leafKeyPEM, pki.chainPEM, std::string("localhost"));
    ASSERT_TRUE(waitFor([&] { return tls.bothSettled(); }));
    std::optional<OutputStreamWriteHandlerResult> small, large;
    tls.queue->sync([&] {
        tls.client->outputStream()->write(toData("ping"), false,
                                          [&](OutputStreamWriteHandlerResult r) { small = r; });
        ASSERT_TRUE(small) << "ciphertext the pipe takes at once completes inside the write";
        EXPECT_TRUE(small->isReady());
    });
    tls.queue->sync([&] {
        tls.client->outputStream()->write(randomData(200000, 3), false,
                                          [&](OutputStreamWriteHandlerResult r) { large = r; });
        EXPECT_FALSE(large) << "over the pipe's limit the write waits for the reader";
    });
    auto atServer = std::make_shared<Collector>();
    tls.queue->sync([&] { atServer->start(tls.server->inputStream()); });
    ASSERT_TRUE(waitFor([&] {
        bool done = false;
        tls.queue->sync([&] { done = large.has_value() && atServer->bytes.size() == 200004; });
        return done;
    }));
    tls.queue->sync([&] { EXPECT_TRUE(large->isReady()); });
}

TEST_F(SSLSocketWrapperTest, APeerThatAnswersInsideOurWriteIsServedAfterIt) {
    // In memory, the server reads our ciphertext and echoes from inside our write.
    InMemoryTls tls;
    tls.start(pki.leafKeyPEM, pki.chainPEM, std::string("localhost"));
    ASSERT_TRUE(waitFor([&] { return tls.bothSettled(); }));
    auto atClient = std::make_shared<Collector>();
    tls.queue->sync([&] {
        ASSERT_TRUE(tls.serverState->isConnected());
        std::weak_ptr<SSLSocketWrapper> weakServer = tls.server;
        tls.server->inputStream()->handler([weakServer](InputStreamEvent event, InputStreamReply reply) {
            auto server = weakServer.lock();
            reply(event.isData() ? InputStreamHandlerResult::more : InputStreamHandlerResult::done);
            if (!server || !event.isData())
                return;
            server->outputStream()->write(event.takeData(), false, [](OutputStreamWriteHandlerResult) {});
            server->inputStream()->read();
        });
        tls.server->inputStream()->read();
        atClient->start(tls.client->inputStream());
    });
    for (int i = 0; i < 20; ++i)
        tls.queue->sync([&] {
            tls.client->outputStream()->write(toData("ping " + std::to_string(i) + "\n"), false,
                                              [](OutputStreamWriteHandlerResult) {});
        });
    std::string expected;
    for (int i = 0; i < 20; ++i)
        expected += "ping " + std::to_string(i) + "\n";
    ASSERT_TRUE(waitFor([&] {
        bool done = false;
        tls.queue->sync([&] { done = atClient->bytes.size() == expected.size(); });
        return done;
    }));
    tls.queue->sync([&] { EXPECT_EQ(toString(atClient->bytes), expected); });
}

TEST_F(SSLSocketWrapperTest, ClosingTheServerSideKeepsBothCouplingsOfThePipeSocket) {
    // The pipe socket carries two will-close blocks: the TLS wrapper's and the cross-over's.
    InMemoryTls tls;
    tls.start(pki.leafKeyPEM, pki.chainPEM, std::string("localhost"));
    ASSERT_TRUE(waitFor([&] { return tls.bothSettled(); }));
    auto atClient = std::make_shared<Collector>();
    tls.queue->sync([&] {
        ASSERT_TRUE(tls.clientState->isConnected());
        atClient->start(tls.client->inputStream());
        tls.server->close();
        EXPECT_TRUE(tls.server->isSSLClosed()) << "the wrapper's own closing work ran";
        EXPECT_TRUE(tls.crossOver->isClosed()) << "the cross-over end closed with the pipe socket";
        EXPECT_TRUE(tls.client->isClosed());
    });
    ASSERT_TRUE(waitFor([&] {
        bool ended = false;
        tls.queue->sync([&] { ended = atClient->ended; });
        return ended;
    }));
}

} // namespace
} // namespace pemtrox
