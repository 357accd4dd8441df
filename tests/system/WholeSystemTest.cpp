// The built program as its user runs it, in network namespaces: the program in gw, real
// servers in srv, real clients (curl, dig, ping, python) in cli. Each check is a row; a failing
// row names itself and prints the program's console output.
#include <csignal>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/TunnelNamespaces.h"

using namespace pemtrox;
using test::TunnelNamespaces;
using json = nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

/// Every server of srv: HTTP on :80 and :8080 and HTTPS on :443 (any address, both families)
/// answering "<the address reached> <path>"; on :53 of .53/::53 a DNS server (secure.test's
/// IPv4 address, a big TXT record at big.test), of .10/::10 a UDP echo.
const char* serversScript = R"(import socket, ssl, struct, sys, threading
tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER); tls.load_cert_chain(sys.argv[1], sys.argv[2])
def http(c, secure):
    try:
        if secure: c = tls.wrap_socket(c, server_side=True)
        here = c.getsockname()[0].removeprefix("::ffff:"); f = c.makefile("rb")
        while line := f.readline():
            length = 0
            while (h := f.readline()) not in (b"\r\n", b""):
                if h.lower().startswith(b"content-length:"): length = int(h[15:])
            f.read(length)
            body = (here + " " + line.split()[1].decode() + "\n").encode()
            c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    except Exception: pass
    finally: c.close()
def tcp(port):
    s = socket.socket(socket.AF_INET6); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0); s.bind(("::", port)); s.listen(128)
    while True:
        c, _ = s.accept(); threading.Thread(target=http, args=(c, port == 443), daemon=True).start()
def dns(q):
    if len(q) < 17: return None
    i, labels = 12, []
    while q[i]: labels.append(q[i + 1:i + 1 + q[i]].decode().lower()); i += q[i] + 1
    name, qtype = ".".join(labels), struct.unpack(">H", q[i + 1:i + 3])[0]
    answers = {("secure.test", 1): [socket.inet_pton(socket.AF_INET, "203.0.113.10")],
               ("big.test", 16): [bytes([255]) + b"x" * 255] * 8}.get((name, qtype), [])
    flags = 0x8180 if name in ("secure.test", "big.test") else 0x8183
    rr = b"".join(b"\xc0\x0c" + struct.pack(">HHIH", qtype, 1, 60, len(d)) + d for d in answers)
    return q[:2] + struct.pack(">HHHHH", flags, 1, len(answers), 0, 0) + q[12:i + 5] + rr
def udp(address):
    s = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((address, 53))
    while True:
        data, peer = s.recvfrom(65535)
        s.sendto((dns(data) if address.endswith("53") else None) or data, peer)
for port in (80, 8080, 443): threading.Thread(target=tcp, args=(port,), daemon=True).start()
for a in ("203.0.113.53", "2001:db8::53", "203.0.113.10", "2001:db8::10"):
    threading.Thread(target=udp, args=(a,), daemon=True).start()
print("READY", flush=True); sys.stdin.read()
)";

std::string shellQuoted(const std::string& text) {
    return "'" + text + "'";
}

/// secure.test's certificate, from the test PKI's intermediate (the chain the server sends).
const fs::path& secureTestChain() {
    static fs::path chain = [] {
        const auto& pki = test::TestCertificates::shared();
        auto d = pki.directory.string();
        TunnelNamespaces::must(
            "(cd " + shellQuoted(d) +
            " && printf 'subjectAltName=DNS:secure.test\\nextendedKeyUsage=serverAuth\\n' >"
            " secure.ext && openssl req -new -key leaf.key -subj /CN=secure.test -out secure.csr"
            " && openssl x509 -req -in secure.csr -CA inter.pem -CAkey inter.key -set_serial 9"
            " -days 30 -extfile secure.ext -out secure.pem && cat secure.pem inter.pem >"
            " secure-chain.pem)");
        return pki.directory / "secure-chain.pem";
    }();
    return chain;
}

struct Check {
    std::string name;
    std::function<void()> run;
};

