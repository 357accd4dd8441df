// TLS over connections on the tunnel's stack: the shared TLS layer suite with our wrapper
// on the stack's side and an engine as the app, and a handshake step that is on a worker
// when the app resets the connection.

#include <map>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/TCPSocket.h"
#include "lwip/tcp.h"
#include "platform/TlsDriver.h"
#include "proxy/io/SSLSocketWrapper.h"
#include "tests/io/StreamTestSupport.h"
#include "tests/support/HeldHandshakeWorkers.h"
#include "tests/support/TlsLayerSuite.h"
#include "tests/support/tunnel/StackHarness.h"

namespace pemtrox {
namespace {

using namespace test::tls;
using test::TcpPeer;

/// One stack for every link of a test, with a listener whose connections go to the link
/// that waits for the app's port; torn down (and checked) when the last link lets go.
class SharedStack : public test::StackHarness {
public:
    using Accept = std::function<void(std::shared_ptr<TCPSocket>)>;

    static std::shared_ptr<SharedStack> get() {
        static std::weak_ptr<SharedStack> current;
        if (auto stack = current.lock())
            return stack;
        auto stack = std::make_shared<SharedStack>();
        stack->SetUp();
        if (!stack->iface)
            return nullptr; // the stack ran in this process already (the test is skipped)
        stack->listen();
        current = stack;
        return stack;
    }
    ~SharedStack() override { TearDown(); }
    void TestBody() override {}

    /// On the queue: the next connection from the app's `port` goes to `accept`.
    std::map<std::uint16_t, Accept> accepts;
    std::uint16_t nextPort = 40000;

private:
    void listen() {
        onStack([&] {
            tcp_pcb* listener = tcp_listen_with_backlog(tcp_new_ip_type(IPADDR_TYPE_ANY), 255);
            tcp_arg(listener, this);
            tcp_accept(listener, [](void* arg, tcp_pcb* pcb, err_t) -> err_t {
                auto& self = *static_cast<SharedStack*>(arg);
                tcp_nagle_disable(pcb);
                auto socket = TCPSocket::make(pcb, self.queue);
                auto found = self.accepts.find(pcb->remote_port);
                if (found == self.accepts.end())
                    socket->close(makeError<GenericError>("nobody waits for it"));
                else
                    found->second(socket);
                return ERR_OK;
            });
        });
    }
};

/// Writes the bytes in pieces of 10000, each after the previous completion.
void writeInPieces(std::shared_ptr<MyOutputStream> stream, std::shared_ptr<Data> data,
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
                          writeInPieces(s, data, written);
                  });
}

/// The app's side of a connection on the stack: a TLS engine on the test's thread over a
/// crafted TCP peer, which sends no more than the stack's window takes.
class AppEnd {
public:
    explicit AppEnd(TcpPeer& peer) : peer_(peer) {}
    void start(const TlsSettings& settings) {
        engine = TlsEngine::make(TlsEngine::Side::client);
        if (settings.peerName) {
            EXPECT_EQ(engine->setPeerName(*settings.peerName), TlsEngine::noErr);
        }
        engine->setIOFuncs(
            [this](std::uint8_t* destination, std::size_t& length) {
                std::size_t n = std::min(length, peer_.received.size() - consumed_);
                std::copy_n(peer_.received.data() + consumed_, n, destination);
                consumed_ += n;
                bool all = n == length;
                length = n;
                if (n == 0 && peer_.finReceived)
                    return TlsEngine::ioErr;
                return all ? TlsEngine::noErr : TlsEngine::wouldBlock;
            },
            [this](const std::uint8_t* source, std::size_t& length) {
                outbox_.insert(outbox_.end(), source, source + length);
                return TlsEngine::noErr;
            });
    }
    /// Sends what the engine wrote, in segments the stack's window has room for.
    void flush() {
        for (std::size_t at = 0; at < outbox_.size();) {
            std::size_t n = std::min<std::size_t>(1000, outbox_.size() - at);
            if (!peer_.waitUntil([&] {
                    std::uint32_t inFlight = peer_.nextSeq - peer_.stackAcked;
                    return inFlight + n <= std::min<std::uint32_t>(peer_.stackWindow, 32768);
                })) {
                ADD_FAILURE() << "the stack's window stayed shut";
                break;
            }
            peer_.send(Data(outbox_.begin() + static_cast<std::ptrdiff_t>(at),
                            outbox_.begin() + static_cast<std::ptrdiff_t>(at + n)));
            at += n;
        }
        outbox_.clear();
    }
    void handshakeStep() {
        if (status == TlsEngine::wouldBlock)
            status = engine->handshake();
        flush();
    }
    /// Decrypts what has arrived; true once the plaintext has ended.
    bool drain() {
        std::uint8_t buffer[4096];
        for (;;) {
            std::size_t count = 0;
            lastRead = engine->read(buffer, sizeof buffer, count);
            plain.insert(plain.end(), buffer, buffer + count);
            if (lastRead != TlsEngine::noErr)
                break;
        }
        flush(); // a read may answer (a key update)
        return lastRead != TlsEngine::wouldBlock;
    }

