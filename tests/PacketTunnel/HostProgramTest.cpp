#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/TestCertificates.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/TunnelNamespaces.h"

using namespace pemtrox;
namespace fs = std::filesystem;

namespace {

std::string shellQuote(const std::string& text) {
    return "'" + text + "'";
}

/// An HTTPS server that answers every request with 200 and a short body.
const char* tlsOrigin = R"(import socket, ssl, sys, threading
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER); ctx.load_cert_chain(sys.argv[1], sys.argv[2])
srv = socket.socket(); srv.bind(("127.0.0.1", 0)); srv.listen(16)
print("PORT", srv.getsockname()[1], flush=True)
def serve(c):
    try:
        s = ctx.wrap_socket(c, server_side=True); f = s.makefile("rb")
        while f.readline():
            while f.readline() not in (b"\r\n", b""): pass
            s.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
    except Exception: pass
while True:
    c, _ = srv.accept(); threading.Thread(target=serve, args=(c,), daemon=True).start()
)";

/// A loopback port that another program listens on, for the life of the object.
class TakenPort {
public:
    TakenPort() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd_, 1) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
            throw std::runtime_error("cannot take a loopback port");
        port = ntohs(addr.sin_port);
    }
    ~TakenPort() { ::close(fd_); }
    TakenPort(const TakenPort&) = delete;
    TakenPort& operator=(const TakenPort&) = delete;
    int port = 0;

private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

/// The text of the container's log file ("" when there is none).
std::string logFileText(const fs::path& container) {
    std::string text;
    for (auto& entry : fs::directory_iterator(container))
        if (entry.path().extension() == ".log")
            text += test::slurp(entry.path());
    return text;
}

/// An ext4 image mounted on a directory for the life of the object (as root, with loop
/// devices): a file system of its own that can be frozen, as a disk that stops answering
/// does. Thawed and unmounted at the end; a process of its own thaws it after a minute should
/// the test die while it is frozen.
class FreezableFileSystem {
public:
    FreezableFileSystem(const fs::path& image, const fs::path& mountPoint) : mountPoint_(mountPoint) {
        fs::create_directories(mountPoint);
        int status = -1;
        test::runCommand("truncate -s 64M " + shellQuote(image) + " && mkfs.ext4 -q -F " + shellQuote(image) +
                             " && mount -o loop " + shellQuote(image) + " " + shellQuote(mountPoint) +
                             " && rmdir " + shellQuote(mountPoint / "lost+found") + " 2>&1",
                         &status);
        mounted_ = status == 0;
    }
    ~FreezableFileSystem() {
        thaw();
        if (mounted_)
            test::runCommand("umount " + shellQuote(mountPoint_) + " 2>&1");
    }
    FreezableFileSystem(const FreezableFileSystem&) = delete;
    FreezableFileSystem& operator=(const FreezableFileSystem&) = delete;

    bool mounted() const { return mounted_; }
    void freeze() {
        guard_ = std::stoi(test::runCommand("setsid bash -c 'sleep 60; fsfreeze -u " +
                                            shellQuote(mountPoint_) + "' >/dev/null 2>&1 & echo $!"));
        test::runCommand("fsfreeze -f " + shellQuote(mountPoint_));
    }
    void thaw() {
        if (guard_ <= 0)
            return;
        test::runCommand("fsfreeze -u " + shellQuote(mountPoint_) + " 2>&1");
        ::kill(-guard_, SIGKILL); // its sleep too
        guard_ = 0;
    }

private:
    fs::path mountPoint_;
    bool mounted_ = false;
    int guard_ = 0;
};

/// The exchange directories of a recording store whose metadata.json is missing or does not
/// parse, and what else lies in the store; the store's count of directories.
std::pair<std::string, int> unreadableExchanges(const fs::path& store) {
    std::string out;
    int count = 0;
    for (const auto& entry : fs::directory_iterator(store)) {
        auto name = entry.path().filename().string();
        if (name == ".tmp")
            continue; // the temporaries, when the store is a file system of its own
        ++count;
        if (!nlohmann::json::accept(test::slurp(entry.path() / "metadata.json")))
            out += name + "\n";
    }
    return {out, count};
}

} // namespace

