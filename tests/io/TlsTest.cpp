// TLS at every layer: the engine in memory, the socket layer under DefaultSSLSocket and the
// SSLSocketWrapper (over TCP and over an in-memory pipe socket) share one suite of
// behaviours; each layer's own duties follow, then our sockets against the openssl tool.

#include <array>
#include <deque>
#include <random>

#include <gtest/gtest.h>

#include "platform/AsyncTcpSocket.h"
#include "platform/Identity.h"
#include "platform/TlsDriver.h"
#include "proxy/io/ClientSocket.h"
#include "proxy/io/CrossOverSocket.h"
#include "proxy/io/DefaultSSLSocket.h"
#include "proxy/io/GCDAsyncSocketDelegateHelper.h"
#include "proxy/io/PipeSocket.h"
#include "proxy/io/PipeStream.h"
#include "proxy/io/SSLSocketWrapper.h"
#include "proxy/io/SSLSocketWrapperError.h"
#include "tests/io/StreamTestSupport.h"
#include "tests/support/ClientSocketServer.h"
#include "tests/support/HeldHandshakeWorkers.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TlsLayerSuite.h"

namespace pemtrox {
namespace {

using test::TestCertificates;
using Status = TlsEngine::Status;
using namespace test::tls;

// MARK: the engine in memory

/// An engine whose ciphertext moves through two in-memory wires.
struct EngineEnd {
    std::unique_ptr<TlsEngine> engine;
    std::deque<std::uint8_t>* in;
    std::deque<std::uint8_t>* out;
    bool* inEnded;
    Data* everythingSent;

    EngineEnd(TlsEngine::Side side, std::deque<std::uint8_t>* input, bool* inputEnded,
              std::deque<std::uint8_t>* output, Data* sent)
        : engine(TlsEngine::make(side)), in(input), out(output), inEnded(inputEnded), everythingSent(sent) {
        engine->setIOFuncs(
            [this](std::uint8_t* destination, std::size_t& length) {
                std::size_t count = std::min(length, in->size());
                std::copy_n(in->begin(), count, destination);
                in->erase(in->begin(), in->begin() + static_cast<std::ptrdiff_t>(count));
                bool all = count == length;
                length = count;
                if (count == 0 && *inEnded)
                    return TlsEngine::ioErr;
                return all ? TlsEngine::noErr : TlsEngine::wouldBlock;
            },
            [this](const std::uint8_t* source, std::size_t& length) {
                out->insert(out->end(), source, source + length);
                everythingSent->insert(everythingSent->end(), source, source + length);
                return TlsEngine::noErr;
            });
    }
    /// Reads what plaintext the engine can give now.
    Status drain(Data& into) {
        std::uint8_t buffer[4096];
        for (;;) {
            std::size_t count = 0;
            Status status = engine->read(buffer, sizeof buffer, count);
            into.insert(into.end(), buffer, buffer + count);
            if (status != TlsEngine::noErr)
                return status;
        }
    }
    Status write(const Data& data) {
        std::size_t processed = 0;
        return engine->write(data.data(), data.size(), processed);
    }
};

struct EnginePair {
    std::deque<std::uint8_t> toServer, toClient;
    bool toServerEnded = false, toClientEnded = false;
    Data clientSent, serverSent;
    EngineEnd clientEnd{TlsEngine::Side::client, &toClient, &toClientEnded, &toServer, &clientSent};
    EngineEnd serverEnd{TlsEngine::Side::server, &toServer, &toServerEnded, &toClient, &serverSent};
    Status status[2] = {TlsEngine::wouldBlock, TlsEngine::wouldBlock};

