// The proxy end to end on loopback: curl and raw sockets as clients, a scripted origin.
#include <gtest/gtest.h>

#include <thread>

#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpProxyHandler.h"
#include "proxy/engine/PipeRemoteConnection.h"
#include "proxy/engine/ProxyServerAdapter.h"
#include "proxy/io/ByteArrayInputStream.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/NullOutputStream.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"

namespace pemtrox::test {
namespace {

TEST(ProxyEndToEnd, PlainRequestsReachTheOriginInOriginFormAndComeBack) {
    TestOrigin origin(TestOrigin::serveEach([](const std::string& head, const std::string& body) {
        if (head.starts_with("POST"))
            return TestOrigin::ok("got " + body);
        return TestOrigin::ok("hello");
    }));
    ProxyHarness proxy;
    int status = -1;
    EXPECT_EQ(curl(proxy, origin.url("/a?b=1"), &status), "hello");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(curl(proxy, "--data-binary 'x=1&y=2' " + origin.url("/form"), &status), "got x=1&y=2");
    auto heads = origin.heads();
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_TRUE(heads[0].starts_with("GET /a?b=1 HTTP/1.1\r\n")) << heads[0];
    EXPECT_EQ(headerValue(heads[0], "Proxy-Connection"), "");
    EXPECT_TRUE(heads[1].starts_with("POST /form HTTP/1.1\r\n")) << heads[1];
    EXPECT_EQ(proxy.recorder->requestBody(), "x=1&y=2");

    // Every step of the GET, in order.
    auto first = proxy.recorder->exchanges("connect").at(0);
    std::vector<std::string> steps;
    for (auto& step : proxy.recorder->steps())
        if (step.evt == first)
            steps.push_back(step.name);
    std::vector<std::string> expected{
        "connect",      "address",    "url",     "header",         "resolving",          "connecting",
        "connected",    "sentHeader", "request", "responseHeader", "sentResponseHeader", "responseBody",
        "responseBody", "response",   "complete"};
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(first->responseSize, 5);
    EXPECT_EQ(first->status, ProxyEventStatus::complete);
}

TEST(ProxyEndToEnd, ChunkedBodiesBothWaysAreReframed) {
    TestOrigin origin(TestOrigin::serveEach([](const std::string&, const std::string& body) {
        return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n" +
               std::string(1, "0123456789abcdef"[body.size() % 16]) + "\r\n" +
               body.substr(0, body.size() % 16) + "\r\n0\r\n\r\n";
    }));
    ProxyHarness proxy;
    int status = -1;
    auto out =
        curl(proxy, "-H 'Transfer-Encoding: chunked' --data-binary 'abcdefg' " + origin.url(), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "helloabcdefg");
    ASSERT_EQ(origin.heads().size(), 1u);
    EXPECT_EQ(headerValue(origin.heads()[0], "Transfer-Encoding"), "chunked");
    // The client may have its response before the proxy has told the listeners it is done.
    ASSERT_TRUE(waitFor([&] { return proxy.recorder->exchanges("complete").size() == 1; }));
    auto evt = proxy.recorder->exchanges("complete").at(0);
    EXPECT_EQ(evt->requestSize, 7);
    // responseSize counts the bytes as received, chunk framing included.
    EXPECT_GT(*evt->responseSize, 12);
}

TEST(ProxyEndToEnd, KeptAliveClientReusesOneRemoteConnection) {
    TestOrigin origin(TestOrigin::answering("x"));
    // With an explicit port, and without one (the default port, mapped to the origin).
    for (auto base : {origin.url(""), std::string("http://127.0.0.1")}) {
        ProxyHarness proxy;
        *proxy.port80 = origin.port();
        int accepts = origin.accepts(), status = -1;
        EXPECT_EQ(curl(proxy, base + "/1 " + base + "/2", &status), "xx") << base;
        EXPECT_EQ(status, 0);
        EXPECT_EQ(origin.accepts(), accepts + 1) << base;
        ASSERT_TRUE(waitFor([&] { return proxy.recorder->exchanges("complete").size() == 2; }));
        auto done = proxy.recorder->exchanges("complete");
        EXPECT_FALSE(done[0]->keptAlive);
        EXPECT_TRUE(done[1]->keptAlive);
    }
}

TEST(ProxyEndToEnd, StaleKeptAliveConnectionIsReplacedWithoutAnError) {
    // The origin closes every connection after one response, without saying so.
    TestOrigin origin([](OriginConnection& c, TestOrigin& o) {
        if (auto head = c.readHead()) {
            o.recordHead(*head);
            c.write(TestOrigin::ok("y"));
        }
    });
    ProxyHarness proxy;
    RawClient client(proxy.port());
    for (int i = 0; i < 2; ++i) {
        client.send(origin.get());
        auto response = client.readUntil("\r\n\r\ny");
        EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK")) << response;
    }
    EXPECT_EQ(origin.accepts(), 2);
}

// Scripts on one client connection (steps as in play); then the proxy closes the connection
// or keeps it.
TEST(ProxyEndToEnd, ConnectionAndFramingRules) {
    TestOrigin origin(TestOrigin::serveEach([](const std::string& head, const std::string& body) {
        auto line = head.substr(0, head.find("\r\n"));
        if (line.find("/old ") != std::string::npos)
            return std::string("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nok #");
        if (line.find("/chunked-head ") != std::string::npos)
            return std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        if (line.find("/nocontent ") != std::string::npos)
            return std::string("HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n");
        // gzip of "hello world", plain, and again in one chunk
        const std::string gzipped("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xcb\x48\xcd\xc9\xc9\x57\x28"
                                  "\xcf\x2f\xca\x49\x01\x00\x85\x11\x4a\x0d\x0b\x00\x00\x00",
                                  31);
        if (line.find("/chunked ") != std::string::npos)
            return std::string(
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
        if (line.find("/gzip ") != std::string::npos)
            return "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 31\r\n\r\n" + gzipped;
        if (line.find("/gzip-chunked ") != std::string::npos)
            return "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n1f\r\n" +
                   gzipped + "\r\n0\r\n\r\n";
        return TestOrigin::ok("length=" + headerValue(head, "Content-Length") + " body=" + body + "#",
                              "Connection: keep-alive\r\n");
    }));
    auto get = [&](const std::string& path, const std::string& fields = "", const char* version = "1.1") {
        return ">GET " + origin.url(path) + " HTTP/" + version + "\r\nHost: h\r\n" + fields + "\r\n";
    };
    struct Row {
        const char* why;
        std::vector<std::string> steps;
        bool closes;
    } rows[] = {
        {"HTTP/1.0 clients are never kept",
         {get("/", "", "1.0"), "^HTTP/1.1 200", "<\r\nProxy-Connection: Close\r\n", "<#",
          "!Connection: keep"},
         true},
        {"Proxy-Connection: close",
         {get("/", "Proxy-Connection: close\r\n"), "^HTTP/1.1", "<Close\r\n", "<#"},
         true},
        {"Connection: close", {get("/", "Connection: close\r\n"), "^HTTP/1.1", "<Close\r\n", "<#"}, true},
        {"close among other tokens",
         {get("/", "Connection: keep-alive, Close\r\n"), "^HTTP/1.1", "<Close\r\n", "<#"},
         true},
        {"HTTP/1.0 clients get chunked bodies unframed",
         {get("/chunked", "", "1.0"), "^HTTP/1.1 200", "<\r\n\r\n", "!Transfer-Encoding", "=hello"},
         true},
        {"and decoded", {get("/gzip", "", "1.0"), "^HTTP/1.1 200", "<\r\n\r\n", "=hello world"}, true},
        {"and both",
         {get("/gzip-chunked", "", "1.0"), "^HTTP/1.1 200", "<\r\n\r\n", "!Transfer-Encoding",
          "=hello world"},
         true},
        {"an HTTP/1.0 server without keep-alive", {get("/old"), "^HTTP/1.0 200", "<Close\r\n", "<#"}, true},
        {"HTTP/1.1 both ways is kept",
         {get("/"), "^HTTP/1.1 200", "<Proxy-Connection: Keep-alive\r\n", "<#", "!Connection: keep", get("/"),
          "^HTTP/1.1 200", "<#"},
         false},
        {"a chunked request loses its Content-Length",
         {">POST " + origin.url("/") +
              " HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\nTransfer-Encoding: "
              "chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
          "^HTTP/1.1 200", "<length= body=abc#"},
         false},
        {"bodyless responses with a chunked head add no last chunk",
         {">HEAD " + origin.url("/chunked-head") + " HTTP/1.1\r\nHost: h\r\n\r\n", "^HTTP/1.1 200",
          "<Transfer-Encoding: Chunked\r\n", "<\r\n\r\n", get("/nocontent"), "^HTTP/1.1 204", "<\r\n\r\n",
          get("/"), "^HTTP/1.1 200", "<#"},
         false},
    };
    ProxyHarness proxy;
    for (auto& row : rows) {
        SCOPED_TRACE(row.why);
        RawClient client(proxy.port());
        play(client, row.steps);
        EXPECT_EQ(client.closedByPeer(row.closes ? 15000 : 200), row.closes);
    }
}

// Interim heads pass through (at most 100 of them, one marker field on the final head);
// a body without framing runs to the server's close.
TEST(ProxyEndToEnd, CloseDelimitedAndInterimResponses) {
    TestOrigin origin([](OriginConnection& c, TestOrigin&) {
        auto head = c.readHead();
        if (!head)
            return;
        if (head->find("/eof") != std::string::npos) {
            c.write("HTTP/1.1 200 OK\r\nServer: t\r\n\r\nuntil the end");
            c.close();
            return;
        }
        c.readBytes(std::stoul("0" + headerValue(*head, "Content-Length")));
        std::string interim;
        for (int i = 0; i < (head->find("/flood") != std::string::npos ? 150 : 3); ++i)
            interim += "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n";
        c.write(interim + TestOrigin::ok("done"));
        c.readToEnd();
    });
    auto count = [](const std::string& text, const std::string& part) {
        int n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    };
    ProxyHarness proxy;
    int status = -1;
    EXPECT_EQ(curl(proxy, origin.url("/eof"), &status), "until the end");
    EXPECT_EQ(status, 0);
    auto reply = curl(proxy, "-i --data-binary abc " + origin.url("/few"), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(count(reply, "X-Pemtrox-Received-Continue: HTTP/1.1 103 Early Hints\r\n"), 1) << reply;
    EXPECT_TRUE(reply.ends_with("done")) << reply;
    RawClient flood(proxy.port());
    flood.send(origin.get("/flood"));
    reply = flood.readAll(15000);
    EXPECT_EQ(count(reply, "HTTP/1.1 103 Early Hints\r\n"), 100);
    EXPECT_NE(reply.find("HTTP/1.0 503 Service Unavailable\r\n"), std::string::npos);
    EXPECT_NE(reply.find("More than 100 interim responses"), std::string::npos);
}

TEST(ProxyEndToEnd, ResponseHeadArrivesBeforeItsBodyIsSent) {
    std::atomic<bool> headSeen{false};
    TestOrigin origin([&](OriginConnection& c, TestOrigin&) {
        if (!c.readHead())
            return;
        for (auto head : {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n",
                          "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"}) {
            c.write(head);
            waitFor([&] { return headSeen.load(); }, std::chrono::seconds(20));
            c.write(std::string(head).find("chunked") == std::string::npos ? "hello"
                                                                           : "5\r\nhello\r\n0\r\n\r\n");
            headSeen = false;
            if (!c.readHead())
                return;
        }
    });
    ProxyHarness proxy;
    RawClient client(proxy.port());
    for (int i = 0; i < 2; ++i) {
        client.send(origin.get());
        auto head = client.readUntil("\r\n\r\n", 15000);
        EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK")) << head; // the server still holds the body
        headSeen = true;
        EXPECT_TRUE(client.readUntil("hello", 15000).ends_with("hello")) << i;
    }
}

TEST(ProxyEndToEnd, ServerConnectionWithStrayBytesIsNotReused) {
    std::atomic<int> strays{0};
    TestOrigin origin([&](OriginConnection& c, TestOrigin&) {
        while (auto head = c.readHead()) {
            if (head->find("/204") != std::string::npos) {
                c.write("HTTP/1.1 204 No Content\r\n\r\n0123456789");
            } else if (head->find("/304") != std::string::npos) {
                c.write("HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n");
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                c.write("0123456789"); // after the head has been read
            } else {
                c.write(TestOrigin::ok("fine"));
                continue;
            }
            ++strays;
        }
    });
    ProxyHarness proxy;
    RawClient client(proxy.port());
    for (auto [path, status, end, straysSoFar] : {std::tuple{"/304", "304", "\r\n\r\n", 1},
                                                  {"/next", "200", "fine", 1},
                                                  {"/204", "204", "\r\n\r\n", 2},
                                                  {"/next", "200", "fine", 2}}) {
        client.send(origin.get(path));
        auto reply = client.readUntil(end, 15000);
        EXPECT_TRUE(reply.starts_with(std::string("HTTP/1.1 ") + status)) << path << reply;
        waitFor([&] { return strays == straysSoFar; });
    }
    EXPECT_EQ(origin.accepts(), 3);
}

TEST(ProxyEndToEnd, UnusableRequestsEndTheExchangeWithoutLeaks) {
    TestOrigin origin(TestOrigin::answering("x"));
    auto url = origin.url();
    auto port = std::to_string(origin.port());
    std::string manyFields;
    for (int i = 0; i < 10000; ++i)
        manyFields += "X-" + std::to_string(i) + ": v\r\n";
    auto line = [&](const std::string& first) { return first + "\r\nHost: x\r\n\r\n"; };
    struct Case {
        std::string request;
        std::string expected; // in the reply
    } cases[] = {
        // Request lines that servers could read differently: nothing may be forwarded.
        {line("GARBAGE"), "Invalid first line: GARBAGE"},
        {line("GE\x01T " + url + " HTTP/1.1"), "Invalid first line"}, // the grammar: FirstLineTest
        {line("GET " + url + "a\tb HTTP/1.1"), "Invalid first line"},
        {line("GET " + url + " HTTP/2.0"), "Invalid first line"},
        // Heads past a limit are answered with the limit.
        {"GET " + url + " HTTP/1.1\r\n" + manyFields + "\r\n", "More than 256 header fields"},
        {"GET " + url + " HTTP/1.1\r\nX: " + std::string(1 << 20, 'a') + "\r\n\r\n",
         "Header line longer than 16384 bytes"},
        {line("GET " + url + std::string(1 << 20, 'a') + " HTTP/1.1"), "Header line longer than 16384 bytes"},
        {"GET " + url + " HTTP/1.1\r\n" + std::string(5000, ' ') + "\r\n", "Unexpected whitespace"},
        {"GET " + url + std::string(" HTTP/1.1\r\nX: a\0b\r\n\r\n", 20), "Bare CR, LF or NUL"},
        {"GET http://127.0.0.1:70000/ HTTP/1.1\r\nHost: x\r\n\r\n",
         "Malformed request URL: http://127.0.0.1:70000/"},
        {"CONNECT 127.0.0.1:0 HTTP/1.1\r\nHost: x\r\n\r\n", "Invalid CONNECT request: 127.0.0.1:0"},
        {"CONNECT [::1]:443 HTTP/1.1\r\nHost: x\r\n\r\n", "Invalid CONNECT request"},
        {"GET /relative HTTP/1.1\r\nHost: x\r\n\r\n", "Malformed request URL: /relative"},
        {"GET https://127.0.0.1/ HTTP/1.1\r\nHost: x\r\n\r\n", "Unimplemented feature: https"},
        {"GET <b>x://h/ HTTP/1.1\r\nHost: x\r\n\r\n", "Unsupported scheme: &lt;b&gt;x"},
        {"POST " + url + " HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
         "Unsupported transfer encoding: gzip, chunked"},
        {"POST " + url + " HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
         "Invalid Content-Length: 4"},
        {"POST " + url + " HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "Invalid Content-Length: -1"},
    };
    for (auto& c : cases) {
        ProxyHarness proxy;
        RawClient client(proxy.port());
        client.send(c.request);
        auto reply = client.readAll();
        auto trace = c.request.substr(0, 80);
        EXPECT_TRUE(reply.starts_with("HTTP/1.0 503 Service Unavailable\r\n")) << trace << reply;
        EXPECT_NE(reply.find(c.expected), std::string::npos) << trace << "\n" << reply;
        EXPECT_NE(reply.find("\r\nConnection: Close\r\n"), std::string::npos) << reply;
        EXPECT_TRUE(waitFor([&] { return proxy.recorder->exchanges("exception").size() == 1; })) << trace;
    }
    EXPECT_EQ(origin.accepts(), 0);
}

TEST(ProxyEndToEnd, SlowClientIsClosedAfterTheReadTimeout) {
    HttpProxyHandler::setDefaultReadTimeout(std::chrono::milliseconds(300));
    ProxyHarness proxy;
    RawClient idle(proxy.port());
    RawClient slow(proxy.port());
    slow.send("GET http://127.0.0.1/ HTTP/1.1\r\n");
    EXPECT_TRUE(idle.closedByPeer());
    EXPECT_TRUE(slow.closedByPeer());
}

// Answers requests for "/builtin" itself, like the built-in responders do.
class BuiltinResponder : public ProxyServerAdapter {
public:
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) override {
        if (evt->path() != "/builtin")
            return;
        auto in = HttpInputStream::make(ByteArrayInputStream::make(toData(TestOrigin::ok("from inside"))));
        auto out = HttpOutputStream::make(NullOutputStream::make());
        evt->overrideRemoteConnection = PipeRemoteConnection::make(in, out);
    }
};

TEST(ProxyEndToEnd, SuppliedConnectionServesOnlyItsOwnRequest) {
    TestOrigin origin(TestOrigin::answering("origin"));
    ProxyHarness proxy;
    auto responder = std::make_shared<BuiltinResponder>();
    proxy.server->addProxyListener(responder);
    RawClient client(proxy.port());
    client.send(origin.get("/builtin"));
    EXPECT_NE(client.readUntil("from inside").find("from inside"), std::string::npos);
    client.send(origin.get("/other"));
    EXPECT_NE(client.readUntil("origin").find("origin"), std::string::npos);
    EXPECT_EQ(origin.heads().size(), 1u);
    proxy.server->removeProxyListener(responder);
}

TEST(ProxyEndToEnd, UnreachableServerGetsAnErrorPage) {
    test::RefusingPort refusing;
    int closedPort = refusing.port();
    ProxyHarness proxy;
    int status = -1;
    auto out = curl(proxy, "-i http://127.0.0.1:" + std::to_string(closedPort) + "/", &status);
    EXPECT_TRUE(out.starts_with("HTTP/1.0 503 Service Unavailable")) << out; // CONNECT: ConnectTunnelTest
}

TEST(ProxyEndToEnd, HttpInsideAConnectTunnelIsRecordedRequestByRequest) {
    TestOrigin origin(TestOrigin::answering("in"));
    ProxyHarness proxy;
    int status = -1;
    auto out = curl(proxy, "-p " + origin.url("/1") + " " + origin.url("/2"), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "inin");
    EXPECT_EQ(origin.accepts(), 1);
    auto cancelled = proxy.recorder->exchanges("cancelled");
    ASSERT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(cancelled[0]->method, "CONNECT");
    ASSERT_TRUE(waitFor([&] { return proxy.recorder->exchanges("complete").size() == 2; }));
    auto done = proxy.recorder->exchanges("complete");
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0]->path(), "/1");
    EXPECT_FALSE(done[0]->keptAlive);
    EXPECT_TRUE(done[1]->keptAlive);
    EXPECT_EQ(done[1]->file(), "/2");
    // Inside a tunnel the client speaks to the server: plain "Connection" framing.
    EXPECT_FALSE(done[0]->tunnel);
}

// A server that speaks first is heard at once; bytes pass untouched both ways.
TEST(ProxyEndToEnd, OpaqueTunnelCopiesBothWays) {
    TestOrigin echo([](OriginConnection& c, TestOrigin&) {
        c.write("220 ready\r\n");
        for (auto bytes = c.readAvailable(5000); !bytes.empty(); bytes = c.readAvailable(5000))
            c.write("echo:" + bytes);
    });
    ProxyHarness proxy;
    {
        RawClient client(proxy.port());
        client.send("CONNECT 127.0.0.1:" + std::to_string(echo.port()) + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(client.readUntil("\r\n\r\n"), "HTTP/1.0 200 Connection established\r\n\r\n");
        EXPECT_EQ(client.readUntil("\r\n"), "220 ready\r\n");
        client.send(std::string("\x16\x03\x01 binary", 10));
        EXPECT_EQ(client.readUntil("binary"), std::string("echo:\x16\x03\x01 binary", 15));
    }
    EXPECT_TRUE(waitFor([&] { return proxy.recorder->exchanges("complete").size() == 1; }));
    auto evt = proxy.recorder->exchanges("complete").at(0);
    EXPECT_TRUE(evt->tunnel);
    EXPECT_EQ(evt->requestSize, 10);
    EXPECT_EQ(evt->responseSize, 26);
}

} // namespace
} // namespace pemtrox::test
