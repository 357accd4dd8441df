// CONNECT tunnels through real sockets: what reaches each side, and that every tunnel ends
// with nothing left behind (the harness checks the live-object counts when it goes).
#include <gtest/gtest.h>

#include "proxy/engine/ProxyEvent.h"
#include "tests/engine/ProxyHarness.h"
#include "tests/engine/TestOrigin.h"
#include "tests/support/TestSupport.h"

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

} // namespace
} // namespace pemtrox::test
