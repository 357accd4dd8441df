// The byte relay's end rules, one table run over both transports it serves: kernel sockets
// on both sides (a CONNECT tunnel's raw copy) and an app on the tunnel's stack relayed to a
// kernel socket (the stack's catch-all relay). Each row plays a script on the two far ends
// and checks what each far end got, how its connection ended, which direction failed, that
// the relay ended exactly once, and what the exchange recorded.

#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/TCPSocket.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"
#include "proxy/engine/ByteRelay.h"
#include "proxy/engine/ExchangePause.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/io/Plumber.h"
#include "tests/support/ClientSocketServer.h"
#include "tests/support/FarEnd.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/NullProxyServer.h"
#include "tests/support/proxy/ProxyHarness.h"
#include "tests/support/tunnel/StackEnd.h"
#include "tests/support/tunnel/StackHarness.h"

using namespace pemtrox;
using namespace std::chrono_literals;
using Direction = ByteRelay::Direction;

namespace {

enum class Transport { kernel, stack };
// How a far end's connection ends, and whether a direction fails; `either` where a peer
// reset its own connection, or both failed at once.
enum class Ends { cleanly, reset, either };
enum class Fails { no, yes, either };

struct Row {
    const char* name;
    // Steps, each by the client's (c) or the server's (s) far end: +N sends N bytes, "."
    // ends its side, "!" resets, "?" waits for the relay's end toward it, =N waits until N
    // bytes have arrived; "resume" lifts the pause of an exchange paused from the start.
    const char* script;
    Ends client, server;
    Fails request, response;
    bool pausedAtStart = false;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}
void PrintTo(Transport transport, std::ostream* os) {
    *os << (transport == Transport::kernel ? "Kernel" : "Stack");
}

// A byte pattern that tells a shifted or cut stream from a whole one.
std::string pattern(std::size_t n, std::size_t salt) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>('a' + (i * 7 + salt) % 26);
    return out;
}

using enum Ends;
const Row rows[] = {
    // The server reads the request to its end and only then replies.
    {"ClientEndsFirst", "c+7000 c. s? s+200000 s.", cleanly, cleanly, Fails::no, Fails::no},
    // The server greets and ends its side; the client uploads afterwards.
    {"ServerEndsFirst", "s+5 s. c? c+30000 c.", cleanly, cleanly, Fails::no, Fails::no},
    {"BothEndAtOnce", "c+3000 s+3000 c. s.", cleanly, cleanly, Fails::no, Fails::no},
    {"ClientResets", "c+3000 s=3000 c!", either, reset, Fails::yes, Fails::either},
    {"ServerResets", "s+3000 c=3000 s!", reset, either, Fails::either, Fails::yes},
    // The download flows while the client still sends; the client's reset cuts both.
    {"ErrorWhileTheOtherDirectionFlows", "s+20000 c=20000 c+1000 s=1000 c! s+20000", either, reset,
     Fails::yes, Fails::either},
    // A request that ended cleanly does not make a cut reply look whole.
    {"ResetAfterTheOtherDirectionEndedCleanly", "c+1000 c. s? s+50000 c=50000 s!", reset, either, Fails::no,
     Fails::yes},
    // Both fail at once: the relay still ends once.
    {"BothReset", "c+1000 s=1000 c! s!", either, either, Fails::either, Fails::either},
    // A recording writer behind pauses the exchange before its first byte: nothing moves
    // either way until it resumes, then every byte does.
    {"RecordingPausedThenResumed", "c+3000 s+4000 resume c=4000 s=3000 c. s? s.", cleanly, cleanly, Fails::no,
     Fails::no, true},
};

using Param = std::tuple<Transport, Row>;

