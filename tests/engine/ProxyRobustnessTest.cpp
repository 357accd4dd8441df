// Hostile and broken peers on both sides of the proxy: every case must end its exchange
// without crashing, hanging or leaving a handler, connection or socket behind (the harness
// checks the live-object counts when it goes).
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "proxy/engine/ProxyEvent.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"

namespace pemtrox::test {
namespace {

// MARK: the client goes away

enum class ClientEnd { close, reset };

TEST(ProxyRobustness, ClientGoingAwayEndsTheExchangeAndReleasesTheServer) {
    // The origin reads the request (body included when it is told the length), then
    // streams a long response until the proxy lets go of the connection.
    struct OriginState {
        std::atomic<int> heads{0};
        std::atomic<int> ended{0};
    };
    auto state = std::make_shared<OriginState>();
    TestOrigin origin([state](OriginConnection& c, TestOrigin&) {
        auto head = c.readHead();
        if (!head) {
            ++state->ended;
            return;
        }
        ++state->heads;
        if (head->find("/stream") != std::string::npos) {
            c.write("HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n");
            std::string piece(65536, 'x');
            for (int i = 0; i < 1500; ++i)
                c.write(piece); // fails fast once the proxy closed its side
        } else if (head->find("/late") != std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            c.write(TestOrigin::ok("late"));
        }
        c.readToEnd();
        ++state->ended;
    });
    auto post = "POST " + origin.url() + " HTTP/1.1\r\nHost: x\r\n";
    struct Case {
        std::string request;
        bool originSeesRequest; // wait for it before the client goes
        bool readsSomeResponse;
        ClientEnd end;
    } cases[] = {
        {"GET " + origin.url() + " HTTP/1.1\r\nHost: x\r\nX-Part", false, false, ClientEnd::close},
        {"GET " + origin.url() + " HTTP/1.1\r\nHo", false, false, ClientEnd::reset},
        {post + "Content-Length: 100\r\n\r\nonly ten..", true, false, ClientEnd::close},
        {post + "Content-Length: 100\r\n\r\nonly ten..", true, false, ClientEnd::reset},
        {post + "Transfer-Encoding: chunked\r\n\r\n10\r\nabc", true, false, ClientEnd::close},
        {origin.get("/late"), true, false, ClientEnd::close},
        {origin.get("/late"), true, false, ClientEnd::reset},
        {origin.get("/never"), true, false, ClientEnd::close},
        {origin.get("/never"), true, false, ClientEnd::reset},
        {origin.get("/stream"), true, true, ClientEnd::close},
        {origin.get("/stream"), true, true, ClientEnd::reset},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.request + (c.end == ClientEnd::reset ? " reset" : " close"));
        int headsBefore = state->heads, endedBefore = state->ended;
        {
            ProxyHarness proxy;
            RawClient client(proxy.port());
            client.send(c.request);
            if (c.originSeesRequest) {
                ASSERT_TRUE(waitFor([&] { return state->heads == headsBefore + 1; }));
            }
            if (c.readsSomeResponse) {
                auto some = client.readUntil(std::string(1000, 'x'));
                EXPECT_TRUE(some.starts_with("HTTP/1.1 200 OK\r\n")) << some.substr(0, 100);
            }
            if (c.end == ClientEnd::reset)
                client.reset();
            else
                client.close();
            if (c.originSeesRequest) {
                EXPECT_TRUE(waitFor([&] { return state->ended == endedBefore + 1; }))
                    << "the server's connection was kept open";
            }
            EXPECT_TRUE(waitFor([&] { return proxy.server->handlerCount() == 0; }));
            if (c.originSeesRequest) {
                EXPECT_EQ(proxy.recorder->exchanges("exception").size(), 1u);
                EXPECT_TRUE(proxy.recorder->exchanges("complete").empty());
            }
        }
    }
}

TEST(ProxyRobustness, RequestBodyThatArrivedWithTheClientsCloseReachesTheServerWhole) {
    // The client sends its request and ends its side at once (as `nc -N` does). The socket
    // layer closes a connection whose peer has ended its stream, so no answer can reach
    // this client, but the bytes it sent must all be forwarded.
    std::mutex mutex;
    std::vector<std::string> bodies;
    TestOrigin origin(TestOrigin::serveEach([&](const std::string&, const std::string& body) {
        std::lock_guard lock(mutex);
        bodies.push_back(body);
        return TestOrigin::ok("thanks");
    }));
    ProxyHarness proxy;
    for (auto request :
         {"POST " + origin.url() + " HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc",
          "POST " + origin.url() +
              " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"}) {
        RawClient client(proxy.port());
        client.send(request);
        client.shutdownWrite();
        client.readAll();
    }
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return bodies.size() == 2;
    }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(bodies, (std::vector<std::string>{"abc", "abc"}));
}