    EnginePair(const TlsSettings& serverSettings, const TlsSettings& clientSettings) {
        EXPECT_EQ(serverEnd.engine->setCertificate(serverSettings.certificates), TlsEngine::noErr);
        if (clientSettings.peerName) {
            EXPECT_EQ(clientEnd.engine->setPeerName(*clientSettings.peerName), TlsEngine::noErr);
        }
    }
    EngineEnd& end(int side) { return side == clientSide ? clientEnd : serverEnd; }
    /// Steps both handshakes until neither waits.
    void handshake() {
        for (int i = 0; i < 20; ++i) {
            for (int side : {0, 1}) {
                if (status[side] == TlsEngine::wouldBlock)
                    status[side] = end(side).engine->handshake();
            }
        }
    }
};

// MARK: one suite over every layer

class EngineLink : public Link {
public:
    void connect(const TlsSettings& s, const TlsSettings& c) override {
        pair_ = std::make_unique<EnginePair>(s, c);
        pair_->handshake();
    }
    void connectWithClientGone(const TlsSettings& s) override {
        pair_ = std::make_unique<EnginePair>(s, clientSettings(std::nullopt));
        pair_->toServerEnded = true;
        pair_->status[serverSide] = pair_->serverEnd.engine->handshake();
        pair_->status[clientSide] = TlsEngine::closedAbort;
    }
    ErrorPtr failure(int side) override {
        if (pair_->status[side] == TlsEngine::noErr)
            return nullptr;
        if (auto error = pair_->end(side).engine->lastError())
            return error;
        return makeError<GenericError>("status " + std::to_string(pair_->status[side]));
    }
    std::optional<std::string> protocol(int side) override {
        int protocol = 0;
        pair_->end(side).engine->negotiatedProtocolVersion(protocol);
        return protocol == TlsEngine::protocolTLS13 ? "TLSv1.3" : "other";
    }
    std::optional<std::vector<Data>> peerChain() override {
        return pair_->clientEnd.engine->peerCertificates();
    }
    void send(int side, Data data) override { EXPECT_EQ(pair_->end(side).write(data), TlsEngine::noErr); }
    Data receive(int side, std::size_t) override {
        Data bytes;
        last_[side] = pair_->end(side).drain(bytes);
        return bytes;
    }
    void close(int side) override { EXPECT_EQ(pair_->end(side).engine->close(), TlsEngine::noErr); }
    std::string end(int side) override {
        Data rest;
        Status status = last_[side] == TlsEngine::wouldBlock ? pair_->end(side).drain(rest) : last_[side];
        return status == TlsEngine::closedGraceful ? "eof" : "status " + std::to_string(status);
    }

private:
    std::unique_ptr<EnginePair> pair_;
    Status last_[2] = {TlsEngine::wouldBlock, TlsEngine::wouldBlock};
};

enum class Layer { engine, socketLayer, wrapperOverTcp, wrapperInMemory };

/// Secures a plain socket with the layer's TLS socket.
std::shared_ptr<SSLSocket> secure(Layer layer, const std::shared_ptr<Socket>& plain,
                                  const std::shared_ptr<DispatchQueue>& queue, const TlsSettings& settings,
                                  SocketConnectCallback callback) {
    if (layer == Layer::socketLayer)
        return plain->startTLS(settings, std::move(callback)); // a DefaultSSLSocket
    return SSLSocketWrapper::make(plain, queue, settings, std::move(callback));
}

/// Runs `f` on the queue until it holds (or the time runs out).
bool waitOn(const std::shared_ptr<DispatchQueue>& queue, const std::function<bool()>& f,
            std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return test::waitFor(
        [&] {
            bool holds = false;
            queue->sync([&] { holds = f(); });
            return holds;
        },
        timeout);
}

/// Stops the queue once the sockets' cancelled operations have finished and nothing but the
/// caller holds it, so no socket outlives the test with its queue.
void stopWhenIdle(const std::shared_ptr<DispatchQueue>& queue) {
    test::waitFor([&] {
        queue->sync([] {});
        return queue.use_count() == 1;
    });
    queue->stop();
}

class SocketLink : public Link {
public:
    explicit SocketLink(Layer layer) : layer_(layer) {}
    ~SocketLink() override {
        queue_->sync([&] {
            if (listener_)
                listener_->stop();
            listener_.reset();
            pipe_.reset();
            for (int side : {0, 1}) {
                if (plain_[side])
                    plain_[side]->close();
                tls_[side].reset();
                state_[side].reset(); // a connected state holds its socket
                plain_[side].reset();
            }
        });
        stopWhenIdle(queue_);
    }
    void connect(const TlsSettings& s, const TlsSettings& c) override {
        makePlainPair();
        queue_->sync([&] {
            for (int side : {serverSide, clientSide})
                tls_[side] = secure(layer_, plain_[side], queue_, side == serverSide ? s : c,
                                    [this, side](SocketConnectionState state) {
                                        state_[side] = state;
                                        if (state.isConnected())
                                            in_[side] = test::drain(state.socket()->inputStream());
                                    });
        });
        EXPECT_TRUE(waitOn(queue_, [&] { return state_[0] && state_[1]; }));
    }
    void connectWithClientGone(const TlsSettings& s) override {
        makePlainPair();
        queue_->sync([&] {
            tls_[serverSide] = secure(layer_, plain_[serverSide], queue_, s,
                                      [this](SocketConnectionState state) { state_[serverSide] = state; });
            plain_[clientSide]->close();
        });
        EXPECT_TRUE(waitOn(queue_, [&] { return state_[serverSide].has_value(); }));
    }
    ErrorPtr failure(int side) override {
        ErrorPtr error;
        queue_->sync([&] { error = state_[side]->isConnected() ? nullptr : state_[side]->error(); });
        return error;
    }
    std::optional<std::string> protocol(int side) override {
        std::optional<std::string> protocol;
        queue_->sync([&] { protocol = tls_[side]->negotiatedProtocol(); });
        return protocol;
    }
    std::optional<std::vector<Data>> peerChain() override {
        std::optional<std::vector<Data>> chain;
        queue_->sync([&] { chain = tls_[clientSide]->peerCertificates(); });
        return chain;
    }
    void send(int side, Data data) override {
        auto written = std::make_shared<std::size_t>(0);
        auto all = std::make_shared<Data>(std::move(data));
        queue_->sync([&] { writeFrom(tls_[side]->outputStream(), all, written); });
        EXPECT_TRUE(waitOn(
            queue_, [&] { return *written == all->size(); }, std::chrono::seconds(30)));
    }
    Data receive(int side, std::size_t size) override {
        waitOn(
            queue_, [&] { return in_[side]->bytes.size() >= size || in_[side]->ended(); },
            std::chrono::seconds(30));
        Data bytes;
        queue_->sync([&] { bytes = std::exchange(in_[side]->bytes, {}); });
        return bytes;
    }
    void close(int side) override {
        queue_->sync([&] { tls_[side]->close(); });
    }
    std::string end(int side) override {
        waitOn(queue_, [&] { return in_[side]->ended(); });
        std::string end;
        queue_->sync([&] { end = in_[side]->trace.back(); });
        return end;
    }