/// The program as its user runs it: started with a container, told things with
/// "pemtrox message", ended with SIGTERM.
TEST(HostProgram, ProxyModeAnswersMessagesFollowsSettingsAndCleansUp) {
    const auto& pki = test::TestCertificates::shared();
    test::TempDir dir;
    int port = test::RefusingPort().port();
    std::string program = PEMTROX_BINARY;
    std::string container = " --container " + shellQuote(dir.path().string());
    // The program trusts the test servers' root, as a system would trust a real one.
    test::ChildProcess pemtrox("SSL_CERT_FILE=" + shellQuote(pki.rootFile.string()) + " exec " + program +
                               container + " --port " + std::to_string(port) + " 2>&1");
    ASSERT_NE(pemtrox.waitForLine("Running; app messages at"), "") << pemtrox.output();
    auto message = [&](const std::string& arguments, int* status = nullptr) {
        return test::runCommand(program + " message " + arguments + container + " 2>&1", status);
    };

    int status = -1;
    EXPECT_EQ(message("Log", &status).rfind("Log\n" + dir.path().string(), 0), 0u);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(message("log"), "UnknownMessage\n");
    EXPECT_EQ(message("ClearLog --no-reply"), "");
    // Options go before or after the command ("" for no reply, else the reply's start).
    struct Order {
        std::string arguments, reply;
    } orders[] = {
        {"message" + container + " Log", "Log\n" + dir.path().string()},
        {container + " message Log", "Log\n" + dir.path().string()},
        {"message --no-reply" + container + " ClearLog", ""},
    };
    for (const auto& order : orders) {
        status = -1;
        auto out = test::runCommand(program + " " + order.arguments + " 2>&1", &status);
        EXPECT_EQ(order.reply.empty() ? out : out.substr(0, order.reply.size()), order.reply)
            << order.arguments;
        EXPECT_EQ(status, 0) << order.arguments;
    }
    {
        // Clients that connect and say nothing delay nobody's answer.
        std::vector<int> idle;
        for (int i = 0; i < 20; ++i) {
            idle.push_back(::socket(AF_UNIX, SOCK_STREAM, 0));
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strcpy(address.sun_path, (dir.path() / "pemtrox.sock").c_str());
            EXPECT_EQ(::connect(idle.back(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        }
        EXPECT_EQ(message("Plumber", &status).rfind("Plumber\n", 0), 0u);
        EXPECT_EQ(status, 0);
        for (int fd : idle)
            ::close(fd);
    }

    // proxy.env points a shell's clients at the proxy: its error page answers a dead server.
    auto env = (dir.path() / "proxy.env").string();
    EXPECT_EQ(test::runCommand(". " + shellQuote(env) +
                               " && curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:1/"),
              "503");

    // An HTTPS server: tunnelled untouched until the settings turn interception on.
    test::ChildProcess server("exec python3 -u -c '" + std::string(tlsOrigin) + "' " +
                              shellQuote(pki.chainFile.string()) + " " +
                              shellQuote(pki.leafKeyFile.string()) + " 2>&1");
    int serverPort = std::atoi(server.waitForLine("PORT").substr(5).c_str());
    ASSERT_NE(serverPort, 0) << server.output();
    std::string curl = "curl -s -o /dev/null -w '%{http_code}' --max-time 10 --cacert " +
                       shellQuote((dir.path() / "ca-cert.pem").string()) +
                       " -x http://127.0.0.1:" + std::to_string(port) +
                       " https://localhost:" + std::to_string(serverPort) + "/";
    int curlStatus = -1;
    test::runCommand(curl, &curlStatus);
    EXPECT_NE(curlStatus, 0) << "our CA signs nothing while interception is off";
    std::ofstream(dir.path() / "settings.json") << R"({"sslSettings.proxyingEnabled": true,
               "sslSettings.include": [{"enabled": true, "type": "Glob", "hostname": "localhost"}]})";
    EXPECT_EQ(message("SettingsChanged"), "Acknowleged\n");
    EXPECT_EQ(test::runCommand(curl, &curlStatus), "200");
    EXPECT_EQ(curlStatus, 0);
    EXPECT_TRUE(test::waitFor([&] {
        for (auto& entry : fs::recursive_directory_iterator(dir.path() / "Recording"))
            if (entry.path().filename() == "request_hdr.http")
                return true;
        return false;
    })) << "the decrypted exchange is recorded";

    // Every thread carries the name of its queue or job (top -H, perf and gdb show them): only
    // the main one, waiting for the stop signals, keeps the program's. The intercepted exchange
    // has started the handshake workers, the key pool and the certificate cache.
    std::map<std::string, int> threads;
    for (auto& task : fs::directory_iterator("/proc/" + std::to_string(pemtrox.pid()) + "/task")) {
        auto name = test::slurp(task.path() / "comm");
        ++threads[name.substr(0, name.find('\n'))];
    }
    for (const char* name :
         {"pemtrox", "main", "ProxyManager", "Recording 1", "Recording 2", "Recording 3", "Recording 4",
          "Handshake 1", "Handshake 2", "KeyPool", "CertCache", "Reachability", "AppMessages", "LogWriter"})
        EXPECT_EQ(threads[name], 1) << name << " among " << testing::PrintToString(threads);

    ::kill(pemtrox.pid(), SIGTERM);
    EXPECT_EQ(pemtrox.wait(), 0) << pemtrox.readAll();
    EXPECT_FALSE(fs::exists(dir.path() / "pemtrox.sock"));
    EXPECT_FALSE(fs::exists(env));
    message("Log", &status);
    EXPECT_NE(status, 0) << "nothing answers once the program is gone";
}

TEST(HostProgram, UnusableStartOptionsEndTheProgramWithTheirError) {
    test::TempDir dir;
    std::string program = PEMTROX_BINARY;
    struct Row {
        std::string arguments, output;
        int status;
    } rows[] = {
        {"--options '{\"PacketTunnelMode\":\"proxy\"}'", "Unknown PacketTunnelMode \"proxy\"", 1},
        {"--mode LWIP", "LWIP mode needs --netns NAME", 2},
        {"--netns x", "--netns is for LWIP mode", 2},
        {"--options '[1]'", "--options needs a JSON object", 2},
        {"--port", "--port needs a number", 2},
        {"message", "message needs a command", 2},
        {"--no-reply", "--no-reply is for 'pemtrox message'", 2},
    };
    for (const auto& row : rows) {
        int status = -1;
        auto out = test::runCommand(program + " --container " + shellQuote(dir.path().string()) + " " +
                                        row.arguments + " 2>&1",
                                    &status);
        EXPECT_NE(out.find(row.output), std::string::npos) << row.arguments << ": " << out;
        EXPECT_EQ(status, row.status) << row.arguments;
    }
    EXPECT_FALSE(fs::exists(dir.path() / "pemtrox.sock"));
}

/// A proxy that cannot listen is a start that failed: the error on the console, status 1, and
/// nothing left that points shells at a port someone else holds.
TEST(HostProgram, AStartThatCannotListenEndsTheProgramAndLeavesNoProxyEnv) {
    test::TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    std::string program = PEMTROX_BINARY;
    TakenPort taken;
    struct Row {
        std::string name, runAs;
        int port;
        std::string why;
    };
    std::vector<Row> rows{{"taken", "", taken.port, "Address already in use"}};
    // A port below 1024 without the right to it: as root, the program runs as nobody.
    int firstUnprivileged =
        std::atoi(test::runCommand("sysctl -n net.ipv4.ip_unprivileged_port_start").c_str());
    if (firstUnprivileged <= 80)
        std::cerr << "port 80 is open to everyone here: that row is skipped\n";
    else if (::geteuid() != 0)
        rows.push_back({"port80", "", 80, "Permission denied"});
    else if (test::runCommand("command -v setpriv").empty())
        std::cerr << "no setpriv to drop root's right to port 80: that row is skipped\n";
    else
        rows.push_back({"port80", "setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=", 80,
                        "Permission denied"});

    for (const auto& row : rows) {
        auto container = dir.path() / row.name;
        fs::create_directory(container);
        fs::permissions(container, fs::perms::all);
        int status = -1;
        // nobody's home (for the certificate cache) is the container.
        std::string runAs = row.runAs.empty() ? "" : row.runAs + shellQuote(container.string()) + " ";
        // nobody runs a copy in the open directory: the build tree may lie under a directory
        // only root may enter (a checkout made under mktemp -d).
        std::string runProgram = program;
        if (!row.runAs.empty()) {
            auto copy = dir.path() / "pemtrox";
            fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
            fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
            runProgram = copy.string();
        }
        auto out = test::runCommand(runAs + runProgram + " --container " + shellQuote(container.string()) +
                                        " --port " + std::to_string(row.port) + " 2>&1",
                                    &status);
        EXPECT_EQ(status, 1) << row.name << ": " << out;
        EXPECT_NE(out.find("pemtrox: the tunnel did not start: the proxy is not listening on port " +
                           std::to_string(row.port) + ": " + row.why),
                  std::string::npos)
            << row.name << ": " << out;
        EXPECT_EQ(out.find("Running"), std::string::npos) << row.name << ": " << out;
        EXPECT_FALSE(fs::exists(container / "proxy.env")) << row.name;
        EXPECT_FALSE(fs::exists(container / "pemtrox.sock")) << row.name;
        EXPECT_NE(logFileText(container).find("WARN  Failed to start Proxy Manager: " + row.why),
                  std::string::npos)
            << row.name << ": the log file keeps the failure";
    }
}

/// The log file holds each warning as it is logged: read here while the program runs. The
/// warnings are those of loading settings that hold a location read other than it is written.
TEST(HostProgram, LoadWarningsAreInTheLogFileWhileTheProgramRuns) {
    test::TempDir dir;
    std::string program = PEMTROX_BINARY;
    std::string container = " --container " + shellQuote(dir.path().string());
    std::ofstream(dir.path() / "settings.json")
        << R"({"sslSettings.include": [{"enabled": true, "type": "glob", "hostname": "nomatch"}]})";
    int port = test::RefusingPort().port();
    test::ChildProcess pemtrox("exec " + program + container + " --port " + std::to_string(port) + " 2>&1");
    ASSERT_NE(pemtrox.waitForLine("Running; app messages at"), "") << pemtrox.output();
    auto log = test::runCommand(program + " message Log" + container);
    ASSERT_EQ(log.rfind("Log\n", 0), 0u) << log;
    fs::path logFile = log.substr(4, log.size() - 5);

    // The log file's own thread writes each line as it comes, a moment after it is logged.
    std::string text;
    auto holds = [&](const std::string& line) {
        return test::waitFor([&] { return (text = test::slurp(logFile)).find(line) != std::string::npos; });
    };
    EXPECT_TRUE(holds(" WARN  sslSettings.include, location 1 "
                      R"({"enabled":true,"hostname":"nomatch","type":"glob"}: type "glob" is none of Glob, )"
                      "Regex, Exact, Prefix, Suffix, Contains: matches every exchange\n"))
        << text;
    EXPECT_EQ(text.find("INFO"), std::string::npos) << "the file holds warnings and errors only";

    std::ofstream(dir.path() / "settings.json") << R"({"recordingSettings.exclude": [
        {"enabled": true, "type": "Glob", "hostname": "a"},
        {"enabled": true, "type": "Glob", "hostname": "b", "port": 443}]})";
    EXPECT_EQ(test::runCommand(program + " message SettingsChanged" + container), "Acknowleged\n");
    EXPECT_TRUE(
        holds(" WARN  recordingSettings.exclude, location 2 "
              R"({"enabled":true,"hostname":"b","port":443,"type":"Glob"}: port ignored: not a text)"))
        << text;

    ::kill(pemtrox.pid(), SIGTERM);
    EXPECT_EQ(pemtrox.wait(), 0) << pemtrox.readAll();
}