// MARK: the server misbehaves

enum class ServerEnd { close, reset, hang };

TEST(ProxyRobustness, BrokenResponsesEndTheExchange) {
    auto fields = [](int count, std::size_t size) {
        std::string out = "HTTP/1.1 200 OK\r\n";
        for (int i = 0; i < count; ++i)
            out += "X-" + std::to_string(i) + ": " + std::string(size, 'v') + "\r\n";
        return out;
    };
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        std::string bytes;
        ServerEnd end;
        bool headSent; // the client got the head already, else the error page
    } cases[] = {
        {"", ServerEnd::close, false},
        {"", ServerEnd::reset, false},
        {"HTTP/1.1 200 OK\r\nContent-Le", ServerEnd::close, false},
        {"HTTP/1.1 200 OK\r\nContent-Le", ServerEnd::reset, false},
        {"SPDY/3 OK fine\r\nContent-Length: 0\r\n\r\n", ServerEnd::hang, false},
        {"HTTP/1.1 OK\r\n\r\n", ServerEnd::hang, false},
        {std::string("\x00\x01\x02\x03\r\n\r\n", 8), ServerEnd::hang, false},
        {std::string(20000, 'a'), ServerEnd::hang, false},
        {fields(200, 400), ServerEnd::hang, false},
        {fields(1000, 1) + "\r\n", ServerEnd::hang, false},
        {"HTTP/1.1 200 OK\nContent-Length: 2\n\nok", ServerEnd::close, false},
        {"HTTP/1.1 200 OK\r\nX-A: a\nContent-Length: 0\r\n\r\n", ServerEnd::hang, false},
        {"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", ServerEnd::hang, false},
        {"HTTP/1.1 99999999999999999999999 OK\r\n\r\n", ServerEnd::hang, false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part", ServerEnd::close, true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part", ServerEnd::reset, true},
        {chunked + "10\r\nonly part", ServerEnd::close, true},
        {chunked + "10\r\nonly part", ServerEnd::reset, true},
        {chunked + "5\r\nhello\r\nfff", ServerEnd::close, true},
        {chunked + "1ffffffffffffffff\r\nhello\r\n0\r\n\r\n", ServerEnd::hang, true},
        {chunked + std::string(100000, '1'), ServerEnd::hang, true},
        {chunked + "zz\r\nhello\r\n0\r\n\r\n", ServerEnd::hang, true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 60));
        TestOrigin origin([&c](OriginConnection& conn, TestOrigin&) {
            if (!conn.readHead())
                return;
            conn.write(c.bytes);
            if (c.end == ServerEnd::reset) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                conn.reset();
            } else if (c.end == ServerEnd::close) {
                conn.close();
            } else {
                conn.readToEnd();
            }
        });
        ProxyHarness proxy;
        RawClient client(proxy.port());
        client.send(origin.get("/"));
        auto reply = client.readAll();
        EXPECT_TRUE(
            reply.starts_with(c.headSent ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.0 503 Service Unavailable\r\n"))
            << reply;
        if (c.headSent) { // nothing of an error page after the head
            EXPECT_EQ(reply.find("Service Unavailable"), std::string::npos) << reply;
        }
        EXPECT_TRUE(waitFor([&] { return proxy.recorder->exchanges("exception").size() == 1; }));
        EXPECT_TRUE(proxy.recorder->exchanges("complete").empty());
    }
}