class WholeSystem : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto reason = TunnelNamespaces::unavailable(); !reason.empty())
            GTEST_SKIP() << reason;
        spaces = std::make_unique<TunnelNamespaces>();
        const auto& pki = test::TestCertificates::shared();
        servers = std::make_unique<test::ChildProcess>(
            "exec ip netns exec " + spaces->srv + " python3 -u -c " + shellQuoted(serversScript) + " " +
            shellQuoted(secureTestChain().string()) + " " + shellQuoted(pki.leafKeyFile.string()) + " 2>&1");
        ASSERT_NE(servers->waitForLine("READY"), "") << servers->output();
    }
    void TearDown() override {
        if (program && !stopped)
            ::kill(program->pid(), SIGTERM), program->wait(20000);
    }

    /// Starts the program in gw with these options; the test root is its trust store.
    void start(const std::string& options) {
        program = std::make_unique<test::ChildProcess>(
            "SSL_CERT_FILE=" + shellQuoted(test::TestCertificates::shared().rootFile.string()) +
            " exec ip netns exec " + spaces->gw + " " + PEMTROX_BINARY + " --container " +
            shellQuoted(dir.path().string()) + " " + options + " >" + shellQuoted(consoleFile().string()) +
            " 2>&1");
        ASSERT_TRUE(test::waitFor(
            [&] { return console().find("Running; app messages at") != std::string::npos; }, 30s))
            << console();
    }
    fs::path consoleFile() const { return dir.path() / "console.out"; }
    std::string console() const { return test::slurp(consoleFile()); }
    fs::path container(const std::string& name) const { return dir.path() / name; }

    std::string cli(const std::string& command, int* status = nullptr) {
        return TunnelNamespaces::in(spaces->cli, command, status);
    }
    std::string gw(const std::string& command, int* status = nullptr) {
        return TunnelNamespaces::in(spaces->gw, command, status);
    }
    std::string message(const std::string& command) {
        return test::runCommand(std::string(PEMTROX_BINARY) + " message " + command + " --container " +
                                shellQuoted(dir.path().string()) + " 2>&1");
    }
    void settings(const json& values) {
        std::ofstream(container("settings.json")) << values.dump();
        EXPECT_EQ(message("SettingsChanged"), "Acknowleged\n");
    }

    /// The first ended recording (metadata, plus "dir") that the predicate accepts, waiting for it.
    json recorded(const std::function<bool(const json&)>& wanted) {
        json found = json::object();
        test::waitFor(
            [&] {
                std::error_code error;
                for (auto& entry : fs::directory_iterator(container("Recording"), error)) {
                    auto metadata = json::parse(test::slurp(entry.path() / "metadata.json"), nullptr, false);
                    auto status = metadata.is_object() ? metadata.value("status", "") : "";
                    bool ended = status == "COMPLETE" || status == "EXCEPTION" || status == "BLOCKED";
                    if (ended && wanted(metadata)) {
                        found = metadata;
                        found["dir"] = entry.path().string();
                        return true;
                    }
                }
                return false;
            },
            10s);
        return found;
    }
    static std::string body(const json& recording, const char* file) {
        return !recording.contains("dir") ? ""
                                          : test::slurp(fs::path(recording["dir"].get<std::string>()) / file);
    }

    /// Runs the rows in order; a row that fails says so with the program's output.
    void run(const std::vector<Check>& checks) {
        for (const auto& check : checks) {
            SCOPED_TRACE("check: " + check.name);
            auto* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
            int before = result->total_part_count();
            check.run();
            bool failed = false;
            for (int i = before; i < result->total_part_count(); ++i)
                failed |= result->GetTestPartResult(i).failed();
            if (failed)
                ADD_FAILURE() << "check \"" << check.name << "\" failed; the program's output:\n"
                              << console();
        }
    }

    void stop() {
        ::kill(program->pid(), SIGTERM);
        EXPECT_EQ(program->wait(30000), 0);
        stopped = true;
    }

    test::TempDir dir;
    std::unique_ptr<TunnelNamespaces> spaces;
    std::unique_ptr<test::ChildProcess> servers, program;
    bool stopped = false;
    const std::string proxy = "-x http://198.18.72.253:8888 ";
    const std::string curl = "curl -sS --max-time 20 ";
};