/// --interface keeps the proxy to one address; without it, every interface takes clients.
/// The program runs in a namespace of its own with a neighbour (the tunnel fixture's gw and
/// srv, joined at 192.0.2.1 and 192.0.2.2); the proxy's own CA download answers the probes.
TEST(HostProgram, InterfaceKeepsTheProxyToOneAddress) {
    if (auto reason = test::TunnelNamespaces::unavailable(); !reason.empty())
        GTEST_SKIP() << "needs network namespaces of its own: " << reason;
    test::TunnelNamespaces spaces;
    test::TempDir dir;
    std::string program = PEMTROX_BINARY;
    struct Probe {
        std::string from, address;
        bool reaches;
    };
    struct Row {
        std::string interface; // "" for none
        std::vector<Probe> probes;
    } rows[] = {
        {"127.0.0.1",
         {{spaces.gw, "127.0.0.1", true}, {spaces.srv, "192.0.2.1", false}, {spaces.gw, "192.0.2.1", false}}},
        {"192.0.2.1", {{spaces.srv, "192.0.2.1", true}, {spaces.gw, "127.0.0.1", false}}},
        {"", {{spaces.gw, "127.0.0.1", true}, {spaces.srv, "192.0.2.1", true}}},
    };
    for (const auto& row : rows) {
        std::string option = row.interface.empty() ? "" : " --interface " + row.interface;
        test::ChildProcess pemtrox("exec ip netns exec " + spaces.gw + " " + program + " --container " +
                                   shellQuote(dir.path().string()) + " --port 8888" + option + " 2>&1");
        ASSERT_NE(pemtrox.waitForLine("Running; app messages at"), "") << pemtrox.output();
        for (const auto& probe : row.probes) {
            int status = -1;
            auto code =
                test::TunnelNamespaces::in(probe.from,
                                           "curl -s -o /dev/null -w '%{http_code}' --max-time 5 -x http://" +
                                               probe.address + ":8888 http://pemtrox.crt/",
                                           &status);
            if (probe.reaches)
                EXPECT_EQ(code, "200") << option << " from " << probe.from << " to " << probe.address;
            else
                EXPECT_EQ(status, 7) << option << " from " << probe.from << " to " << probe.address
                                     << ": refused, not " << code;
        }
        // Shells that source proxy.env reach the one address the proxy listens on.
        std::string named = row.interface.empty() ? "127.0.0.1" : row.interface;
        EXPECT_NE(test::slurp(dir.path() / "proxy.env").find("http_proxy=http://" + named + ":8888/\n"),
                  std::string::npos)
            << option;
        ::kill(pemtrox.pid(), SIGTERM);
        EXPECT_EQ(pemtrox.wait(), 0) << pemtrox.readAll();
    }
}