    std::unique_ptr<TlsEngine> engine;
    TlsEngine::Status status = TlsEngine::wouldBlock, lastRead = TlsEngine::wouldBlock;
    Data plain;

private:
    TcpPeer& peer_;
    std::size_t consumed_ = 0;
    Data outbox_;
};

class StackLink : public Link {
public:
    explicit StackLink(std::shared_ptr<SharedStack> stack)
        : stack_(std::move(stack)), peer_(*stack_, "198.18.72.254", stack_->nextPort++, "203.0.113.10", 443),
          app_(peer_) {}
    ~StackLink() override {
        stack_->onStack([&] {
            stack_->accepts.erase(peer_.clientPort);
            if (plain_)
                plain_->close(makeError<GenericError>("test over"));
            tls_.reset();
            state_.reset(); // a connected state holds its socket
            plain_.reset();
        });
        std::erase(stack_->peers, &peer_);
    }
    void connect(const TlsSettings& s, const TlsSettings& c) override {
        acceptWith(s);
        ASSERT_TRUE(peer_.connect());
        app_.start(c);
        EXPECT_TRUE(peer_.waitUntil([&] {
            app_.handshakeStep();
            return app_.status != TlsEngine::wouldBlock &&
                   stack_->onStack([&] { return state_.has_value(); });
        }));
    }
    void connectWithClientGone(const TlsSettings& s) override {
        acceptWith(s);
        ASSERT_TRUE(peer_.connect());
        peer_.fin();
        EXPECT_TRUE(peer_.waitUntil([&] { return stack_->onStack([&] { return state_.has_value(); }); }));
    }
    ErrorPtr failure(int side) override {
        if (side == clientSide && oneSide_ != clientSide) {
            if (app_.status == TlsEngine::noErr)
                return nullptr;
            auto error = app_.engine->lastError();
            return error ? error : makeError<GenericError>("status " + std::to_string(app_.status));
        }
        return stack_->onStack([&]() -> ErrorPtr {
            if (!state_)
                return makeError<GenericError>("no outcome");
            return state_->isConnected() ? nullptr : state_->error();
        });
    }
    std::optional<std::string> protocol(int side) override {
        if (side == serverSide)
            return stack_->onStack([&] { return tls_->negotiatedProtocol(); });
        int protocol = 0;
        app_.engine->negotiatedProtocolVersion(protocol);
        return protocol == TlsEngine::protocolTLS13 ? "TLSv1.3" : "other";
    }
    std::optional<std::vector<Data>> peerChain() override { return app_.engine->peerCertificates(); }
    void send(int side, Data data) override {
        if (side == clientSide) {
            std::size_t processed = 0;
            EXPECT_EQ(app_.engine->write(data.data(), data.size(), processed), TlsEngine::noErr);
            app_.flush();
            return;
        }
        auto written = std::make_shared<std::size_t>(0);
        auto all = std::make_shared<Data>(std::move(data));
        stack_->onStack([&] { writeInPieces(tls_->outputStream(), all, written); });
        EXPECT_TRUE(peer_.waitUntil([&] { return stack_->onStack([&] { return *written == all->size(); }); },
                                    std::chrono::seconds(60)));
    }
    Data receive(int side, std::size_t size) override {
        if (side == clientSide && oneSide_ != clientSide) {
            peer_.waitUntil([&] { return app_.drain() || app_.plain.size() >= size; },
                            std::chrono::seconds(60));
            return std::exchange(app_.plain, {});
        }
        peer_.waitUntil(
            [&] {
                sendWhatTheWindowTakes(); // what the app has still to send, one-sided
                return stack_->onStack([&] { return in_->bytes.size() >= size || in_->ended(); });
            },
            std::chrono::seconds(60));
        return stack_->onStack([&] { return std::exchange(in_->bytes, {}); });
    }
    void close(int side) override {
        if (side == serverSide) {
            stack_->onStack([&] { tls_->close(); });
            return;
        }
        app_.engine->close();
        app_.flush();
    }
    std::string end(int side) override {
        if (side == clientSide) {
            peer_.waitUntil([&] { return app_.drain(); });
            return app_.lastRead == TlsEngine::closedGraceful ? "eof"
                                                              : "status " + std::to_string(app_.lastRead);
        }
        peer_.waitUntil([&] { return stack_->onStack([&] { return in_ && in_->ended(); }); });
        return stack_->onStack([&] { return in_ ? in_->trace.back() : std::string("not connected"); });
    }
    std::optional<std::string> secureClosedSocket() override {
        std::optional<std::string> outcome;
        stack_->onStack([&] {
            stack_->accepts[peer_.clientPort] = [this, &outcome](std::shared_ptr<TCPSocket> socket) {
                plain_ = socket;
                socket->close();
                tls_ = SSLSocketWrapper::make(socket, stack_->queue, serverSettings(),
                                              [this](SocketConnectionState state) { state_ = state; });
                outcome = (state_ ? describe(state_->error()) : "-") + "; " +
                          (tls_->isClosed() ? "closed" : "open");
            };
        });
        EXPECT_TRUE(peer_.connect());
        EXPECT_TRUE(peer_.waitUntil([&] { return stack_->onStack([&] { return outcome.has_value(); }); }));
        return outcome;
    }