    std::optional<std::string> secureClosedSocket() override {
        makePlainPair();
        std::string outcome;
        queue_->sync([&] {
            plain_[serverSide]->close();
            tls_[serverSide] = secure(layer_, plain_[serverSide], queue_, serverSettings(),
                                      [&](SocketConnectionState state) { state_[serverSide] = state; });
            outcome = (state_[serverSide] ? describe(state_[serverSide]->error()) : "-") + "; " +
                      (tls_[serverSide]->isClosed() ? "closed" : "open");
        });
        return outcome;
    }

    bool startOneSide(int side, const TlsSettings& settings,
                      std::shared_ptr<HandshakeWorkers> workers) override {
        makePlainPair();
        queue_->sync([&] {
            tls_[side] =
                secure(layer_, plain_[side], queue_, settings, [this, side](SocketConnectionState state) {
                    state_[side] = state;
                    if (state.isConnected())
                        in_[side] = test::drain(state.socket()->inputStream());
                });
            // Before any step with the peer's bytes: those come on a later turn.
            driverOf(side)->setHandshakeWorkers(std::move(workers));
            in_[1 - side] = test::drain(plain_[1 - side]->inputStream());
        });
        plainSide_ = 1 - side;
        return true;
    }
    void sendPlain(Data data) override {
        queue_->sync([&] {
            unsent_.push_back(std::move(data));
            if (unsent_.size() == 1)
                writeUnsent();
        });
    }
    std::size_t plainSent() override {
        return queue_->onQueue([&] { return plainSent_; });
    }
    Data plainReceived() override {
        return queue_->onQueue([&] { return in_[plainSide_]->bytes; });
    }
    std::size_t ciphertextWaiting() override {
        return queue_->onQueue([&] { return driverOf(1 - plainSide_)->input().size(); });
    }
    bool settled(int side) override {
        return queue_->onQueue([&] { return state_[side].has_value(); });
    }