class ByteRelayTest : public test::StackHarness, public ::testing::WithParamInterface<Param> {
protected:
    void SetUp() override {
        transport = std::get<0>(GetParam());
        if (transport == Transport::stack) {
            StackHarness::SetUp();
            if (IsSkipped())
                return;
            stackListener();
            start = onStack([] { return LWIPStack::heapUsed(); });
            peer = std::make_unique<test::TcpPeer>(*this, "198.18.72.254", 40000, "203.0.113.10", 443);
            ASSERT_TRUE(peer->connect());
            ASSERT_TRUE(waitUntil([&] { return onStack([&] { return clientSocket != nullptr; }); }));
            client = std::make_unique<test::StackEnd>(*peer);
        } else {
            kernel = test::ClientSocketServer::start(queue);
            client = std::make_unique<test::KernelEnd>(kernel->port());
            ASSERT_TRUE(waitUntil([&] { return onStack([&] { return kernel->clients.size() == 1; }); }));
            onStack([&] { clientSocket = std::exchange(kernel->clients, {}).at(0); });
        }
        if (!kernel)
            kernel = test::ClientSocketServer::start(queue);
        server = std::make_unique<test::KernelEnd>(kernel->port());
        ASSERT_TRUE(waitUntil([&] { return onStack([&] { return kernel->clients.size() == 1; }); }));
        onStack([&] {
            serverSocket = std::exchange(kernel->clients, {}).at(0);
            proxyServer = std::make_shared<test::NullProxyServer>(queue);
            proxyServer->addProxyListener(recorder);
            evt = ProxyEvent::make(proxyServer);
            if (row().pausedAtStart)
                evt->pause()->pause();
            relay = ByteRelay::make(ByteRelay::Peer::of(clientSocket), ByteRelay::Peer::of(serverSocket),
                                    proxyServer, evt, hooks());
            relay->start();
        });
    }

    void TearDown() override {
        if (!IsSkipped() && kernel) {
            onStack([&] {
                for (const auto& socket : {clientSocket, serverSocket})
                    if (socket && !socket->isClosed())
                        socket->close();
                relay.reset();
                evt.reset();
                clientSocket.reset();
                serverSocket.reset();
            });
            kernel->stop();
            recorder->clear();
            client.reset();
            server.reset();
            if (transport == Transport::stack)
                onStack([&] {
                    while (tcp_active_pcbs)
                        tcp_abort(tcp_active_pcbs);
                    while (tcp_tw_pcbs)
                        tcp_abort(tcp_tw_pcbs);
                    EXPECT_EQ(LWIPStack::heapUsed(), start) << "heap not back at its start";
                    tcp_close(listener);
                });
            EXPECT_TRUE(test::waitFor([] { return test::liveCount("ByteRelay") == 0; }));
            EXPECT_TRUE(test::waitFor([] { return test::liveCount("ClientSocket") == 0; }));
        }
        StackHarness::TearDown();
    }

    const Row& row() const { return std::get<1>(GetParam()); }

    void stackListener() {
        onStack([&] {
            listener = tcp_listen_with_backlog(tcp_new_ip_type(IPADDR_TYPE_ANY), 255);
            tcp_arg(listener, this);
            tcp_accept(listener, [](void* arg, tcp_pcb* pcb, err_t) -> err_t {
                auto& test = *static_cast<ByteRelayTest*>(arg);
                tcp_nagle_disable(pcb);
                test.clientSocket = TCPSocket::make(pcb, test.queue);
                return ERR_OK;
            });
        });
    }

    // The owner's part, as each user of the relay plays it: notes each copy's status, and
    // closes both peers when the relay ends.
    ByteRelay::Hooks hooks() {
        ByteRelay::Hooks hooks;
        hooks.copyStatus = [this](Direction direction, StreamCopierStatus status) {
            trace.push_back(std::string(direction == Direction::request ? "request " : "response ") +
                            (status == StreamCopierStatus::started ? "started" : "finished"));
        };
        // All on the queue; the end of the test lets go of the relay and the sockets.
        hooks.ended = [this] {
            ++ended;
            if (relay) {
                requestError = relay->error(Direction::request);
                responseError = relay->error(Direction::response);
            }
            for (const auto& socket : {clientSocket, serverSocket})
                if (socket)
                    socket->close();
        };
        return hooks;
    }

    /// Waits for the condition, pumping the stack's output to the app meanwhile.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
        if (peer)
            return peer->waitUntil(condition, timeout);
        return test::waitFor(condition, timeout);
    }
    test::FarEnd& far(char side) { return side == 'c' ? *client : *server; }

    Transport transport = Transport::kernel;
    std::unique_ptr<test::TcpPeer> peer;
    std::unique_ptr<test::FarEnd> client, server;
    std::shared_ptr<test::ClientSocketServer> kernel;
    std::shared_ptr<test::RecordingProxyListener> recorder = std::make_shared<test::RecordingProxyListener>();
    tcp_pcb* listener = nullptr;
    std::size_t start = 0;
    // On the queue:
    std::shared_ptr<Socket> clientSocket, serverSocket;
    std::shared_ptr<test::NullProxyServer> proxyServer;
    std::shared_ptr<ProxyEvent> evt;
    std::shared_ptr<ByteRelay> relay;
    std::vector<std::string> trace;
    int ended = 0;
    ErrorPtr requestError, responseError;
};

