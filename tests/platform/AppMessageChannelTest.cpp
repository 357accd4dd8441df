#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/AppMessageChannel.h"
#include "platform/PacketTunnelProviderBase.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using Bytes = AppMessageServer::Bytes;

namespace {
Bytes bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

/// A raw client, for what the real one never sends.
int rawConnect(const std::filesystem::path& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    return fd;
}
} // namespace

TEST(AppMessageChannel, RepliesWhenAskedAndActsEitherWay) {
    test::TempDir dir;
    std::atomic<int> acted{0};
    auto server =
        AppMessageServer::start(dir.path() / "app.sock", [&](const Bytes& message, bool wantsReply) {
            ++acted;
            return wantsReply
                       ? std::optional<Bytes>(bytes("re:" + std::string(message.begin(), message.end())))
                       : std::nullopt;
        });
    struct stat info {};
    ASSERT_EQ(::stat(server->path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(sendAppMessage(server->path(), bytes("Plumber"), true), bytes("re:Plumber"));
    EXPECT_EQ(sendAppMessage(server->path(), bytes(""), true), bytes("re:"));
    EXPECT_FALSE(sendAppMessage(server->path(), bytes("SettingsChanged"), false));
    EXPECT_TRUE(test::waitFor([&] { return acted == 3; }));
    server->stop();
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "app.sock"));
    EXPECT_THROW(sendAppMessage(dir.path() / "app.sock", bytes("Log"), true), Error);
}

TEST(AppMessageChannel, OversizedAndSilentClientsBlockNobody) {
    test::TempDir dir;
    auto server = AppMessageServer::start(
        dir.path() / "app.sock", [](const Bytes&, bool) { return std::optional<Bytes>(bytes("ok")); },
        std::chrono::milliseconds(300));
    int silent = rawConnect(server->path());
    int oversized = rawConnect(server->path());
    std::uint32_t huge = htonl(AppMessageServer::maxFrame + 2);
    ASSERT_EQ(::write(oversized, &huge, 4), 4);
    char byte;
    EXPECT_EQ(::read(oversized, &byte, 1), 0) << "an oversized frame is closed unanswered";
    EXPECT_EQ(sendAppMessage(server->path(), bytes("Log"), true), bytes("ok"));
    ::close(silent);
    ::close(oversized);
}

TEST(AppMessageChannel, StaleSocketReplacedLiveOneAndLongPathRefused) {
    test::TempDir dir;
    auto path = dir.path() / "app.sock";
    auto handler = [](const Bytes&, bool) { return std::optional<Bytes>(bytes("ok")); };
    {
        // A socket file left behind by a killed program.
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(fd);
    }
    auto first = AppMessageServer::start(path, handler);
    EXPECT_THROW(AppMessageServer::start(path, handler), Error) << "a live server is never replaced";
    EXPECT_EQ(sendAppMessage(path, bytes("x"), true), bytes("ok"));
    try {
        AppMessageServer::start(dir.path() / std::string(120, 'a'), handler);
        ADD_FAILURE() << "a path longer than a socket address was accepted";
    } catch (const Error& error) {
        EXPECT_NE(error.description().find("too long"), std::string::npos) << error.description();
    }
}

TEST(ProxyEnvTunnelPlatform, PublishesTheProxyForShellsAndRemovesIt) {
    test::TempDir dir;
    ProxyEnvTunnelPlatform platform(dir.path());
    TunnelNetworkSettings settings;
    settings.proxySettings = ProxySettings{true, ProxyServerAddress{"198.18.72.253", 9090}, true,
                                           ProxyServerAddress{"198.18.72.253", 9090}};
    std::promise<ErrorPtr> applied;
    platform.apply(settings, [&](ErrorPtr error) { applied.set_value(error); });
    EXPECT_EQ(applied.get_future().get(), nullptr);
    auto out =
        test::runCommand(". '" + platform.proxyEnvPath().string() + "' && env | grep -i _proxy= | sort");
    EXPECT_EQ(out, "HTTPS_PROXY=http://127.0.0.1:9090/\nHTTP_PROXY=http://127.0.0.1:9090/\n"
                   "http_proxy=http://127.0.0.1:9090/\nhttps_proxy=http://127.0.0.1:9090/\n");
    std::promise<ErrorPtr> cleared;
    platform.apply(std::nullopt, [&](ErrorPtr error) { cleared.set_value(error); });
    EXPECT_EQ(cleared.get_future().get(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(platform.proxyEnvPath()));
}