    /// Writes the oldest unsent bytes of the plain end, then the next once they were taken.
    void writeUnsent() {
        plain_[plainSide_]->outputStream()->write(unsent_.front(), false,
                                                  [this](OutputStreamWriteHandlerResult result) {
                                                      if (result.isError())
                                                          return;
                                                      plainSent_ += unsent_.front().size();
                                                      unsent_.pop_front();
                                                      if (!unsent_.empty())
                                                          writeUnsent();
                                                  });
    }

public:
    /// The driver of a side's TLS socket.
    const std::shared_ptr<TlsDriver>& driverOf(int side) {
        if (layer_ == Layer::socketLayer)
            return static_cast<DefaultSSLSocket&>(*tls_[side]).driver();
        return static_cast<SSLSocketWrapper&>(*tls_[side]).driver();
    }
    /// Writes the bytes in pieces, each after the previous completion.
    static void writeFrom(std::shared_ptr<MyOutputStream> stream, std::shared_ptr<Data> data,
                          std::shared_ptr<std::size_t> written) {
        std::size_t n = std::min<std::size_t>(10000, data->size() - *written);
        std::weak_ptr<MyOutputStream> weak = stream;
        stream->write(Data(data->begin() + static_cast<std::ptrdiff_t>(*written),
                           data->begin() + static_cast<std::ptrdiff_t>(*written + n)),
                      false, [weak, data, written, n](OutputStreamWriteHandlerResult result) {
                          if (result.isError())
                              return;
                          *written += n;
                          if (auto s = weak.lock(); s && *written < data->size())
                              writeFrom(s, data, written);
                      });
    }
    void makePlainPair() {
        if (layer_ == Layer::wrapperInMemory) {
            queue_->sync([&] {
                pipe_ = PipeSocket::make(queue_);
                plain_[serverSide] = pipe_;
                plain_[clientSide] = CrossOverSocket::make(pipe_);
            });
            return;
        }
        queue_->sync([&] {
            listener_ = test::ClientSocketServer::start(queue_);
            int port = listener_->port();
            listener_->onAccept = [this](std::shared_ptr<ClientSocket> accepted) {
                plain_[serverSide] = accepted;
            };
            plain_[clientSide] = DefaultSocket::connecting(InetAddress("127.0.0.1", "127.0.0.1"), port,
                                                           queue_, [](SocketConnectionState) {});
        });
        EXPECT_TRUE(waitOn(queue_, [&] { return plain_[serverSide] != nullptr; }));
    }

