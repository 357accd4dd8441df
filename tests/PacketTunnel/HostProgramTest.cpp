#include <csignal>
#include <cstring>
#include <fstream>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

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