TEST_P(ByteRelayTest, EndRules) {
    const auto& r = row();
    std::map<char, std::string> sent; // by each far end
    std::istringstream script(r.script);
    for (std::string step; script >> step;) {
        if (step == "resume") {
            // Paused: nothing has moved either way meanwhile.
            std::this_thread::sleep_for(300ms);
            waitUntil([] { return false; }, 50ms);
            EXPECT_EQ(client->received(), "");
            EXPECT_EQ(server->received(), "");
            EXPECT_TRUE(onStack([&] { return trace.empty(); }));
            evt->pause()->resume();
            continue;
        }
        auto& end = far(step[0]);
        auto& theirs = sent[step[0] == 'c' ? 's' : 'c'];
        auto count = step.size() > 2 ? std::stoul(step.substr(2)) : 0;
        switch (step[1]) {
        case '+': {
            auto bytes = pattern(count, sent[step[0]].size());
            sent[step[0]] += bytes;
            end.send(bytes);
            break;
        }
        case '.':
            end.end();
            break;
        case '!':
            end.reset();
            break;
        case '?':
            ASSERT_TRUE(waitUntil([&] { return end.sawEnd(); })) << step << ": no end reached the far end";
            EXPECT_TRUE(end.received() == theirs) << step;
            break;
        case '=':
            ASSERT_TRUE(waitUntil([&] { return end.received().size() >= count; }))
                << step << ": " << end.received().size() << " arrived";
            break;
        default:
            FAIL() << "unknown step " << step;
        }
    }
    auto settled = [](test::FarEnd& end, Ends expected) {
        return expected == either || end.sawEnd() || end.sawReset();
    };
    ASSERT_TRUE(waitUntil([&] {
        return onStack([&] { return ended == 1; }) && settled(*client, r.client) &&
               settled(*server, r.server);
    })) << "the relay did not end";
    // Both copies stop, and nothing ends the relay again.
    ASSERT_TRUE(waitUntil([&] {
        return onStack([&] {
            return relay->copier(Direction::request)->finished() &&
                   relay->copier(Direction::response)->finished();
        });
    }));
    waitUntil([] { return false; }, 100ms);
    onStack([&] {
        EXPECT_EQ(ended, 1);
        for (auto [error, fails, name] : {std::tuple{requestError, r.request, "request"},
                                          std::tuple{responseError, r.response, "response"}}) {
            if (fails != Fails::either) {
                EXPECT_EQ(error != nullptr, fails == Fails::yes) << name << ": " << describe(error);
            }
            EXPECT_EQ(std::count(trace.begin(), trace.end(), name + std::string(" finished")), 1) << name;
        }
    });
    for (auto [end, expected, name] :
         {std::tuple{client.get(), r.client, "client"}, std::tuple{server.get(), r.server, "server"}}) {
        if (expected == cleanly) {
            EXPECT_TRUE(end->sawEnd() && !end->sawReset()) << name << " was not ended cleanly";
        } else if (expected == reset) {
            EXPECT_TRUE(waitUntil([&] { return end->sawReset(); })) << name << " was not reset";
        }
    }
    if (r.client == cleanly && r.server == cleanly) {
        // Whole streams both ways, each counted, reported and started once.
        EXPECT_TRUE(client->received() == sent['s'])
            << client->received().size() << " of " << sent['s'].size();
        EXPECT_TRUE(server->received() == sent['c'])
            << server->received().size() << " of " << sent['c'].size();
        EXPECT_EQ(evt->requestSize.value_or(0), static_cast<std::int64_t>(sent['c'].size()));
        EXPECT_EQ(evt->responseSize.value_or(0), static_cast<std::int64_t>(sent['s'].size()));
        EXPECT_TRUE(recorder->requestBody() == sent['c']);
        EXPECT_TRUE(recorder->responseBody() == sent['s']);
        onStack([&] {
            for (auto name : {"request", "response"})
                EXPECT_EQ(std::count(trace.begin(), trace.end(), name + std::string(" started")), 1) << name;
        });
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ByteRelayTest,
                         ::testing::Combine(::testing::Values(Transport::kernel, Transport::stack),
                                            ::testing::ValuesIn(rows)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Transport::kernel ? "Kernel"
                                                                                             : "Stack") +
                                    "_" + std::get<1>(info.param).name;
                         });

} // namespace