    Layer layer_;
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::make("tls-link");
    std::shared_ptr<test::ClientSocketServer> listener_;
    std::shared_ptr<Socket> plain_[2];
    std::shared_ptr<PipeSocket> pipe_; ///< the server's plain socket in memory
    std::shared_ptr<SSLSocket> tls_[2];
    std::optional<SocketConnectionState> state_[2];
    std::shared_ptr<test::EventLog> in_[2];
    int plainSide_ = clientSide; ///< the plain end, with one side's TLS alone
    std::size_t plainSent_ = 0;
    std::deque<Data> unsent_;
};

void PrintTo(Layer layer, std::ostream* os) {
    *os << std::array{"engine", "socketLayer", "wrapperOverTcp", "wrapperInMemory"}[static_cast<int>(layer)];
}

template <class L, class... Args> std::function<std::unique_ptr<Link>()> linkOf(Args... args) {
    return [=] { return std::unique_ptr<Link>(std::make_unique<L>(args...)); };
}

INSTANTIATE_TEST_SUITE_P(
    Tls, TlsLayers,
    ::testing::Values(LayerCase{"Engine", linkOf<EngineLink>(), "status -36"},
                      LayerCase{"SocketLayer", linkOf<SocketLink>(Layer::socketLayer),
                                "Socket closed by remote peer", false},
                      LayerCase{"WrapperOverTcp", linkOf<SocketLink>(Layer::wrapperOverTcp),
                                "Connection closed by peer"},
                      LayerCase{"WrapperInMemory", linkOf<SocketLink>(Layer::wrapperInMemory), "EOF"}),
    layerName);

// MARK: the engine's own duties

class TlsEngineTest : public ::testing::Test {
protected:
    test::TrustTestRoot trust;
};

TEST_F(TlsEngineTest, NamesGetSniAndAddressesAreCheckedAgainstTheCertificate) {
    const std::pair<const char*, bool> cases[] = {
        {"localhost", true}, {"127.0.0.1", false}, {"::1", false}, {"[::1]", false}};
    for (auto [name, sni] : cases) {
        SCOPED_TRACE(name);
        EnginePair pair(serverSettings(), clientSettings(name));
        pair.handshake();
        ASSERT_EQ(pair.status[clientSide], TlsEngine::noErr) << describe(pair.clientEnd.engine->lastError());
        // SNI travels in the clear in the ClientHello.
        EXPECT_EQ(toString(pair.clientSent).find(name) != std::string::npos, sni);
        std::uint16_t cipher = 0;
        EXPECT_EQ(pair.serverEnd.engine->negotiatedCipher(cipher), TlsEngine::noErr);
        EXPECT_TRUE(cipher >= 0x1301 && cipher <= 0x1305) << cipher;
    }
}

TEST_F(TlsEngineTest, TheCloserStillReadsWhileItsOwnLaterWritesAreRefused) {
    EnginePair pair(serverSettings(), clientSettings("localhost"));
    pair.handshake();
    ASSERT_EQ(pair.status[clientSide], TlsEngine::noErr);
    std::size_t before = pair.toClient.size();
    EXPECT_EQ(pair.serverEnd.engine->close(), TlsEngine::noErr);
    EXPECT_GT(pair.toClient.size(), before) << "the close alert goes out through the write callback";
    EXPECT_EQ(pair.serverEnd.engine->close(), TlsEngine::noErr);
    std::size_t processed = 1;
    EXPECT_EQ(pair.serverEnd.engine->write(toData("x").data(), 1, processed), TlsEngine::closedGraceful);
    EXPECT_EQ(processed, 0u);
    Data received;
    EXPECT_EQ(pair.clientEnd.drain(received), TlsEngine::closedGraceful);
    ASSERT_EQ(pair.clientEnd.write(toData("still coming")), TlsEngine::noErr);
    Data late;
    EXPECT_EQ(pair.serverEnd.drain(late), TlsEngine::wouldBlock);
    EXPECT_EQ(toString(late), "still coming");
}

TEST_F(TlsEngineTest, InputEndingFailingOrGarbageFailsWithItsOwnStatusForGood) {
    struct Case {
        const char* name;
        std::function<Status(EnginePair&)> run;
        Status status;
        const char* text; // the start of lastError, or "" when the callback's status says it all
    } cases[] = {
        {"end during the handshake",
         [](EnginePair& p) {
             p.clientEnd.engine->handshake();
             p.toClientEnded = true;
             return p.clientEnd.engine->handshake();
         },
         TlsEngine::ioErr, ""},
        {"half a record, then the end",
         [](EnginePair& p) {
             p.handshake();
             Data tickets;
             p.clientEnd.drain(tickets);
             p.serverEnd.write(randomData(1000, 1));
             p.toClient.resize(p.toClient.size() / 2);
             p.toClientEnded = true;
             Data received;
             Status status = p.clientEnd.drain(received);
             EXPECT_TRUE(received.empty());
             return status;
         },
         TlsEngine::ioErr, ""},
        {"plain text instead of a hello",
         [](EnginePair& p) {
             for (char c : std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n"))
                 p.toServer.push_back(static_cast<std::uint8_t>(c));
             return p.serverEnd.engine->handshake();
         },
         TlsEngine::protocolError, "TLS handshake failed: "},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnginePair pair(serverSettings(), clientSettings("localhost"));
        EXPECT_EQ(c.run(pair), c.status);
        auto& failed = c.status == TlsEngine::protocolError ? pair.serverEnd : pair.clientEnd;
        EXPECT_EQ(describe(failed.engine->lastError()).rfind(c.text, 0), 0u)
            << describe(failed.engine->lastError());
        Data none;
        EXPECT_EQ(failed.drain(none), c.status) << "the failure sticks";
    }
}

TEST(TlsEngineSetUp, MisuseIdentitiesAndAddressLiterals) {
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
    auto clientEngine = TlsEngine::make(TlsEngine::Side::client);
    EXPECT_EQ(clientEngine->setPeerName(""), TlsEngine::paramErr);
    EXPECT_EQ(clientEngine->setPeerName(std::string("a\0b", 3)), TlsEngine::paramErr);
    EXPECT_EQ(clientEngine->close(), TlsEngine::noErr); // before any connection: nothing to send

    const auto& pki = TestCertificates::shared();
    EXPECT_EQ(Identity::fromPEM(pki.leafKeyPEM, pki.chainPEM)->chain().size(), 1u);
    EXPECT_THROW(Identity::fromPEM(pki.rogueKeyPEM, pki.chainPEM), TlsError);
    EXPECT_THROW(Identity::fromPEM("not a key", pki.chainPEM), TlsError);
    EXPECT_THROW(Identity::fromPEM(pki.leafKeyPEM, "no certificates"), TlsError);

    for (const char* name : {"127.0.0.1", "::1", "[::1]", "fe80::1%eth0", "[fe80::1%25eth0]"})
        EXPECT_TRUE(TlsEngine::isIPLiteral(name)) << name;
    for (const char* name : {"localhost", "example.com", "1.2.3", "1.2.3.4.example", ""})
        EXPECT_FALSE(TlsEngine::isIPLiteral(name)) << name;
}

// MARK: the wrapper's own duties, over an in-memory pipe socket

class SSLSocketWrapperTest : public ::testing::Test {
protected:
    test::TrustTestRoot trust;
    SocketLink link{Layer::wrapperInMemory};
    std::shared_ptr<DispatchQueue>& queue = link.queue_;
    SSLSocketWrapper& wrapper(int side) { return static_cast<SSLSocketWrapper&>(*link.tls_[side]); }
    std::optional<OutputStreamWriteHandlerResult> write(int side, Data data) {
        std::optional<OutputStreamWriteHandlerResult> result;
        link.tls_[side]->outputStream()->write(std::move(data), false,
                                               [&result](OutputStreamWriteHandlerResult r) { result = r; });
        return result;
    }
};

TEST_F(SSLSocketWrapperTest, AServerSpeaksOnlyAfterTheClient) {
    link.makePlainPair();
    queue->sync([&] {
        link.tls_[serverSide] = SSLSocketWrapper::makeOverPipeSocket(link.pipe_, queue, serverSettings(),
                                                                     [](SocketConnectionState) {});
        EXPECT_EQ(link.pipe_->outputPipe()->buffered(), 0u);
        EXPECT_FALSE(link.tls_[serverSide]->negotiatedCipher());
        EXPECT_FALSE(link.tls_[serverSide]->negotiatedProtocol());
        link.tls_[serverSide]->close();
    });
}

TEST_F(SSLSocketWrapperTest, ClosingEndsThePlaintextAndLaterWritesFailOnEitherSide) {
    link.connect(serverSettings(), clientSettings("localhost"));
    std::vector<std::string> closes;
    queue->sync([&] {
        EXPECT_FALSE(wrapper(clientSide).trust());
        wrapper(clientSide).close(nullptr, [&](ErrorPtr e) { closes.push_back(describe(e)); });
        // A second close only runs its completion.
        wrapper(clientSide).close(makeError<GenericError>("again"), [&](ErrorPtr e) {
            closes.push_back(describe(e));
        });
        EXPECT_EQ(closes, (std::vector<std::string>{"", "again"}));
        EXPECT_TRUE(link.plain_[clientSide]->isClosed());
        auto result = write(clientSide, toData("x"));
        ASSERT_TRUE(result && result->isError());
        EXPECT_EQ(describe(result->error()), "Connection closed");
    });
    EXPECT_EQ(link.end(clientSide), "eof");
    EXPECT_EQ(link.end(serverSide), "eof");
    queue->sync([&] {
        EXPECT_TRUE(wrapper(serverSide).isSSLClosed());
        auto result = write(serverSide, toData("late"));
        ASSERT_TRUE(result && result->isError());
        EXPECT_EQ(describe(result->error()), "SSL connection is closed");
    });
}

TEST_F(SSLSocketWrapperTest, APlaintextWriteCompletesWhenTheWrappedStreamTookItsCiphertext) {
    link.connect(serverSettings(), clientSettings("localhost"));
    std::optional<OutputStreamWriteHandlerResult> large;
    queue->sync([&] {
        link.in_[serverSide]->holdReplies = true; // the server's reader takes its time
        auto small = write(clientSide, toData("ping"));
        ASSERT_TRUE(small) << "ciphertext the pipe takes at once completes inside the write";
        EXPECT_TRUE(small->isReady());
        link.tls_[clientSide]->outputStream()->write(randomData(200000, 3), false,
                                                     [&](OutputStreamWriteHandlerResult r) { large = r; });
        EXPECT_FALSE(large) << "over the pipe's limit the write waits for the reader";
        link.in_[serverSide]->holdReplies = false;
        for (auto& reply : std::exchange(link.in_[serverSide]->heldReplies, {}))
            reply(InputStreamHandlerResult::more);
        link.tls_[serverSide]->inputStream()->read();
    });
    EXPECT_EQ(link.receive(serverSide, 200004).size(), 200004u);
    EXPECT_TRUE(waitOn(queue, [&] { return large.has_value(); }));
    queue->sync([&] { EXPECT_TRUE(large->isReady()); });
}

TEST_F(SSLSocketWrapperTest, APeerThatAnswersInsideOurWriteIsServedAfterIt) {
    link.connect(serverSettings(), clientSettings("localhost"));
    queue->sync([&] {
        // In memory, the server reads our ciphertext and echoes from inside our write.
        std::weak_ptr<SSLSocket> weakServer = link.tls_[serverSide];
        link.tls_[serverSide]->inputStream()->handler(
            [weakServer](InputStreamEvent event, InputStreamReply reply) {
                auto echo = weakServer.lock();
                reply(event.isData() ? InputStreamHandlerResult::more : InputStreamHandlerResult::done);
                if (!echo || !event.isData())
                    return;
                echo->outputStream()->write(event.takeData(), false, [](OutputStreamWriteHandlerResult) {});
                echo->inputStream()->read();
            });
        link.tls_[serverSide]->inputStream()->read();
    });
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        expected += "ping " + std::to_string(i) + "\n";
        queue->sync([&] { write(clientSide, toData("ping " + std::to_string(i) + "\n")); });
    }
    EXPECT_EQ(toString(link.receive(clientSide, expected.size())), expected);
}

TEST_F(SSLSocketWrapperTest, AHelloThatEndsWhileItsFirstPartIsOnAWorkerFailsTheServerOnceTheStepIsBack) {
    auto workers = test::HeldHandshakeWorkers::make();
    Data hello = clientHello();
    Data firstHalf(hello.begin(), hello.begin() + static_cast<std::ptrdiff_t>(hello.size() / 2));
    link.makePlainPair();
    queue->sync([&] {
        link.tls_[serverSide] = SSLSocketWrapper::makeOverPipeSocket(
            link.pipe_, queue, serverSettings(),
            [&](SocketConnectionState state) { link.state_[serverSide] = state; });
        wrapper(serverSide).driver()->setHandshakeWorkers(workers);
        link.plain_[clientSide]->outputStream()->write(firstHalf, false, nullptr);
    });
    ASSERT_TRUE(workers->waitForHeld(1));
    queue->sync([&] {
        // The client leaves while its first bytes are on the worker: the step comes back
        // to an ended input, which the next step must find rather than wait for more.
        link.plain_[clientSide]->outputStream()->close();
        EXPECT_FALSE(wrapper(serverSide).negotiatedProtocol())
            << "nothing is read off the engine a worker holds";
    });
    ASSERT_TRUE(waitOn(queue, [&] { return link.pipe_->inputPipe()->isClosed(); }));
    EXPECT_FALSE(waitOn(
        queue, [&] { return link.state_[serverSide].has_value(); }, std::chrono::milliseconds(50)))
        << "no outcome while the step is away";
    workers->releaseOne();
    ASSERT_TRUE(waitOn(queue, [&] { return link.state_[serverSide].has_value(); }));
    queue->sync([&] {
        EXPECT_EQ(describe(link.state_[serverSide]->error()), "EOF");
        EXPECT_EQ(link.pipe_->outputPipe()->buffered(), 0u) << "a half hello is answered with nothing";
    });
    EXPECT_EQ(workers->held(), 0u);
}

TEST_F(SSLSocketWrapperTest, ClosingTheServerSideKeepsBothCouplingsOfThePipeSocket) {
    // The pipe socket carries two will-close blocks: the TLS wrapper's and the cross-over's.
    link.connect(serverSettings(), clientSettings("localhost"));
    queue->sync([&] {
        link.tls_[serverSide]->close();
        EXPECT_TRUE(wrapper(serverSide).isSSLClosed()) << "the wrapper's own closing work ran";
        EXPECT_TRUE(link.plain_[clientSide]->isClosed()) << "the cross-over end closed with the pipe socket";
        EXPECT_TRUE(link.tls_[clientSide]->isClosed());
    });
    EXPECT_EQ(link.end(clientSide), "eof");
}

// MARK: our sockets against the openssl tool over loopback

class TlsRealPeers : public ::testing::TestWithParam<Layer> {
protected:
    const TestCertificates& pki = TestCertificates::shared();
    test::TrustTestRoot trust;
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::make("tls-peers");