    // One-sided: our TLS end (either side) on the stack's connection, the app's end plain.
    bool startOneSide(int side, const TlsSettings& settings,
                      std::shared_ptr<HandshakeWorkers> workers) override {
        oneSide_ = side;
        stack_->onStack([&] {
            stack_->accepts[peer_.clientPort] = [this, settings, workers](std::shared_ptr<TCPSocket> socket) {
                plain_ = socket;
                auto tls = SSLSocketWrapper::make(socket, stack_->queue, settings,
                                                  [this](SocketConnectionState state) {
                                                      state_ = state;
                                                      if (state.isConnected())
                                                          in_ = test::drain(state.socket()->inputStream());
                                                  });
                // Before any step with the peer's bytes: those come on a later turn.
                tls->driver()->setHandshakeWorkers(workers);
                tls_ = tls;
            };
        });
        return peer_.connect();
    }
    void sendPlain(Data data) override {
        unsent_.insert(unsent_.end(), data.begin(), data.end());
        sendWhatTheWindowTakes();
    }
    std::size_t plainSent() override {
        sendWhatTheWindowTakes();
        return plainSent_;
    }
    Data plainReceived() override {
        sendWhatTheWindowTakes();
        return Data(peer_.received.begin(), peer_.received.end());
    }
    std::size_t ciphertextWaiting() override {
        sendWhatTheWindowTakes();
        return stack_->onStack(
            [&] { return static_cast<SSLSocketWrapper&>(*tls_).driver()->input().size(); });
    }
    bool settled(int) override {
        sendWhatTheWindowTakes();
        return stack_->onStack([&] { return state_.has_value(); });
    }

private:
    /// Sends the app's unsent bytes as far as the stack's window has room now, without waiting.
    void sendWhatTheWindowTakes() {
        stack_->pump();
        while (plainSent_ < unsent_.size()) {
            std::uint32_t inFlight = peer_.nextSeq - peer_.stackAcked;
            std::uint32_t room = std::min<std::uint32_t>(peer_.stackWindow, 32768);
            std::size_t n = std::min<std::size_t>(1000, unsent_.size() - plainSent_);
            if (inFlight + n > room)
                break;
            peer_.send(Data(unsent_.begin() + static_cast<std::ptrdiff_t>(plainSent_),
                            unsent_.begin() + static_cast<std::ptrdiff_t>(plainSent_ + n)));
            plainSent_ += n;
            stack_->pump();
        }
    }

    /// The next connection gets our TLS with the settings, its plaintext read as it comes.
    void acceptWith(const TlsSettings& settings) {
        stack_->onStack([&] {
            stack_->accepts[peer_.clientPort] = [this, settings](std::shared_ptr<TCPSocket> socket) {
                plain_ = socket;
                tls_ = SSLSocketWrapper::make(socket, stack_->queue, settings,
                                              [this](SocketConnectionState state) {
                                                  state_ = state;
                                                  if (state.isConnected())
                                                      in_ = test::drain(state.socket()->inputStream());
                                              });
            };
        });
    }