const json interceptSecureTest = {
    {"sslSettings.proxyingEnabled", true},
    {"sslSettings.include", {{{"enabled", true}, {"type", "Glob"}, {"hostname", "secure.test"}}}}};

/// Blocks blocked.test and 203.0.113.1 with a 403; made-up.test is spoofed to 203.0.113.53.
const json toolsOn = {
    {"tools.blacklist.enabled", true},
    {"tools.blacklist.blockType", "Return 403 response"},
    {"tools.blacklist.include",
     {{{"enabled", true}, {"type", "Regex"}, {"hostname", "blocked\\.test|203\\.0\\.113\\.1"}}}},
    {"tools.dnsSpoofing.enabled", true},
    {"tools.dnsSpoofing.mappings",
     {{{"hostnameMatch", {{"enabled", true}, {"type", "Glob"}, {"hostname", "made-up.test"}}},
       {"address", "203.0.113.53"}}}}};

TEST_F(WholeSystem, LWIPModeTakesTheClientNamespacesTraffic) {
    start("--mode LWIP --netns " + spaces->cli);
    auto caCert = shellQuoted(container("ca-cert.pem").string());
    auto testRoot = shellQuoted(test::TestCertificates::shared().rootFile.string());
    run({
        {"tunnel settings in cli",
         [&] {
             auto addresses = cli("ip addr");
             EXPECT_NE(addresses.find("198.18.72.254/24"), std::string::npos) << addresses;
             EXPECT_NE(addresses.find("fd92:1d98:ae72:f4ca:1234:1234:1234:1234/64"), std::string::npos);
             EXPECT_NE(cli("ip route show default").find("default dev"), std::string::npos);
             EXPECT_NE(cli("ip -6 route show default").find("default dev"), std::string::npos);
             EXPECT_NE(cli("ip -6 route show type throw").find("throw ff02::/16"), std::string::npos);
             EXPECT_EQ(cli("grep ^nameserver /etc/resolv.conf"),
                       "nameserver 203.0.113.53\nnameserver 2001:db8::53\n");
         }},
        {"catch-all relay, raw stream recorded",
         [&] {
             settings({{"recordingSettings.recordRawTCPStreams", true}});
             EXPECT_EQ(cli(curl + "http://203.0.113.10:8080/x"), "203.0.113.10 /x\n");
             auto r = recorded([](const json& m) { return m.value("port", 0) == 8080; });
             EXPECT_EQ(r.value("tunnel", false), true) << r;
             EXPECT_NE(body(r, "response.dat").find("203.0.113.10 /x"), std::string::npos) << r;
             EXPECT_NE(body(r, "request.dat").find("GET /x HTTP/1.1"), std::string::npos) << r;
         }},
        {"proxy on the stack",
         [&] {
             EXPECT_EQ(cli(curl + proxy + "http://203.0.113.10/p?q=1"), "203.0.113.10 /p?q=1\n");
             auto r = recorded([](const json& m) { return m.value("path", "") == "/p"; });
             EXPECT_EQ(r.value("method", ""), "GET") << r;
             EXPECT_EQ(r.value("host", ""), "203.0.113.10") << r;
         }},
        {"interception through settings",
         [&] {
             int status = -1;
             cli(curl + proxy + "--cacert " + caCert + " https://secure.test/", &status);
             EXPECT_NE(status, 0) << "our CA signs nothing while interception is off";
             auto r = recorded([](const json& m) { return m.value("method", "") == "CONNECT"; });
             EXPECT_NE(r.value("notes", "").find("SSL Proxying not enabled"), std::string::npos) << r;
             EXPECT_EQ(cli(curl + proxy + "--cacert " + testRoot + " https://secure.test/opaque"),
                       "203.0.113.10 /opaque\n");
             r = recorded([](const json& m) {
                 return m.value("method", "") == "CONNECT" && m["response"]["sizes"].value("body", 0) > 0;
             });
             EXPECT_NE(body(r, "response.dat"), "") << r;
             EXPECT_EQ(body(r, "response.dat").find("/opaque"), std::string::npos)
                 << "recorded as sent: encrypted";
             settings(interceptSecureTest);
             EXPECT_EQ(cli(curl + proxy + "--cacert " + caCert + " https://secure.test/in"),
                       "203.0.113.10 /in\n");
             cli(curl + proxy + "--cacert " + testRoot + " https://secure.test/", &status);
             EXPECT_NE(status, 0) << "without our CA, the client refuses the interception";
             r = recorded([](const json& m) { return m.value("path", "") == "/in"; });
             EXPECT_EQ(r.value("scheme", ""), "https") << r;
             EXPECT_EQ(body(r, "response.dat"), "203.0.113.10 /in\n") << r;
         }},
        {"UDP",
         [&] {
             EXPECT_EQ(cli("dig +short +time=5 @203.0.113.53 secure.test"), "203.0.113.10\n");
             auto big = cli("dig +bufsize=4096 +ignore +time=5 @203.0.113.53 big.test TXT");
             auto size = big.find("MSG SIZE  rcvd: ");
             ASSERT_NE(size, std::string::npos) << big;
             EXPECT_GT(std::atoi(big.c_str() + size + 16), 1500) << big;
             EXPECT_EQ(
                 cli("python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                     "s.settimeout(10)\nfor a in (\"203.0.113.10\", \"203.0.113.53\"): s.sendto(b\"hi\", (a, "
                     "53))\nprint(sorted(s.recvfrom(99)[1][0] for _ in range(2)))'"),
                 "['203.0.113.10', '203.0.113.53']\n");
         }},
        {"ICMP",
         [&] {
             for (auto [family, counter, address] : {std::tuple{"-4", "IcmpInEchos", "203.0.113.10"},
                                                     std::tuple{"-6", "Icmp6InEchos", "2001:db8::10"}}) {
                 auto count = [&, counter = counter] {
                     auto line = TunnelNamespaces::in(spaces->srv, std::string("nstat -saz ") + counter);
                     auto at = line.find(counter);
                     return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + strlen(counter));
                 };
                 int before = count();
                 cli(std::string("ping -c3 -i0.2 -W2 ") + family + " " + address);
                 EXPECT_GE(count() - before, 3) << counter;
             }
         }},
        {"IPv6 TCP through the relay",
         [&] { EXPECT_EQ(cli(curl + "http://[2001:db8::10]:8080/v6"), "2001:db8::10 /v6\n"); }},
        {"tools",
         [&] {
             settings(toolsOn);
             EXPECT_EQ(cli(curl + proxy + "-o /dev/null -w %{http_code} http://blocked.test/"), "403");
             int status = -1;
             auto out = cli(curl + "http://203.0.113.1:8080/", &status);
             // The reset ends the connect (7) or, once connected, the read (56).
             EXPECT_TRUE(status == 7 || status == 56) << status << ": " << out;
             EXPECT_EQ(cli(curl + proxy + "http://made-up.test/m"), "203.0.113.53 /m\n");
         }},
        {"the gateway's loopback out of reach through the proxy on the stack",
         [&] {
             test::ChildProcess web("exec ip netns exec " + spaces->gw + " python3 -um http.server 80 2>&1");
             ASSERT_NE(web.waitForLine("Serving HTTP"), "") << web.output();
             auto spoofed = toolsOn; // made-up.test to an IPv4-mapped loopback
             spoofed["tools.dnsSpoofing.mappings"][0]["address"] = "::ffff:127.0.0.1";
             settings(spoofed);
             for (std::string target : {"127.0.0.1", "localhost", "0.0.0.0", "made-up.test"})
                 for (std::string how : {"-w %{http_code} ", "-p -w %{http_connect} "}) {
                     auto got = cli(curl + proxy + how + "-o /dev/null http://" + target + "/ 2>/dev/null");
                     EXPECT_EQ(got, "503") << how << target;
                 }
             EXPECT_EQ(cli(curl + proxy + "-w %{http_code} -o /dev/null http://192.0.2.1/"), "200");
         }},
        {"app messages",
         [&] {
             auto log = message("Log");
             ASSERT_EQ(log.rfind("Log\n" + dir.path().string() + "/pemtrox ", 0), 0u) << log;
             EXPECT_EQ(message("ClearLog"), "Acknowleged\n");
             EXPECT_EQ(fs::file_size(log.substr(4, log.size() - 5)), 0u);
             EXPECT_EQ(message("Plumber").rfind("Plumber\n", 0), 0u);
             EXPECT_EQ(message("Nonsense"), "UnknownMessage\n");
         }},
        {"network change",
         [&] {
             std::ofstream(spaces->gwResolvConf()) << "nameserver 2001:db8::53\n";
             TunnelNamespaces::must("ip -n " + spaces->gw + " route replace default via 192.0.2.3 && ip -n " +
                                    spaces->gw + " -6 route replace default via 2001:db8:ff::3");
             EXPECT_TRUE(test::waitFor(
                 [&] { return cli("grep ^nameserver /etc/resolv.conf") == "nameserver 2001:db8::53\n"; },
                 20s))
                 << cli("cat /etc/resolv.conf");
             EXPECT_EQ(cli(curl + "http://secure.test:8080/after"), "203.0.113.10 /after\n");
         }},
        {"SIGTERM",
         [&] {
             stop();
             EXPECT_EQ(cli("ip -br link | grep -vc ^lo"), "0\n");
             EXPECT_FALSE(fs::exists(spaces->cliResolvConf().parent_path()));
             EXPECT_EQ(
                 test::runCommand("cd " + shellQuoted(container("Recording").string()) +
                                  " && for m in */metadata.json; do jq -e . $m >/dev/null || echo $m; done"),
                 "");
         }},
    });
}