    void TearDown() override { stopWhenIdle(queue); }
};

TEST_P(TlsRealPeers, OurClientAgainstOpensslServer) {
    struct Case {
        const char* name;
        const char* options;
        const char* peerName;
        const char* protocol;
        const char* cipher;
    } cases[] = {
        {"TLS 1.3", "-tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256", "localhost", "TLSv1.3",
         "TLS_AES_128_GCM_SHA256"},
        {"TLS 1.2", "-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", "localhost", "TLSv1.2",
         "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"},
        {"TLS 1.2 to an address", "-tls1_2 -cipher ECDHE-RSA-AES256-SHA384", "127.0.0.1", "TLSv1.2",
         "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ChildProcess server("exec openssl s_server -accept 127.0.0.1:0 -naccept 1 -www -key '" +
                                  pki.leafKeyFile.string() + "' -cert '" + pki.leafFile.string() +
                                  "' -cert_chain '" + pki.intermediateFile.string() + "' " + c.options);
        int port = test::acceptedPort(server.waitForLine("ACCEPT"));
        ASSERT_GT(port, 0) << server.output();

        std::shared_ptr<DefaultSocket> tcp;
        std::shared_ptr<SSLSocket> tls;
        std::optional<SocketConnectionState> state;
        std::shared_ptr<test::EventLog> page;
        queue->sync([&] {
            tcp = DefaultSocket::connecting(
                InetAddress("127.0.0.1", "127.0.0.1"), port, queue, [&](SocketConnectionState connected) {
                    ASSERT_TRUE(connected.isConnected()) << describe(connected.error());
                    tls = secure(GetParam(), tcp, queue, clientSettings(c.peerName),
                                 [&](SocketConnectionState s) { state = s; });
                });
        });
        ASSERT_TRUE(waitOn(queue, [&] { return state.has_value(); }));
        queue->sync([&] {
            ASSERT_TRUE(state->isConnected()) << describe(state->error());
            EXPECT_EQ(tls->negotiatedProtocol(), c.protocol);
            EXPECT_EQ(tls->negotiatedCipher(), c.cipher);
            page = test::drain(tls->inputStream());
            tls->outputStream()->write(toData("GET / HTTP/1.0\r\n\r\n"), true,
                                       [](OutputStreamWriteHandlerResult) {});
        });
        if (page) {
            ASSERT_TRUE(waitOn(queue, [&] { return page->ended(); }));
            EXPECT_EQ(page->text().rfind("HTTP/1.0 200 ok", 0), 0u) << page->text();
        }
        queue->sync([&] { tls->close(); });
    }
}

TEST_P(TlsRealPeers, OurServerAgainstOpensslClient) {
    for (bool rejected : {false, true}) {
        SCOPED_TRACE(rejected ? "our certificate rejected" : "accepted");
        std::shared_ptr<test::ClientSocketServer> listener;
        std::shared_ptr<SSLSocket> tls;
        std::optional<SocketConnectionState> state;
        std::shared_ptr<test::EventLog> request;
        std::optional<std::string> protocol;
        std::optional<std::vector<Data>> peerCertificates;
        int port = 0;
        queue->sync([&] {
            listener = test::ClientSocketServer::start(queue);
            port = listener->port();
            listener->onAccept = [&](std::shared_ptr<ClientSocket> accepted) {
                // A chain from a root the client does not trust: it answers with an alert.
                tls = secure(GetParam(), accepted, queue, serverSettings(rejected),
                             [&](SocketConnectionState s) {
                                 state = s;
                                 if (!s.isConnected())
                                     return;
                                 // Answer the first line, then close once the answer has left: the answer and
                                 // the close alert still go out.
                                 request = test::EventLog::make();
                                 request->afterReply = [&](InputStreamEvent::Kind) {
                                     tls->outputStream()->write(
                                         toData("world\n"), true, [&](OutputStreamWriteHandlerResult) {
                                             protocol = tls->negotiatedProtocol();
                                             peerCertificates = tls->peerCertificates();
                                             tls->close();
                                         });
                                 };
                                 tls->inputStream()->handler(request->handler());
                                 tls->inputStream()->readTo(toData("\n"));
                             });
            };
        });
        test::ChildProcess client(
            "echo hello | exec openssl s_client -quiet -verify_return_error -connect 127.0.0.1:" +
            std::to_string(port) + " -servername localhost -CAfile '" + pki.rootFile.string() + "'");
        std::string output = client.readAll();
        int exit = client.wait();
        ASSERT_TRUE(waitOn(queue, [&] { return state.has_value() && (rejected || protocol.has_value()); }));
        queue->sync([&] {
            if (rejected) {
                EXPECT_NE(exit, 0) << output;
                ASSERT_FALSE(state->isConnected());
                EXPECT_EQ(tlsStatusOf(state->error()), TlsEngine::peerRejectedCertificate)
                    << describe(state->error());
                tls->close();
            } else {
                EXPECT_NE(output.find("world"), std::string::npos) << output;
                EXPECT_EQ(exit, 0) << "the client verified our chain and saw our close alert: " << output;
                ASSERT_TRUE(state->isConnected());
                EXPECT_EQ(request->text(), "hello\n");
                EXPECT_EQ(protocol, "TLSv1.3");
                EXPECT_FALSE(peerCertificates) << "the client presented no certificate";
            }
            listener->stop();
            tls.reset();
        });
    }
}

INSTANTIATE_TEST_SUITE_P(Tls, TlsRealPeers, ::testing::Values(Layer::socketLayer, Layer::wrapperOverTcp),
                         [](const auto& info) {
                             return std::string(info.param == Layer::socketLayer ? "SocketLayer" : "Wrapper");
                         });

} // namespace
} // namespace pemtrox
