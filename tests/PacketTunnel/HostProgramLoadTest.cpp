// The program under a crowd of hostile clients: whatever they do, every connection they
// leave is released and the live-object counts return to their idle values.

#include <csignal>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/TestCertificates.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
namespace fs = std::filesystem;

namespace {

std::string shellQuote(const std::string& text) {
    return "'" + text + "'";
}

/// A TLS server that takes a while (0 to 60 ms) before each handshake, as a loaded one does,
/// and closes a connection that stays silent for a second after it.
const char* slowTlsOrigin = R"(import random, socket, ssl, sys, threading, time
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER); ctx.load_cert_chain(sys.argv[1], sys.argv[2])
srv = socket.socket(); srv.bind(("127.0.0.1", 0)); srv.listen(1024)
print("PORT", srv.getsockname()[1], flush=True)
def serve(c):
    try:
        time.sleep(random.random() * 0.06); c.settimeout(5)
        s = ctx.wrap_socket(c, server_side=True); s.settimeout(1); s.recv(1)
    except Exception: pass
    c.close()
while True:
    c, _ = srv.accept(); threading.Thread(target=serve, args=(c,), daemon=True).start()
)";

/// The program's TCP sockets in CLOSE-WAIT: the peer has closed, the program has not.
int closeWaitSockets(int pid) {
    std::set<std::string> inodes;
    std::error_code ec;
    for (auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        auto target = fs::read_symlink(fd.path(), ec).string();
        if (target.starts_with("socket:["))
            inodes.insert(target.substr(8, target.size() - 9));
    }
    int count = 0;
    for (auto table : {"/net/tcp", "/net/tcp6"}) {
        std::istringstream lines(test::slurp("/proc/" + std::to_string(pid) + table));
        std::string line;
        std::getline(lines, line); // the column names
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
            if (f.size() > 9 && f[3] == "08" && inodes.contains(f[9]))
                ++count;
        }
    }
    return count;
}

/// "key = count" rows of a Plumber reply.
std::map<std::string, long> plumberCounts(const std::string& reply) {
    std::map<std::string, long> counts;
    std::istringstream lines(reply);
    std::string line;
    while (std::getline(lines, line))
        if (auto at = line.find(" = "); at != std::string::npos)
            counts[line.substr(0, at)] = std::atol(line.c_str() + at + 3);
    return counts;
}

/// The rows whose count differs from the idle one (a row missing there counts 0).
std::string differences(const std::map<std::string, long>& idle, const std::map<std::string, long>& now) {
    std::string out;
    for (auto& [key, count] : now)
        if (auto it = idle.find(key); count != (it == idle.end() ? 0 : it->second))
            out += key + " = " + std::to_string(count) + "\n";
    return out;
}

} // namespace

TEST(HostProgramUnderLoad, InterceptedHandshakesAbortedAtMixedPointsLeaveNothingBehind) {
    // Once, a few of 2,000 clients that gave up at such points left their tunnel alive until
    // the program's exit, its server socket in CLOSE-WAIT: a client reset while the server's
    // handshake ran closed the client's socket unseen, and the TLS begun on it later never
    // ended.
    const auto& pki = test::TestCertificates::shared();
    test::TempDir dir;
    int port = test::RefusingPort().port();
    std::string program = PEMTROX_BINARY;
    std::string container = " --container " + shellQuote(dir.path().string());
    std::ofstream(dir.path() / "settings.json") << R"({"sslSettings.proxyingEnabled": true,
               "sslSettings.include": [{"enabled": true, "type": "Glob", "hostname": "localhost"}]})";
    // The log goes to a file: a pipe that nobody drains while the clients run would stall it.
    auto log = dir.path() / "output.txt";
    test::ChildProcess pemtrox("SSL_CERT_FILE=" + shellQuote(pki.rootFile.string()) + " exec " + program +
                               container + " --port " + std::to_string(port) + " >" +
                               shellQuote(log.string()) + " 2>&1");
    ASSERT_TRUE(
        test::waitFor([&] { return test::slurp(log).find("Running; app messages at") != std::string::npos; },
                      std::chrono::seconds(10)))
        << test::slurp(log);
    auto plumber = [&] {
        return plumberCounts(test::runCommand(program + " message Plumber" + container + " 2>&1"));
    };
    auto idle = plumber();
    test::ChildProcess server("exec python3 -u -c '" + std::string(slowTlsOrigin) + "' " +
                              shellQuote(pki.chainFile.string()) + " " +
                              shellQuote(pki.leafKeyFile.string()) + " 2>&1");
    int serverPort = std::atoi(server.waitForLine("PORT").substr(5).c_str());
    ASSERT_NE(serverPort, 0) << server.output();

    const std::string connect =
        "CONNECT localhost:" + std::to_string(serverPort) + " HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string established = "HTTP/1.0 200 Connection established\r\n\r\n";
    const std::string helloStart("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
    // What each client does after its CONNECT; the last step ends the connection.
    const std::vector<std::vector<std::string>> plays = {
        {"close"},
        {"reset"},
        {"<200", "close"},
        {"<200", "reset"},
        {"<200", ">" + helloStart, "close"},
        {"<200", ">" + helloStart, "reset"},
        {"<200", ">GET / HTTP/1.1\r\n\r\n\x01\x02garbage", "close"},
        {"<200", "wait", "close"},
    };
    std::atomic<int> next{0};
    const int clients = 320;
    std::vector<std::thread> workers;
    for (int w = 0; w < 80; ++w)
        workers.emplace_back([&, w] {
            std::mt19937 random(w);
            for (int i; (i = next++) < clients;) {
                try {
                    test::RawClient client(port);
                    client.send(connect);
                    for (auto& step : plays[i % plays.size()]) {
                        if (step == "close")
                            client.close();
                        else if (step == "reset")
                            client.reset();
                        else if (step == "wait")
                            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1500));
                        else if (step[0] == '<')
                            client.readUntil(established, 5000);
                        else
                            client.send(step.substr(1));
                    }
                } catch (const std::exception&) {
                }
            }
        });
    for (auto& worker : workers)
        worker.join();

    // The counts first: a tunnel left behind keeps its server connection, which the server
    // closes after a second, so by the end of this wait it would show in CLOSE-WAIT.
    std::map<std::string, long> now;
    EXPECT_TRUE(
        test::waitFor([&] { return differences(idle, now = plumber()).empty(); }, std::chrono::seconds(10)))
        << differences(idle, now);
    EXPECT_EQ(closeWaitSockets(pemtrox.pid()), 0);
    ::kill(pemtrox.pid(), SIGTERM);
    EXPECT_EQ(pemtrox.wait(), 0) << test::slurp(log);
}