// Proxy mode in gw: nothing of cli is touched, and the tools do not act.
TEST_F(WholeSystem, ProxyModeServesTheGatewayWithoutTheTools) {
    start("--mode Proxy --port 8888");
    auto viaEnv = ". " + shellQuoted(container("proxy.env").string()) + " && " + curl;
    run({
        {"no routes claimed in cli",
         [&] {
             EXPECT_EQ(cli("ip route show default; ip -6 route show default"), "");
             EXPECT_FALSE(fs::exists(spaces->cliResolvConf()));
         }},
        {"the proxy through proxy.env, recorded",
         [&] {
             EXPECT_EQ(gw(viaEnv + "http://203.0.113.10/g"), "203.0.113.10 /g\n");
             EXPECT_EQ(
                 recorded([](const json& m) { return m.value("path", "") == "/g"; }).value("method", ""),
                 "GET");
         }},
        {"interception",
         [&] {
             settings(interceptSecureTest);
             EXPECT_EQ(gw(viaEnv + "--cacert " + shellQuoted(container("ca-cert.pem").string()) +
                          " https://secure.test/s"),
                       "203.0.113.10 /s\n");
             auto r = recorded([](const json& m) { return m.value("path", "") == "/s"; });
             EXPECT_EQ(r.value("scheme", ""), "https") << r;
         }},
        {"the tools do not act",
         [&] {
             settings(toolsOn);
             EXPECT_EQ(gw(viaEnv + "http://203.0.113.1/b"), "203.0.113.1 /b\n");
             EXPECT_EQ(gw(viaEnv + "-o /dev/null -w %{http_code} http://made-up.test/"), "503");
         }},
        {"SIGTERM",
         [&] {
             stop();
             EXPECT_FALSE(fs::exists(container("proxy.env")));
         }},
    });
}

