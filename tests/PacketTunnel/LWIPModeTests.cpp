#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/TunnelNamespaces.h"

using namespace pemtrox;
using test::TunnelNamespaces;

namespace {

// The running program's relay objects all back at zero within the time, by its Plumber message.
void expectRelayIdle(const std::string& program, const std::string& container, std::chrono::seconds within) {
    auto report = [&] { return test::runCommand(program + " message Plumber" + container); };
    EXPECT_TRUE(test::waitFor(
        [&] {
            auto text = report();
            for (auto type : {"TCPSocket", "ProxySocket", "StreamCopier", "ProxyEvent"})
                if (text.find(std::string(type) + " = 0") == std::string::npos)
                    return false;
            return true;
        },
        within))
        << report();
}

// LWIP mode under load, as its user runs it: in gw, taking cli's traffic to the servers in srv
// (203.0.113.10, port 8080); ended with SIGTERM. Relaying, proxying and interception one
// request at a time are WholeSystem.LWIPModeTakesTheClientNamespacesTraffic's.
TEST(LWIPModeProgram, CarriesALargeDownloadParallelClientsAndAHalfClosedTunnel) {
    if (auto reason = TunnelNamespaces::unavailable(); !reason.empty())
        GTEST_SKIP() << reason;
    TunnelNamespaces spaces;
    test::TempDir dir;
    auto www = dir.path() / "www";
    std::filesystem::create_directories(www);
    std::ofstream(www / "index") << "hello from srv";
    TunnelNamespaces::must("head -c 104857600 /dev/urandom > '" + (www / "big").string() + "'");
    test::ChildProcess web("exec ip netns exec " + spaces.srv +
                           " python3 -u -m http.server 8080 --bind :: --directory '" + www.string() +
                           "' 2>&1");
    ASSERT_NE(web.waitForLine("Serving HTTP"), "") << web.output();
    test::ChildProcess counter("exec ip netns exec " + spaces.srv + R"( python3 -u -c 'import socket
srv = socket.create_server(("::", 7070), family=socket.AF_INET6, dualstack_ipv6=True); print("READY", flush=True)
while True:
    c, _ = srv.accept(); n = 0
    while True:
        piece = c.recv(65536)
        if not piece: break
        n += len(piece)
    c.sendall(b"got %d" % n); c.close()' 2>&1)");
    ASSERT_NE(counter.waitForLine("READY"), "") << counter.output();
    std::string program = PEMTROX_BINARY, container = " --container '" + dir.path().string() + "'";
    test::ChildProcess pemtrox("exec ip netns exec " + spaces.gw + " " + program + " --mode LWIP --netns " +
                               spaces.cli + container + " 2>&1");
    ASSERT_NE(pemtrox.waitForLine("Running; app messages at"), "") << pemtrox.output();
    auto curl = [&](const std::string& arguments) {
        return TunnelNamespaces::in(spaces.cli, "curl -sS --max-time 60 " + arguments);
    };

    // "Send, then read the reply" through a tunnel on the stack: the client ends its side
    // after its bytes and still gets the server's answer.
    EXPECT_EQ(TunnelNamespaces::in(spaces.cli, R"(python3 -c 'import socket
s = socket.create_connection(("198.18.72.253", 8888)); s.sendall(b"CONNECT 203.0.113.10:7070 HTTP/1.1\r\n\r\n")
head = b""
while b"\r\n\r\n" not in head: head += s.recv(1)
s.sendall(b"hello\n"); s.shutdown(socket.SHUT_WR)
print(s.makefile().read(), end="")')"),
              "got 6")
        << "half-closed tunnel through the stack";
    EXPECT_EQ(curl("http://203.0.113.10:8080/big | sha256sum"),
              test::runCommand("sha256sum < '" + (www / "big").string() + "'"));
    EXPECT_EQ(TunnelNamespaces::in(spaces.cli,
                                   "seq 200 | xargs -P 200 -I{} curl -s -o /dev/null --max-time 60 "
                                   "-w '%{http_code}\\n' http://203.0.113.10:8080/index | sort | uniq -c"),
              "    200 200\n");
    expectRelayIdle(program, container, std::chrono::seconds(20));

    ::kill(pemtrox.pid(), SIGTERM);
    EXPECT_EQ(pemtrox.wait(), 0) << pemtrox.output();
}

// The program in gw relaying cli's connections to a load server in srv (tcp_load.py on
// 203.0.113.10:8080); its relay objects are back at none afterwards and it exits cleanly.
class LoadThroughTheRelay {
public:
    /// `settings`: the program's settings file, if any.
    explicit LoadThroughTheRelay(const std::string& settings = "") {
        if (!settings.empty())
            std::ofstream(dir.path() / "settings.json") << settings;
        const char* source = std::getenv("PEMTROX_SOURCE_DIR");
        if (!source)
            throw std::runtime_error("run through ctest, which sets PEMTROX_SOURCE_DIR");
        tool = "python3 '" + (std::filesystem::path(source) / "tests/support/tunnel/tcp_load.py").string() +
               "' ";
        hostile = "python3 -u '" +
                  (std::filesystem::path(source) / "tests/support/tunnel/hostile_clients.py").string() + "' ";
        server = std::make_unique<test::ChildProcess>("exec ip netns exec " + spaces.srv + " " + tool +
                                                      "serve 203.0.113.10 8080 2>&1");
        EXPECT_NE(server->waitForLine("READY"), "") << server->output();
        container = " --container '" + dir.path().string() + "'";
        // The console goes to a file: a pipe read only now and then fills up, and the program
        // would then wait on its own log lines (each Plumber report writes some).
        pemtrox = std::make_unique<test::ChildProcess>(
            "exec ip netns exec " + spaces.gw + " " + program + " --mode LWIP --netns " + spaces.cli +
            container + " >'" + (dir.path() / "console.out").string() + "' 2>&1");
        EXPECT_TRUE(test::waitFor(
            [&] { return programOutput().find("Running; app messages at") != std::string::npos; },
            std::chrono::seconds(10)))
            << programOutput();
    }
    /// Runs tcp_load.py load with the arguments in cli; returns its JSON line.
    std::string load(const std::string& arguments) {
        counts = TunnelNamespaces::in(spaces.cli, tool + "load 203.0.113.10 8080 " + arguments);
        return counts;
    }
    /// A number of the last load's JSON line, -1 when missing.
    double count(const std::string& kind) const { return number(counts, kind); }
    /// A number of a JSON line, -1 when missing or null.
    static double number(const std::string& json, const std::string& kind) {
        auto at = json.find("\"" + kind + "\": ");
        if (at == std::string::npos || json.compare(at + kind.size() + 4, 4, "null") == 0)
            return -1;
        return std::atof(json.c_str() + at + kind.size() + 4);
    }
    /// The end of the program's output so far, for a failure.
    std::string programOutput() const {
        auto output = test::slurp(dir.path() / "console.out");
        return output.substr(output.size() > 4000 ? output.size() - 4000 : 0);
    }
    void finish() {
        EXPECT_NE(TunnelNamespaces::in(spaces.cli, tool + "probe 203.0.113.10 8080 10"), "none\n")
            << "no new connection was served after the load";
        expectRelayIdle(program, container, std::chrono::seconds(30));
        ::kill(pemtrox->pid(), SIGTERM);
        EXPECT_EQ(pemtrox->wait(30000), 0) << programOutput();
    }

    TunnelNamespaces spaces;
    test::TempDir dir;
    std::string tool, hostile, container, counts, program = PEMTROX_BINARY;
    std::unique_ptr<test::ChildProcess> server, pemtrox;
};

// Thousands of apps in cli connect through the relay at once, each for a small download: every
// connection completes or is refused, none hangs or gets wrong bytes, and right after the load
// a new connection is served; the relay's objects then go back to none.
TEST(LWIPModeProgram, ThousandsOfConnectionsAtOnceCompleteOrAreRefusedAndTheTunnelServesOn) {
    if (auto reason = TunnelNamespaces::unavailable(); !reason.empty())
        GTEST_SKIP() << reason;
    LoadThroughTheRelay relay;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer builds' program is several times slower.
    const std::string connections = "1500", seconds = "120";
#else
    const std::string connections = "3000", seconds = "60";
#endif
    std::cout << connections
              << " connections at once through the relay: " << relay.load(connections + " 20480 " + seconds);
    EXPECT_EQ(relay.count("hung"), 0) << relay.counts;
    EXPECT_EQ(relay.count("broken"), 0) << relay.counts;
    EXPECT_GT(relay.count("ok"), 0) << relay.counts;
    relay.finish();
}

// Downloads through the proxy on the stack with every exchange recorded: the load server closes
// right after each response's last byte, often while that byte is still on its way to the app.
// Every download the app got whole is recorded COMPLETE, none as an error.
TEST(LWIPModeProgram, ProxiedDownloadsThatArriveWholeAreRecordedComplete) {
    if (auto reason = TunnelNamespaces::unavailable(); !reason.empty())
        GTEST_SKIP() << reason;
    LoadThroughTheRelay relay;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int connections = 300;
#else
    const int connections = 1500;
#endif
    std::cout << connections << " downloads through the proxy on the stack: "
              << relay.load(std::to_string(connections) + " 40960 120 via=198.18.72.253:8888");
    EXPECT_EQ(relay.count("ok"), connections) << relay.counts;
    // Each exchange's metadata, once the recording has ended them all.
    std::map<std::string, int> statuses, failures; // failures: by exception and response size
    test::waitFor(
        [&] {
            statuses.clear();
            failures.clear();
            int ended = 0;
            std::error_code error;
            for (auto& entry : std::filesystem::directory_iterator(relay.dir.path() / "Recording", error)) {
                auto metadata =
                    nlohmann::json::parse(test::slurp(entry.path() / "metadata.json"), nullptr, false);
                auto status = metadata.is_object() ? metadata.value("status", "") : "";
                ++statuses[status];
                ended += status == "COMPLETE" || status == "EXCEPTION";
                if (status == "EXCEPTION")
                    ++failures[metadata.value("exception", "") + ", response size " +
                               std::to_string(metadata.value("totalSize", 0))];
            }
            return ended == connections;
        },
        std::chrono::seconds(60));
    EXPECT_EQ(statuses, (std::map<std::string, int>{{"COMPLETE", connections}}))
        << testing::PrintToString(failures);
    relay.finish();
}

// More connections than the stack once held (about 3,000), all opened before any asks for its
// bytes: every SYN is answered, none left to the clients' back-off (1, 3, 7 s...), and every
// connection is served, none waiting seconds for its next bytes.
TEST(LWIPModeProgram, ABurstOfConnectionsOpenedBeforeAnyIsServedCompletesWithNoneLeftWaiting) {
    if (auto reason = TunnelNamespaces::unavailable(); !reason.empty())
        GTEST_SKIP() << reason;
    // Unrecorded: the stack and the relay set the pace, not the disk.
    LoadThroughTheRelay relay(R"({"recordingSettings.exclude": [{"enabled": true}]})");
    const int connections = 1500;
    std::cout << connections << " connections opened first through the relay: "
              << relay.load(std::to_string(connections) + " 20480 120 first");
    EXPECT_EQ(relay.count("ok"), connections) << relay.counts;
    // Seconds, not the minutes that SYNs left unanswered cost; a loaded machine (the suite
    // runs in parallel) stretches a few seconds a little, the sanitizer build several times.
#if defined(__SANITIZE_ADDRESS__)
    const double longest = 40;
#elif defined(__SANITIZE_THREAD__)
    const double longest = 90;
#else
    const double longest = 15;
#endif
    EXPECT_LT(relay.count("connect_max"), longest) << relay.counts;
    EXPECT_LT(relay.count("wait_max"), longest) << relay.counts;
    relay.finish();
}

// Apps that stop reading their downloads and keep their connections, downloading through the
// relay or through the proxy on the stack (the parameter): 100 of them once held the stack's
// whole output budget, and from then on every new connection got its SYN-ACK and the
// acknowledgement of its request, then nothing, for as long as they waited. With 150 of them
// stalled, new downloads the same way are served within a second; the stalled ones are still
// open, and each reads its whole download intact when its app resumes.
class AppsThatStopReading : public testing::TestWithParam<std::string> {};

TEST_P(AppsThatStopReading, HoldNoNewConnectionBack) {
    if (auto reason = TunnelNamespaces::unavailable(); !reason.empty())
        GTEST_SKIP() << reason;
    LoadThroughTheRelay relay(R"({"recordingSettings.exclude": [{"enabled": true}]})");
    const std::string via = GetParam() == "proxy" ? " 198.18.72.253:8888" : "";
    // 2 MB each: far more than what the client's socket and the app take before the window
    // closes, so that each keeps output queued toward its app.
    const int stalledCount = 150;
    test::ChildProcess stalled("exec ip netns exec " + relay.spaces.cli + " " + relay.hostile +
                               "stall 203.0.113.10 8080 " + std::to_string(stalledCount) + " 2097152 600" +
                               via + " 2>&1");
    ASSERT_EQ(stalled.waitForLine("STALLED", 60000),
              "STALLED " + std::to_string(stalledCount) + " of " + std::to_string(stalledCount))
        << stalled.output() << relay.programOutput();

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const double longest = 3; // the sanitizer builds' program is several times slower
#else
    const double longest = 1;
#endif
    // New downloads a second apart for 3 s, each bounded by 5 s: every one served within the bound.
    auto sample =
        TunnelNamespaces::in(relay.spaces.cli, relay.hostile + "sample 203.0.113.10 8080 3 1 5" + via);
    EXPECT_GE(LoadThroughTheRelay::number(sample, "probes"), 1) << sample;
    EXPECT_EQ(LoadThroughTheRelay::number(sample, "served"), LoadThroughTheRelay::number(sample, "probes"))
        << sample << relay.programOutput();
    EXPECT_GE(LoadThroughTheRelay::number(sample, "max"), 0) << sample;
    EXPECT_LT(LoadThroughTheRelay::number(sample, "max"), longest) << sample;

    // Resumed, each download has 45 s for the rest: the counts come before the test's time-out.
    ::kill(stalled.pid(), SIGUSR1);
    auto resumed = stalled.waitForLine("\"ok\"", 55000);
    EXPECT_EQ(LoadThroughTheRelay::number(resumed, "ok"), stalledCount)
        << stalled.output() << relay.programOutput();
    EXPECT_EQ(stalled.wait(10000), 0) << stalled.output();
    relay.finish();
}

INSTANTIATE_TEST_SUITE_P(LWIPModeProgram, AppsThatStopReading, testing::Values("relay", "proxy"),
                         [](const auto& info) { return info.param; });

} // namespace
