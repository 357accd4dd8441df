// CONNECT tunnels through real sockets: what reaches each side, and that every tunnel ends
// with nothing left behind (the harness checks the live-object counts when it goes).

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/HostResolver.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/ProxyEvent.h"
#include "tests/support/FakeDnsServer.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"

namespace pemtrox::test {
namespace {

const std::string established = "HTTP/1.0 200 Connection established\r\n\r\n";

std::string connectTo(int port) {
    return "CONNECT 127.0.0.1:" + std::to_string(port) + " HTTP/1.1\r\nHost: x\r\n\r\n";
}

// Answers by path: a body-less 204, a chunked body, "done" otherwise (HEAD without it).
TestOrigin::Script kindsOrigin() {
    return TestOrigin::serveEach([](const std::string& head, const std::string&) -> std::string {
        if (head.find(" /204 ") != std::string::npos)
            return "HTTP/1.1 204 No Content\r\n\r\n";
        if (head.find(" /chunked ") != std::string::npos)
            return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\ndone\r\n0\r\n\r\n";
        if (head.find(" /inside ") != std::string::npos)
            return "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\ninside!";
        return "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n" +
               std::string(head.starts_with("HEAD") ? "" : "done");
    });
}

TEST(ConnectTunnel, BrokenClientsAndServersEndTheTunnel) {
    TestOrigin origin(TestOrigin::answering("in"));
    RefusingPort refusing;
    auto to = ">" + connectTo(origin.port());
    struct Case {
        std::vector<std::string> steps;
        int completed, failed; // exchanges; -1: either
    } cases[] = {
        {{">" + connectTo(refusing.port()), "<HTTP/1.0 503 Service Unavailable\r\n"}, 0, 1},
        {{to, "close"}, -1, -1},
        {{to, "<" + established, "reset"}, -1, -1},
        // The connection ends; the exchange before it stays as it was completed.
        {{to, "<" + established, ">GET /1 HTTP/1.1\r\nHost: x\r\n\r\n", "<in",
          ">" + std::string("\x16\x03\x01\x00garbage\r\n\r\n", 15), "="},
         1,
         0},
        {{to + "GET /1 HTTP/1.1\r\nHost: x\r\n\r\n", "<in", ">GET /2 HTTP/1.1\r\nHo", "close"}, 1, -1},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.steps[0]);
        ProxyHarness proxy;
        RawClient client(proxy.port());
        play(client, c.steps);
        EXPECT_TRUE(waitFor([&] { return proxy.server->handlerCount() == 0; }));
        auto completed = int(proxy.recorder->exchanges("complete").size());
        auto failed = int(proxy.recorder->exchanges("exception").size());
        EXPECT_EQ(c.completed < 0 ? -1 : completed, c.completed);
        EXPECT_EQ(c.failed < 0 ? -1 : failed, c.failed);
    }
}

TEST(ConnectTunnel, ConnectAfterAPlainRequestToTheSameServerGetsItsOwnConnection) {
    // Once, the CONNECT reused the plain request's connection and connecting it again
    // replaced a socket that was still open: the process aborted.
    TestOrigin origin(kindsOrigin());
    auto base = "http://127.0.0.1:" + std::to_string(origin.port());
    struct Kind {
        std::string request, responseEnd;
    } kinds[] = {
        {"GET " + base + "/ HTTP/1.1\r\nHost: x\r\n\r\n", "done"},
        {"POST " + base + "/ HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nbody", "done"},
        {"HEAD " + base + "/ HTTP/1.1\r\nHost: x\r\n\r\n", "\r\n\r\n"},
        {"GET " + base + "/204 HTTP/1.1\r\nHost: x\r\n\r\n", "\r\n\r\n"},
        {"GET " + base + "/chunked HTTP/1.1\r\nHost: x\r\n\r\n", "0\r\n\r\n"},
    };
    for (bool pipelined : {false, true})
        for (auto& kind : kinds) {
            SCOPED_TRACE(kind.request + (pipelined ? " pipelined" : ""));
            ProxyHarness proxy;
            RawClient client(proxy.port());
            if (pipelined) {
                client.send(kind.request + connectTo(origin.port()));
            } else {
                client.send(kind.request);
                EXPECT_NE(client.readUntil(kind.responseEnd).find(kind.responseEnd), std::string::npos);
                client.send(connectTo(origin.port()));
            }
            EXPECT_NE(client.readUntil(established).find(established), std::string::npos);
            client.send("GET /inside HTTP/1.1\r\nHost: x\r\n\r\n");
            EXPECT_NE(client.readUntil("inside!").find("inside!"), std::string::npos);
        }
}

TEST(ConnectTunnel, DefaultPortsAreRecordedWithoutAnExplicitPort) {
    // The CONNECT port decides the scheme; 80 and 443 are implied, others stay.
    struct Case {
        int port;
        const char* scheme;
        bool portKept;
    } cases[] = {{443, "https", false}, {80, "http", false}, {8443, "https", true}, {8080, "http", true}};
    std::mt19937 random(std::random_device{}());
    for (auto& c : cases) {
        SCOPED_TRACE(c.port);
        // A loopback address of our own, so that tests running alongside never share the port.
        auto address =
            "127." + std::to_string(1 + random() % 250) + "." + std::to_string(random() % 250) + ".9";
        std::unique_ptr<TestOrigin> origin;
        try {
            origin = std::make_unique<TestOrigin>(kindsOrigin(), address, c.port);
        } catch (const std::exception& e) {
            GTEST_SKIP() << "needs a low port on loopback (root): " << e.what();
        }
        ProxyHarness proxy;
        RawClient client(proxy.port());
        client.send("CONNECT " + address + ":" + std::to_string(c.port) + " HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_EQ(client.readUntil(established), established);
        client.send("GET /inside HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_NE(client.readUntil("inside!").find("inside!"), std::string::npos);
        client.close();
        ASSERT_TRUE(waitFor([&] { return proxy.server->handlerCount() == 0; }));
        for (auto step : {"cancelled", "complete"}) { // the CONNECT, then the request inside
            auto done = proxy.recorder->exchanges(step);
            ASSERT_EQ(done.size(), 1u) << step;
            EXPECT_EQ(done[0]->scheme, c.scheme);
            EXPECT_EQ(done[0]->port.has_value(), c.portKept);
            EXPECT_EQ(done[0]->portOrDefault(), c.port);
        }
        EXPECT_EQ(proxy.recorder->exchanges("complete")[0]->path(), "/inside");
    }
}

TEST(ConnectTunnel, ConnectInsideATunnelGetsItsAnswerAndThenCarriesOpaqueBytes) {
    // The server behind the tunnel is another proxy: it answers the inner CONNECT (or never
    // does) and then echoes. Whatever happens, the client's end releases the server side.
    struct Upstream {
        std::atomic<int> ended{0};
    };
    auto upstream = std::make_shared<Upstream>();
    TestOrigin origin([upstream](OriginConnection& c, TestOrigin&) {
        auto head = c.readHead();
        if (head && head->find("silent") == std::string::npos) {
            c.write("HTTP/1.1 200 Connection established\r\nVia: up\r\n\r\n");
            for (std::string got; !(got = c.readAvailable(5000)).empty();)
                c.write("echo:" + got);
        }
        c.readToEnd();
        ++upstream->ended;
    });
    for (std::string target : {"inner.test:443", "silent.test:443"}) {
        SCOPED_TRACE(target);
        int endedBefore = upstream->ended;
        ProxyHarness proxy;
        {
            RawClient client(proxy.port());
            client.send(connectTo(origin.port()));
            EXPECT_NE(client.readUntil(established).find(established), std::string::npos);
            client.send("CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
            if (target.starts_with("inner")) {
                auto answer = client.readUntil("\r\n\r\n");
                EXPECT_EQ(answer, "HTTP/1.1 200 Connection established\r\nVia: up\r\n\r\n");
                client.send("\x16\x03\x01opaque");
                EXPECT_EQ(client.readUntil("opaque"), "echo:\x16\x03\x01opaque");
            }
        }
        EXPECT_TRUE(waitFor([&] { return upstream->ended == endedBefore + 1; })) << "server side kept open";
        EXPECT_TRUE(waitFor([&] { return proxy.server->handlerCount() == 0; }));
        if (target.starts_with("inner")) {
            auto done = proxy.recorder->exchanges("complete");
            ASSERT_EQ(done.size(), 1u);
            EXPECT_TRUE(done[0]->tunnel);
            EXPECT_EQ(done[0]->method, "CONNECT");
            EXPECT_EQ(*done[0]->responseHeader->value("Via"), "up");
            EXPECT_EQ(done[0]->responseSize, 9 + 5);
        }
    }
}

TEST(ConnectTunnel, StoppingWithRawTunnelsWhosePeersDoNotReadLeavesNothingBehind) {
    // Bytes queued for a peer that never reads once kept their sockets, and with them the
    // server's queue, alive after the stop (the sanitizer build reports any such leak).
    TestOrigin origin([](OriginConnection& c, TestOrigin&) {
        c.readAvailable(5000);
        std::string piece(65536, 'y');
        for (int i = 0; i < 512; ++i)
            c.write(piece); // fails fast once the proxy let go
    });
    std::unique_ptr<RawClient> client; // outlives the proxy
    ProxyHarness proxy;
    client = std::make_unique<RawClient>(proxy.port(), 4096);
    client->send(connectTo(origin.port()));
    EXPECT_NE(client->readUntil(established).find(established), std::string::npos);
    client->send("\x16\x03\x01hello");
    // The copy stalls once the kernel holds all it takes for the client: the rest waits in
    // the proxy's socket.
    std::size_t copied = 0;
    EXPECT_TRUE(waitFor([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return std::exchange(copied, proxy.recorder->responseBody().size()) == copied && copied > 0;
    }));
}

TEST(ConnectTunnel, ClientThatGoesWhileItsServerIsLookedUpOrConnectingEndsThatAtOnce) {
    // Connects whose SYNs are never answered, and lookups whose DNS server never answers,
    // once outlived their clients by minutes, each holding a descriptor or a lookup.
    BlackHole hole;
    FakeDnsServer dns({}, {"never.test"});
    HostResolver::configure({dns.address(), std::chrono::seconds(60)});
    auto hostPort = "127.0.0.1:" + std::to_string(hole.port());
    struct Case {
        std::string request, step;
        bool halfCloses; // with bytes still unread: it may wait for its answer
        bool resetEnds;  // ...until it resets (a tunnel's socket stays open at the client's end)
    } cases[] = {
        {connectTo(hole.port()), "connecting", false, false},
        {"GET http://" + hostPort + "/ HTTP/1.1\r\nHost: x\r\n\r\n", "connecting", false, false},
        {"CONNECT never.test:443 HTTP/1.1\r\nHost: x\r\n\r\n", "resolving", false, false},
        {"GET http://never.test/ HTTP/1.1\r\nHost: x\r\n\r\n", "resolving", false, false},
        {connectTo(hole.port()) + "\x16payload", "connecting", true, true},
        {"POST http://" + hostPort + "/ HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nbody", "connecting",
         true, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.request);
        ProxyHarness proxy;
        RawClient client(proxy.port());
        client.send(c.request);
        ASSERT_TRUE(waitFor([&] { return proxy.recorder->exchanges(c.step).size() == 1; }));
        if (c.halfCloses) {
            client.shutdownWrite();
            std::this_thread::sleep_for(std::chrono::milliseconds(600)); // past two looks
            EXPECT_EQ(proxy.server->handlerCount(), 1u);
            if (!c.resetEnds)
                continue; // the harness's stop ends it
            client.reset();
        } else {
            client.close();
        }
        EXPECT_TRUE(waitFor(
            [&] {
                return proxy.server->handlerCount() == 0 && liveCount("ProxySocket") == 0 &&
                       liveCount("HttpRemoteConnection") + liveCount("ConnectRemoteConnection") == 0;
            },
            std::chrono::seconds(3)));
        EXPECT_EQ(proxy.recorder->exchanges("exception").size(), 1u);
    }
    HostResolver::configure({});
}

TEST(ConnectTunnel, OneDirectionEndingLeavesTheOtherRunningUntilItEndsToo) {
    // Once, a raw tunnel ended both directions when either ended: replies to clients that
    // half-close were lost, uploads to servers that half-close were cut, and large
    // transfers arrived short with a clean end. The first byte after 0x16 picks the script.
    std::mutex mutex;
    std::map<char, std::size_t> uploaded; // bytes the origin received, by script
    const std::size_t big = 8 << 20;
    TestOrigin origin([&](OriginConnection& c, TestOrigin&) {
        auto first = c.readBytes(2);
        char mode = first.size() == 2 ? first[1] : '?';
        std::size_t got = 0;
        if (mode == 'A' || mode == 'F') { // answers once the client's request has ended
            got = c.readToEnd().size();
            c.write(std::string(big, 'a'));
        } else if (mode == 'B') { // greets, half-closes, then takes an upload
            c.write("greeting");
            c.shutdownWrite();
            got = c.readToEnd().size();
        } else if (mode == 'C') { // both ways at once
            std::thread down([&c, big] {
                c.write(std::string(big, 'c'));
                c.shutdownWrite();
            });
            got = c.readToEnd().size();
            down.join();
        } else if (mode == 'E') { // a large answer, then gone at once
            c.write(std::string(big, 'e'));
        } else if (mode == 'D') { // cut short by a reset
            c.write(std::string(100000, 'd'));
            c.reset();
            return;
        }
        std::lock_guard lock(mutex);
        uploaded[mode] = got;
        c.close();
    });
    struct Case {
        char mode;
        std::size_t upload, download;
        bool reset;
    } cases[] = {{'A', 65536, big, false}, {'F', 65536, big, false}, {'B', big, 8, false},
                 {'C', big, big, false},   {'E', 0, big, false},     {'D', 0, 100000, true}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.mode);
        ProxyHarness proxy;
        RawClient client(proxy.port());
        if (c.mode == 'F') { // all at once, ended before the tunnel is even up
            client.send(connectTo(origin.port()) +
                        "\x16"
                        "F" +
                        std::string(c.upload, 'u'));
            client.shutdownWrite();
        } else {
            client.send(connectTo(origin.port()));
        }
        ASSERT_EQ(client.readUntil(established), established);
        if (c.mode != 'F')
            client.send(std::string("\x16") + c.mode);
        std::thread up([&] {
            if (c.mode == 'F')
                return;
            if (c.mode == 'B') {
                EXPECT_EQ(client.readUntil("greeting"), "greeting");
            }
            client.send(std::string(c.upload, 'u'));
            client.shutdownWrite();
        });
        auto down = c.mode == 'B' ? std::string() : client.readAll(20000);
        up.join();
        if (c.mode == 'B')
            down = "greeting" + client.readAll(20000);
        // A reset drops what the kernels still held: only a whole stream has a known size.
        EXPECT_EQ(c.reset ? c.download : down.size(), c.download);
        EXPECT_EQ(client.wasReset(), c.reset);
        if (!c.reset) {
            EXPECT_TRUE(waitFor([&] {
                std::lock_guard lock(mutex);
                return uploaded.count(c.mode) == 1;
            }));
            std::lock_guard lock(mutex);
            EXPECT_EQ(uploaded[c.mode], c.upload + 0);
        }
        EXPECT_TRUE(waitFor([&] { return proxy.server->handlerCount() == 0; }));
        EXPECT_EQ(
            proxy.recorder->exchanges("complete").size() + proxy.recorder->exchanges("exception").size(), 1u);
    }
}

} // namespace
} // namespace pemtrox::test