/// The live-object counts of a Plumber reply, by name.
std::map<std::string, long> liveObjects(const std::string& report) {
    std::map<std::string, long> counts;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);)
        if (auto at = line.find(" = "); at != std::string::npos)
            counts[line.substr(0, at)] = std::atol(line.c_str() + at + 3);
    return counts;
}

// Mixed traffic from many clients for two minutes: the program's memory and descriptors level
// off, and its live objects return to their idle counts once the clients stop.
TEST_F(WholeSystem, SoakLevelsOff) {
    const char* length = std::getenv("PEMTROX_SOAK_SECONDS"); // shorter by hand
    int seconds = length ? std::atoi(length) : 120, clients = 20;
    start("--mode LWIP --netns " + spaces->cli);
    settings(interceptSecureTest);
    auto idle = liveObjects(message("Plumber"));
    auto pid = std::to_string(program->pid());
    auto sample = [&] {
        auto rss = test::runCommand("awk '/^VmRSS/ {print $2}' /proc/" + pid + "/status");
        auto fds = test::runCommand("ls /proc/" + pid + "/fd | wc -l");
        return std::pair{std::atol(rss.c_str()), std::atol(fds.c_str())};
    };
    // One round of every kind of traffic; each failure prints a line (pings get no replies).
    std::string quiet =
        "-o /dev/null --max-time 20 -w \"%{time_connect} %{time_appconnect} %{time_starttransfer} \" ";
    std::string round =
        "curl -s " + quiet + "http://203.0.113.10:8080/r || echo FAIL relay $?; curl -s " + quiet + proxy +
        "http://203.0.113.10/p || echo FAIL proxy $?; curl -s " + quiet + proxy + "--cacert " +
        shellQuoted(container("ca-cert.pem").string()) +
        " https://secure.test/i || echo FAIL intercepted $?; curl -s " + quiet + "--cacert " +
        shellQuoted(test::TestCertificates::shared().rootFile.string()) +
        " https://secure.test/o || echo FAIL tls $?; dig +short +time=5 @203.0.113.53 secure.test "
        ">/dev/null || echo FAIL dns; ping -c1 -W1 203.0.113.10 >/dev/null";
    std::vector<std::unique_ptr<test::ChildProcess>> running;
    for (int i = 0; i < clients; ++i)
        running.push_back(std::make_unique<test::ChildProcess>(
            "exec ip netns exec " + spaces->cli + " sh -c " +
            shellQuoted("end=$(($(date +%s) + " + std::to_string(seconds) +
                        ")); while [ $(date +%s) -lt $end ]; do " + round + "; echo ROUND; done") +
            " 2>&1"));
    std::vector<std::pair<long, long>> samples;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::seconds(2)))
        samples.push_back(sample());
    int rounds = 0, failures = 0;
    std::string failed;
    for (auto& client : running) {
        auto out = client->readAll(60000);
        for (std::size_t at = 0; (at = out.find("ROUND", at)) != std::string::npos; ++at)
            ++rounds;
        for (std::size_t at = 0; (at = out.find("FAIL", at)) != std::string::npos; ++at)
            ++failures, failed += out.substr(at > 40 ? at - 40 : 0, out.find('\n', at) - at + 40) + "; ";
    }
    std::cout << "soak: " << rounds << " rounds of 6 exchanges from " << clients << " clients in " << seconds
              << " s; " << failures << " failed " << failed << std::endl;
    auto problems = test::runCommand("grep -v ' INFO ' " + shellQuoted(consoleFile().string()));
    EXPECT_GT(rounds, clients) << problems;
    // Under this load every exchange completes: none may hang or fail.
    EXPECT_EQ(failures, 0) << failed << "\nthe program's warnings and errors:\n" << problems;
    // Level off: the last quarter's peak stays near the third quarter's (idle UDP sockets live
    // for a minute, so the first half still grows).
    ASSERT_GE(samples.size(), 8u);
    auto peak = [&](std::size_t from, std::size_t to) {
        std::pair<long, long> most{0, 0};
        for (auto i = from; i < to; ++i)
            most = {std::max(most.first, samples[i].first), std::max(most.second, samples[i].second)};
        return most;
    };
    auto n = samples.size();
    auto early = peak(n / 2, 3 * n / 4), late = peak(3 * n / 4, n);
    std::cout << "soak: resident " << early.first << " kB then " << late.first << " kB; descriptors "
              << early.second << " then " << late.second << std::endl;
    EXPECT_LE(late.first, early.first * 5 / 4 + 16384) << "resident memory keeps growing";
    EXPECT_LE(late.second, early.second * 5 / 4 + 32) << "descriptors keep growing";
    // Idle UDP sockets are swept after a minute.
    std::string report;
    EXPECT_TRUE(test::waitFor(
        [&] {
            report = message("Plumber");
            for (auto& [name, count] : liveObjects(report))
                if (count != (idle.count(name) ? idle[name] : 0))
                    return false;
            return true;
        },
        std::chrono::seconds(100)))
        << report;
    stop();
}

} // namespace