    std::shared_ptr<SharedStack> stack_;
    TcpPeer peer_;
    AppEnd app_;
    // On the stack's queue:
    std::shared_ptr<TCPSocket> plain_;
    std::shared_ptr<SSLSocket> tls_;
    std::optional<SocketConnectionState> state_;
    std::shared_ptr<test::EventLog> in_;
    int oneSide_ = -1; ///< our TLS end's side, with the app's end plain
    Data unsent_;      ///< everything the app's plain end was given to send
    std::size_t plainSent_ = 0;
};

std::unique_ptr<Link> stackLink() {
    auto stack = SharedStack::get();
    if (!stack)
        return nullptr;
    return std::make_unique<StackLink>(std::move(stack));
}

INSTANTIATE_TEST_SUITE_P(Tls, TlsLayers, ::testing::Values(LayerCase{"WrapperOverStack", stackLink, "EOF"}),
                         layerName);

// A server's answer to the app's hello is on a worker when the connection ends: the app
// resets it, or it closes with the answer already queued behind the close. The step that
// comes back must not touch the socket or the stack, and the driver must not stay behind.
enum class WhileAway { appResets, closedWithTheAnswerQueued };

class TlsOverStackStepAway : public ::testing::TestWithParam<WhileAway> {};

TEST_P(TlsOverStackStepAway, TheStepComingBackTouchesNothing) {
    test::TrustTestRoot trust;
    auto stack = SharedStack::get();
    if (!stack)
        GTEST_SKIP() << "the stack ran in this process already";
    auto workers = test::HeldHandshakeWorkers::make();
    TcpPeer peer(*stack, "198.18.72.254", stack->nextPort++, "203.0.113.10", 443);
    std::shared_ptr<TCPSocket> plain; // on the stack's queue, like the rest
    std::shared_ptr<SSLSocketWrapper> tls;
    std::weak_ptr<TlsDriver> driver;
    std::vector<std::string> outcomes;
    auto heapAtStart = stack->onStack([] { return LWIPStack::heapUsed(); });
    stack->onStack([&] {
        stack->accepts[peer.clientPort] = [&](std::shared_ptr<TCPSocket> socket) {
            plain = socket;
            tls = SSLSocketWrapper::make(
                socket, stack->queue, serverSettings(), [&](SocketConnectionState state) {
                    outcomes.push_back(state.isConnected() ? "connected" : describe(state.error()));
                });
            tls->driver()->setHandshakeWorkers(workers);
            driver = tls->driver();
        };
    });
    ASSERT_TRUE(peer.connect());
    AppEnd app(peer);
    app.start(clientSettings("localhost"));
    app.handshakeStep(); // the hello
    ASSERT_TRUE(peer.waitUntil([&] { return workers->held() == 1; }));
    std::size_t receivedBefore = peer.received.size();

    if (GetParam() == WhileAway::appResets) {
        peer.rst();
        ASSERT_TRUE(peer.waitUntil([&] { return stack->onStack([&] { return plain->isClosed(); }); }));
        workers->releaseOne();
    } else {
        stack->onStack([&] {
            workers->releaseOne(); // its answer waits on the queue behind this turn
            plain->close(makeError<GenericError>("gone"));
        });
    }
    for (int turn = 0; turn < 3; ++turn)
        stack->settle(); // the answer's turn
    peer.waitUntil([] { return false; }, std::chrono::milliseconds(50));
    stack->onStack([&] {
        EXPECT_EQ(outcomes, std::vector<std::string>{
                                GetParam() == WhileAway::appResets ? "Connection reset by peer" : "gone"});
        EXPECT_TRUE(tls->isClosed());
        tls.reset();
        plain.reset();
        stack->accepts.erase(peer.clientPort);
    });
    EXPECT_EQ(peer.received.size(), receivedBefore) << "nothing of the answer went to the app";
    EXPECT_TRUE(test::waitFor([&] { return driver.expired(); }));
    EXPECT_EQ(workers->held(), 0u);
    if (GetParam() == WhileAway::appResets) {
        EXPECT_EQ(stack->onStack([] { return LWIPStack::heapUsed(); }), heapAtStart)
            << "the stack's heap is back at its start";
    }
    std::erase(stack->peers, &peer);
}

INSTANTIATE_TEST_SUITE_P(TlsOverStack, TlsOverStackStepAway,
                         ::testing::Values(WhileAway::appResets, WhileAway::closedWithTheAnswerQueued),
                         [](const auto& info) {
                             return std::string(info.param == WhileAway::appResets
                                                    ? "AppResets"
                                                    : "ClosedWithTheAnswerQueued");
                         });

} // namespace
} // namespace pemtrox