/// The recording through the program. A clean stop leaves nothing among the temporaries, and
/// every exchange in the store. With the store's file system frozen (a disk that stopped
/// answering), a stop still waits for the recording writer no longer than the program's own
/// bound, which its message names, and the program ends once the file system answers again,
/// leaving no exchange directory without its metadata.json. With the whole container frozen,
/// its log file included, recorded downloads, the proxy's own answers and app messages go on
/// within the writer's bound.
TEST(HostProgram, RecordingStopsCleanlyAndWithinItsBoundOnAFrozenStore) {
    test::TempDir dir;
    std::string program = PEMTROX_BINARY;
    test::TestOrigin origin(test::TestOrigin::serveEach([](const std::string& head, const std::string&) {
        return test::TestOrigin::ok(
            std::string(head.find(" /big ") != std::string::npos ? 8 << 20 : 3000, 'b'));
    }));
    auto run = [&](const fs::path& container, const std::function<void(test::ChildProcess&, int)>& body) {
        int port = test::RefusingPort().port();
        test::ChildProcess pemtrox("exec " + program + " --container " + shellQuote(container) + " --port " +
                                   std::to_string(port) + " 2>&1");
        ASSERT_NE(pemtrox.waitForLine("Running; app messages at"), "") << pemtrox.output();
        body(pemtrox, port);
    };
    auto get = [&](int port, int count, const std::string& path = "") {
        int failures = 0;
        for (int i = 0; i < count; ++i) {
            int status = -1;
            test::runCommand("curl -s -o /dev/null --max-time 10 --noproxy '' -x http://127.0.0.1:" +
                                 std::to_string(port) + " " +
                                 origin.url(path.empty() ? "/" + std::to_string(i) : path),
                             &status);
            failures += status != 0;
        }
        return failures;
    };

    auto clean = dir.path() / "clean";
    run(clean, [&](test::ChildProcess& pemtrox, int port) {
        EXPECT_EQ(get(port, 20), 0);
        ::kill(pemtrox.pid(), SIGTERM);
        EXPECT_EQ(pemtrox.wait(), 0) << pemtrox.readAll();
    });
    EXPECT_EQ(test::runCommand("ls -A " + shellQuote(clean / ".Recording.tmp")), "") << "after a clean stop";
    EXPECT_EQ(unreadableExchanges(clean / "Recording"), std::make_pair(std::string(), 20));

    auto frozen = dir.path() / "frozen";
    FreezableFileSystem store(dir.path() / "store.img", frozen / "Recording");
    if (!store.mounted())
        GTEST_SKIP() << "needs a loop-mounted file system (root, loop devices)";
    std::ofstream(frozen / "settings.json") << R"({"recordingSettings.responseBodyMaxSize": 16777216})";
    run(frozen, [&](test::ChildProcess& pemtrox, int port) {
        EXPECT_EQ(get(port, 5), 0);
        store.freeze();
        // Found stuck, the writer holds no later download while the store stays frozen, though
        // lanes with nothing left to write get through the steps of those that touch nothing.
        for (int i = 0; i < 3; ++i) {
            auto began = std::chrono::steady_clock::now();
            EXPECT_EQ(get(port, 1, "/big"), 0);
            EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(i == 0 ? 10 : 4)) << i;
        }
        EXPECT_EQ(get(port, 5), 0) << "the exchanges go on while the writer is stalled";
        auto began = std::chrono::steady_clock::now();
        ::kill(pemtrox.pid(), SIGTERM);
        auto line = pemtrox.waitForLine("Recording stopped with", 30000);
        auto waited = std::chrono::steady_clock::now() - began;
        ASSERT_NE(line, "") << pemtrox.output();
        auto within = line.find(" within ");
        ASSERT_NE(within, std::string::npos) << line;
        auto bound = std::chrono::milliseconds(std::stoi(line.substr(within + 8)));
        EXPECT_GE(bound, std::chrono::seconds(1)) << line;
        EXPECT_GE(waited, bound - std::chrono::milliseconds(100)) << line;
        EXPECT_LT(waited, bound + std::chrono::seconds(10)) << line;
        store.thaw();
        EXPECT_EQ(pemtrox.wait(30000), 0) << pemtrox.readAll();
    });
    auto [unreadable, count] = unreadableExchanges(frozen / "Recording");
    EXPECT_EQ(unreadable, "");
    EXPECT_GE(count, 5);
    auto whole = dir.path() / "whole";
    FreezableFileSystem container(dir.path() / "whole.img", whole);
    std::ofstream(whole / "settings.json") << R"({"recordingSettings.responseBodyMaxSize": 16777216})";
    run(whole, [&](test::ChildProcess& pemtrox, int port) {
        container.freeze();
        EXPECT_EQ(get(port, 3, "/big"), 0);
        EXPECT_EQ(
            test::runCommand("curl -s -o /dev/null -w '%{http_code}' --max-time 10 -x http://127.0.0.1:" +
                             std::to_string(port) + " http://pemtrox.crt/"),
            "200");
        EXPECT_EQ(test::runCommand("timeout 8 " + program + " message --container " + shellQuote(whole) +
                                   " ClearLog 2>&1"),
                  "Acknowleged\n");
        ::kill(pemtrox.pid(), SIGTERM);
        container.thaw();
        EXPECT_EQ(pemtrox.wait(30000), 0) << pemtrox.readAll();
    });
}