TEST(ProxyRobustness, OddButValidResponsesKeepTheConnectionInStep) {
    // Each case's response goes to /odd; the request for /next that follows on the same
    // client connection must get its own response, not the rest of the first one.
    struct Case {
        const char* name;
        std::string response;
        std::string expectedBody; // at the end of the first reply
    } cases[] = {
        {"early hints before the final response",
         "HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: "
         "5\r\n\r\nfinal",
         "final"},
        {"processing before the final response",
         "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfinal", "final"},
        {"length and chunked together",
         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         "hello\r\n0\r\n\r\n"},
        {"chunk extensions and trailers",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n0\r\nX-T: 1\r\n\r\n",
         "hello\r\n0\r\n\r\n"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestOrigin origin(TestOrigin::serveEach([&c](const std::string& head, const std::string&) {
            if (head.find("/odd") != std::string::npos)
                return c.response;
            return TestOrigin::ok("next");
        }));
        ProxyHarness proxy;
        RawClient client(proxy.port());
        client.send(origin.get("/odd"));
        auto first = client.readUntil(c.expectedBody, 3000);
        EXPECT_TRUE(first.ends_with(c.expectedBody)) << first;
        client.send(origin.get("/next"));
        auto second = client.readUntil("next", 3000);
        EXPECT_TRUE(second.starts_with("HTTP/1.1 200 OK\r\n")) << second;
        EXPECT_TRUE(second.ends_with("\r\n\r\nnext")) << second;
    }
}

TEST(ProxyRobustness, ResponseWithAnotherTransferCodingEndsWithTheConnection) {
    // Framed by the length beside it, the rest of such a body stayed in the server's stream
    // and answered the client's next request.
    const std::string body = "5\r\nhello\r\n0\r\n\r\n";
    struct Case {
        const char* name;
        std::string codings;
    } cases[] = {
        {"a coding before chunked", "Transfer-Encoding: gzip, chunked\r\n"},
        {"another coding alone", "Transfer-Encoding: gzip\r\n"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestOrigin origin(TestOrigin::serveEach([&](const std::string&, const std::string&) {
            return "HTTP/1.1 200 OK\r\n" + c.codings + "Content-Length: 3\r\n\r\n" + body;
        }));
        ProxyHarness proxy;
        RawClient client(proxy.port());
        client.send(origin.get("/"));
        auto first = client.readUntil("\r\n\r\n");
        EXPECT_EQ(headerValue(first, "Content-Length"), "") << first;
        EXPECT_EQ(headerValue(first, "Proxy-Connection"), "Close") << first;
        EXPECT_EQ(client.readUntil("0\r\n\r\n"), body);
    }
}

// MARK: unusual requests

TEST(ProxyRobustness, UnusualRequests) {
    TestOrigin origin(TestOrigin::serveEach([](const std::string& head, const std::string& body) {
        return TestOrigin::ok(head.substr(0, head.find("\r\n")) + "|" + body);
    }));
    auto url = origin.url();
    auto port = std::to_string(origin.port());
    struct Case {
        const char* name;
        std::string request;
        std::vector<std::string> expected; // each in the reply, in order; none: closed without a reply
    } cases[] = {
        {"absolute form without Host", "GET " + url + "a HTTP/1.1\r\n\r\n", {"GET /a HTTP/1.1|"}},
        {"invalid percent-encoding passes unchanged",
         "GET " + url + "a%zz%4?q=%g% HTTP/1.1\r\nHost: x\r\n\r\n",
         {"GET /a%zz%4?q=%g% HTTP/1.1|"}},
        {"pipelined in one packet",
         "GET " + url + "1 HTTP/1.1\r\nHost: x\r\n\r\nPOST " + url +
             "2 HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nbodyGET " + url +
             "3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\nProxy-Connection: close\r\n\r\n",
         {"GET /1 HTTP/1.1|", "POST /2 HTTP/1.1|body", "GET /3 HTTP/1.1|"}},
        {"IPv6 literal",
         "GET http://[::1]:" + port + "/ HTTP/1.1\r\nHost: x\r\n\r\n",
         {"HTTP/1.0 503 Service Unavailable\r\n", "Malformed request URL"}},
        {"IPv6 literal without port",
         "GET http://[::1]/ HTTP/1.1\r\nHost: x\r\n\r\n",
         {"HTTP/1.0 503 Service Unavailable\r\n"}},
        {"empty host", "GET http:///x HTTP/1.1\r\nHost: x\r\n\r\n", {"HTTP/1.0 503 Service Unavailable\r\n"}},
        {"empty host with port",
         "GET http://:" + port + "/x HTTP/1.1\r\nHost: x\r\n\r\n",
         {"HTTP/1.0 503 Service Unavailable\r\n"}},
        {"percent in host",
         "GET http://127.0.0.1%zz:" + port + "/ HTTP/1.1\r\nHost: x\r\n\r\n",
         {"HTTP/1.0 503 Service Unavailable\r\n"}},
        {"CONNECT with an empty host",
         "CONNECT :" + port + " HTTP/1.1\r\n\r\n",
         {"HTTP/1.0 503 Service Unavailable\r\n"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProxyHarness proxy;
        RawClient client(proxy.port());
        client.send(c.request);
        auto reply = c.expected.empty() ? client.readAll() : client.readUntil(c.expected.back(), 3000);
        if (c.expected.empty()) {
            EXPECT_EQ(reply, "");
        }
        std::size_t at = 0;
        for (auto& part : c.expected) {
            auto found = reply.find(part, at);
            EXPECT_NE(found, std::string::npos) << part << "\n" << reply;
            at = found == std::string::npos ? at : found + part.size();
        }
        client.close();
    }
}

// MARK: many clients at once

TEST(ProxyRobustness, ManyConcurrentClientsSomeAborting) {
    TestOrigin origin(TestOrigin::serveEach([](const std::string& head, const std::string& body) {
        if (head.find("/chunked") != std::string::npos)
            return std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nchnk\r\n0\r\n\r\n");
        if (head.find("/big") != std::string::npos)
            return TestOrigin::ok(std::string(300000, 'x'));
        return TestOrigin::ok("ok:" + body);
    }));
    ProxyHarness proxy;
    auto url = origin.url();
    auto target = "127.0.0.1:" + std::to_string(origin.port());
    auto connect = ">CONNECT " + target + " HTTP/1.1\r\n\r\n";
    const std::vector<std::string> scripts[] = {
        {">GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n", "<ok:"},
        {">POST " + url + " HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", "<ok:hello"},
        {connect + "GET /chunked HTTP/1.1\r\nHost: x\r\n\r\n", "<chnk"},
        {">POST " + url + " HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\nabc", "reset"},
        {">GET " + url + "chunked HTTP/1.1\r\nHost: x\r\n\r\n", "close"},
        {">GET " + url + "big HTTP/1.1\r\nHost: x\r\n\r\n", "<" + std::string(1000, 'x'), "reset"},
        // Not HTTP inside the tunnel: copied as it is (the origin takes it for a head).
        {connect, "<\r\n\r\n", ">\x16\x03 binary\r\n\r\n", "<ok:"},
    };
    std::vector<std::thread> clients;
    for (int i = 0; i < 200; ++i)
        clients.emplace_back([&, i] {
            RawClient client(proxy.port());
            play(client, scripts[i % 7]);
        });
    for (auto& t : clients)
        t.join();
    EXPECT_TRUE(waitFor([&] { return proxy.server->handlerCount() == 0; }));
}

TEST(ProxyRobustness, StoppingWithManyExchangesInFlight) {
    std::atomic<int> heads{0};
    TestOrigin origin([&](OriginConnection& c, TestOrigin&) {
        if (c.readHead())
            ++heads;
        c.readToEnd(); // never answers
    });
    auto target = "127.0.0.1:" + std::to_string(origin.port());
    std::vector<std::unique_ptr<RawClient>> clients;
    {
        ProxyHarness proxy;
        for (int i = 0; i < 120; ++i) {
            auto client = std::make_unique<RawClient>(proxy.port());
            switch (i % 3) {
            case 0:
                client->send(origin.get("/hang"));
                break;
            case 1:
                client->send("CONNECT " + target + " HTTP/1.1\r\n\r\n");
                break;
            case 2:
                client->send("GET " + origin.url() + " HTTP/1.1\r\nHo");
                break;
            }
            clients.push_back(std::move(client));
        }
        EXPECT_TRUE(waitFor([&] { return heads == 40; }));
        EXPECT_TRUE(waitFor([&] { return origin.accepts() == 80; }));
        // The harness stops the server here and checks that nothing is left behind.
    }
    for (auto& client : clients)
        EXPECT_TRUE(client->closedByPeer());
}

// MARK: bodies arrive whole

/// Bytes that differ from piece to piece, so that a lost, doubled or swapped piece shows.
std::string pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return s;
}

/// The body of a chunked message that begins after its head; "" when the framing breaks.
std::string dechunk(std::string_view framed) {
    std::string body;
    for (;;) {
        auto eol = framed.find("\r\n");
        if (eol == std::string_view::npos)
            return {};
        auto size = std::stoul(std::string(framed.substr(0, eol)), nullptr, 16);
        framed.remove_prefix(eol + 2);
        if (size == 0)
            return body;
        if (framed.size() < size + 2)
            return {};
        body.append(framed.substr(0, size));
        framed.remove_prefix(size + 2);
    }
}

TEST(ProxyRobustness, LargeBodiesArriveIntactBothWays) {
    auto big = pattern(3 * 1024 * 1024 + 17) + "#END#";
    std::mutex mutex;
    std::vector<std::string> bodies;
    TestOrigin origin(TestOrigin::serveEach([&](const std::string& head, const std::string& body) {
        {
            std::lock_guard lock(mutex);
            bodies.push_back(body);
        }
        if (head.find("/chunked") != std::string::npos) {
            std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
            for (std::size_t at = 0; at < big.size(); at += 10000) {
                auto piece = big.substr(at, 10000);
                char size[32];
                snprintf(size, sizeof size, "%zx\r\n", piece.size());
                out += size + piece + "\r\n";
            }
            return out + "0\r\n\r\n";
        }
        return TestOrigin::ok(big);
    }));
    ProxyHarness proxy;
    RawClient client(proxy.port());
    client.send("POST " + origin.url("/len") +
                " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big);
    auto reply = client.readUntil("#END#", 10000);
    EXPECT_TRUE(reply.ends_with("\r\n\r\n" + big)) << reply.size() << " " << reply.substr(0, 300);
    client.send("GET " + origin.url("/chunked") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    reply = client.readUntil("\r\n0\r\n\r\n", 10000);
    auto headEnd = reply.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    EXPECT_TRUE(dechunk(std::string_view(reply).substr(headEnd + 4)) == big);
    std::lock_guard lock(mutex);
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_TRUE(bodies[0] == big) << bodies[0].size();
}

// MARK: mutated messages

/// A few random edits: changed, removed, inserted, doubled bytes, line ends, a cut.
std::string mutate(std::string s, std::mt19937& rng) {
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits && !s.empty(); ++i) {
        auto at = rng() % s.size();
        switch (rng() % 6) {
        case 0:
            s[at] = static_cast<char>(rng());
            break;
        case 1:
            s.erase(at, 1 + rng() % 8);
            break;
        case 2:
            s.insert(at, std::string(1 + rng() % 3, std::string_view("\r\n:; 0\0", 7)[rng() % 7]));
            break;
        case 3:
            s.resize(at);
            break;
        case 4:
            s.insert(at, s.substr(at, rng() % 40));
            break;
        case 5:
            s[at] = "\r\n"[rng() % 2];
            break;
        }
    }
    return s;
}

// Every mutated message must end its exchange: the harness then finds nothing left, and
// the sanitizer presets find no bad memory access on the way.
TEST(ProxyRobustness, MutatedResponsesEndTheirExchange) {
    std::mt19937 rng(12345);
    const std::string seeds[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n3;x=y\r\nabc\r\n0\r\nT: "
        "1\r\n\r\n",
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\n\r\nzzz",
        "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n",
    };
    for (int i = 0; i < 200; ++i) {
        auto response = mutate(seeds[i % 4], rng);
        auto method = rng() % 5 == 0 ? "HEAD " : "GET ";
        auto version = rng() % 3 == 0 ? " HTTP/1.0" : " HTTP/1.1";
        TestOrigin origin([&](OriginConnection& c, TestOrigin&) {
            if (!c.readHead())
                return;
            c.write(response);
            c.close();
        });
        ProxyHarness proxy;
        RawClient client(proxy.port());
        client.send(method + origin.url() + version + "\r\nHost: x\r\nProxy-Connection: close\r\n\r\n");
        EXPECT_TRUE(client.closedByPeer()) << i;
    }
}

TEST(ProxyRobustness, MutatedRequestsEndTheirExchange) {
    std::mt19937 rng(777);
    TestOrigin origin(TestOrigin::serveEach(
        [](const std::string&, const std::string& body) { return TestOrigin::ok(body); }));
    auto url = origin.url();
    const std::string seeds[] = {
        "GET " + url + "a?b=c HTTP/1.1\r\nHost: x\r\n\r\n",
        "POST " + url + " HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhelloGET " + url +
            " HTTP/1.1\r\n\r\n",
        "POST " + url + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
        "CONNECT 127.0.0.1:" + std::to_string(origin.port()) +
            " HTTP/1.1\r\n\r\nGET /x HTTP/1.1\r\nHost: y\r\n\r\n",
    };
    for (int i = 0; i < 200; ++i) {
        ProxyHarness proxy;
        RawClient client(proxy.port());
        client.send(mutate(seeds[i % 4], rng));
        client.shutdownWrite(); // a request cut short must not wait for the read timeout
        EXPECT_TRUE(client.closedByPeer()) << i;
    }
}

} // namespace
} // namespace pemtrox::test
