#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <future>
#include <poll.h>
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

/// A raw client closed at the end of the test.
struct RawClient {
    explicit RawClient(const std::filesystem::path& path) : fd(rawConnect(path)) {}
    ~RawClient() { ::close(fd); }
    RawClient(const RawClient&) = delete;
    /// Whether the server has closed it, waiting for that up to the time given.
    bool closedByServer(int waitMs = 0) const {
        pollfd p{fd, POLLIN, 0};
        char byte;
        return ::poll(&p, 1, waitMs) > 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
    }
    int fd;
};

std::optional<Bytes> answerOk(const Bytes&, bool) {
    return bytes("ok");
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
    // The limit is the message's, without the byte that asks for a reply.
    EXPECT_EQ(sendAppMessage(server->path(), Bytes(AppMessageServer::maxFrame, 'x'), true), bytes("ok"))
        << "a message of exactly the limit is answered";
    EXPECT_THROW(sendAppMessage(server->path(), Bytes(AppMessageServer::maxFrame + 1, 'x'), true), Error)
        << "one byte past the limit is closed unanswered";
    EXPECT_EQ(sendAppMessage(server->path(), bytes("Log"), true), bytes("ok"));
    pollfd p{silent, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "the silent client is closed after the read time-out";
    EXPECT_EQ(::read(silent, &byte, 1), 0);
    ::close(silent);
    ::close(oversized);
}

TEST(AppMessageChannel, IdleAndSlowClientsDelayNobody) {
    test::TempDir dir;
    // A read time-out far beyond the sender's: serving one client at a time would fail it.
    auto server = AppMessageServer::start(dir.path() / "app.sock", answerOk, std::chrono::seconds(60));
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<RawClient>(server->path()));
        if (i % 2 == 1) { // slow: stopped partway through its header
            ASSERT_EQ(::write(idle.back()->fd, "\0\0", 2), 2);
        }
    }
    EXPECT_EQ(sendAppMessage(server->path(), bytes("Plumber"), true, std::chrono::seconds(2)), bytes("ok"));
    for (const auto& client : idle)
        EXPECT_FALSE(client->closedByServer()) << "below the limit, nobody is closed early";
}

TEST(AppMessageChannel, AtTheLimitANewcomerClosesTheOldestIdleClientNotOneTakingItsReply) {
    test::TempDir dir;
    const Bytes big(1 << 20, 'b'); // more than the socket holds: its sending waits for the client
    auto server = AppMessageServer::start(
        dir.path() / "app.sock",
        [&](const Bytes& message, bool) {
            return std::optional<Bytes>(message == bytes("big") ? big : bytes("ok"));
        },
        std::chrono::seconds(60), 3);
    RawClient taking(server->path());
    const std::uint8_t request[] = {0, 0, 0, 4, 1, 'b', 'i', 'g'};
    ASSERT_EQ(::write(taking.fd, request, sizeof request), ssize_t(sizeof request));
    RawClient first(server->path()), second(server->path());
    // The newcomers arrive in order: each closes the oldest client still waiting to speak.
    RawClient third(server->path());
    EXPECT_TRUE(first.closedByServer(5000));
    EXPECT_EQ(sendAppMessage(server->path(), bytes("Log"), true), bytes("ok"));
    EXPECT_TRUE(second.closedByServer(5000));
    EXPECT_FALSE(third.closedByServer());
    EXPECT_FALSE(taking.closedByServer());
    Bytes reply(4 + big.size());
    ASSERT_EQ(::recv(taking.fd, reply.data(), reply.size(), MSG_WAITALL), ssize_t(reply.size()));
    EXPECT_EQ(Bytes(reply.begin() + 4, reply.end()), big);
}

TEST(AppMessageChannel, AThousandClientsAtOnceAreAllServed) {
    test::TempDir dir;
    auto server = AppMessageServer::start(dir.path() / "app.sock", answerOk);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, server->path().c_str());
    std::vector<int> clients;
    int refused = 0;
    const std::uint8_t request[] = {0, 0, 0, 2, 1, 'x'};
    for (int i = 0; i < 1000; ++i) {
        // Non-blocking, so that a full backlog shows as a refusal instead of a wait.
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::write(fd, request, sizeof request) != ssize_t(sizeof request)) {
            ++refused;
            ::close(fd);
            continue;
        }
        clients.push_back(fd);
    }
    EXPECT_EQ(refused, 0);
    int answered = 0;
    for (int fd : clients) {
        pollfd p{fd, POLLIN, 0};
        std::uint8_t reply[6] = {};
        answered += ::poll(&p, 1, 10000) == 1 && ::recv(fd, reply, sizeof reply, MSG_WAITALL) == 6 &&
                    reply[3] == 2 && reply[4] == 'o' && reply[5] == 'k';
        ::close(fd);
    }
    EXPECT_EQ(answered, 1000);
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
