#include <fstream>
#include <future>
#include <openssl/crypto.h>

#include <gtest/gtest.h>

#include "PacketTunnel/LWIPMode.h"
#include "PacketTunnel/LWIPStack.h"
#include "PacketTunnel/LWIPTunnelMode.h"
#include "PacketTunnel/PacketTunnelProvider.h"
#include "PacketTunnel/PacketTunnelProxyServer.h"
#include "PacketTunnel/PacketTunnelTCPProxyServer.h"
#include "PacketTunnel/ProxyManager.h"
#include "PacketTunnel/ProxyTunnelMode.h"
#include "platform/Container.h"
#include "platform/DispatchQueue.h"
#include "platform/KeyedArchive.h"
#include "platform/Log.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/SocketProxyServer.h"
#include "proxy/recording/RecordingListener.h"
#include "proxy/tls/SSLCAGenerator.h"
#include "proxy/tls/SSLContextFactory.h"
#include "proxy/tls/SSLProxyServer.h"
#include "tests/support/TestSupport.h"
#include "tests/support/tunnel/FakeTunnelPlatform.h"
#include "tests/support/tunnel/MemoryPacketFlow.h"

using namespace pemtrox;
using json = nlohmann::json;

namespace {

using test::FakeTunnelPlatform;
using test::MemoryPacketFlow;

std::string replyText(const std::optional<std::vector<std::uint8_t>>& reply) {
    if (!reply)
        return "(none)";
    std::string out;
    for (auto& [key, value] : KeyedArchive::decode(*reply)) {
        out += key + "=";
        if (auto* s = std::get_if<std::string>(&value))
            out += *s;
        else if (auto* b = std::get_if<KeyedArchive::Bytes>(&value))
            out += std::string(b->begin(), b->end());
        else
            out += "(none)";
        out += ";";
    }
    return out;
}

// The running mode's own objects, or none.
ProxyManager* proxyManager(const PacketTunnelProvider& provider) {
    auto mode = dynamic_cast<ProxyTunnelMode*>(provider.tunnelMode());
    return mode ? mode->manager().get() : nullptr;
}
LWIPMode* lwip(const PacketTunnelProvider& provider) {
    auto mode = dynamic_cast<LWIPTunnelMode*>(provider.tunnelMode());
    return mode ? &mode->lwip() : nullptr;
}

/// A provider in a private container, driven on the main queue as the host program does.
class ProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        Container::setDirectory(dir.path());
        platform = std::make_shared<FakeTunnelPlatform>();
    }
    void TearDown() override {
        if (provider)
            stop();
        DispatchQueue::main()->sync([&] { provider.reset(); });
    }
    void make() {
        DispatchQueue::main()->sync([&] {
            provider = PacketTunnelProvider::make();
            provider->setTunnelPlatform(platform);
        });
    }
    ErrorPtr start(const std::optional<json>& options) {
        if (!provider)
            make();
        std::promise<ErrorPtr> done;
        DispatchQueue::main()->async(
            [&] { provider->startTunnel(options, [&](ErrorPtr e) { done.set_value(e); }); });
        return done.get_future().get();
    }
    void stop() {
        std::promise<void> done;
        DispatchQueue::main()->async([&] { provider->stopTunnel(0, [&] { done.set_value(); }); });
        done.get_future().wait();
    }
    std::string message(const std::string& text, bool wantsReply = true) {
        std::optional<std::vector<std::uint8_t>> reply;
        DispatchQueue::main()->sync([&] {
            std::function<void(std::optional<std::vector<std::uint8_t>>)> completion;
            if (wantsReply)
                completion = [&](auto bytes) { reply = bytes; };
            provider->handleAppMessage({text.begin(), text.end()}, completion);
        });
        return replyText(reply);
    }
    bool listening(int port) {
        return test::runCommand("curl -s -o /dev/null -w '%{http_code}' --max-time 5 -x http://127.0.0.1:" +
                                std::to_string(port) + " http://127.0.0.1:1/") != "000";
    }

    test::TempDir dir;
    std::shared_ptr<FakeTunnelPlatform> platform;
    std::shared_ptr<PacketTunnelProvider> provider;
};

} // namespace

TEST_F(ProviderTest, StartOptionsChooseModeAndPort) {
    int port = test::RefusingPort().port();
    struct Row {
        std::optional<json> options;
        std::optional<PacketTunnelMode> mode;
        int port;
        std::string error; // a fragment of the start's error, "" for success
        std::string warning = {};
    } rows[] = {
        {std::nullopt, PacketTunnelMode::LWIP, 8888, "LWIP mode is not available"},
        {json::object(), PacketTunnelMode::LWIP, 8888, "LWIP mode is not available"},
        {json{{"PacketTunnelMode", 7}}, PacketTunnelMode::LWIP, 8888, "LWIP mode is not available"},
        {json{{"PacketTunnelMode", "proxy"}, {"Port", port}}, std::nullopt, 8888,
         "Unknown PacketTunnelMode \"proxy\""},
        {json{{"PacketTunnelMode", "Proxy"}, {"Port", port}}, PacketTunnelMode::Proxy, port, ""},
        {json{{"PacketTunnelMode", "Proxy"}, {"Port", double(port)}}, PacketTunnelMode::Proxy, port, ""},
        {json{{"PacketTunnelMode", "LWIP"}, {"Port", 9090}}, PacketTunnelMode::LWIP, 9090, "LWIP"},
        {json{{"PacketTunnelMode", "LWIP"}, {"Port", "9090"}}, PacketTunnelMode::LWIP, 8888, "LWIP",
         "Port \"9090\" is not a number; keeping port 8888"},
        {json{{"PacketTunnelMode", "LWIP"}, {"Port", 0}}, PacketTunnelMode::LWIP, 8888, "LWIP",
         "Port 0 is outside 1-65535; keeping port 8888"},
        {json{{"PacketTunnelMode", "LWIP"}, {"Port", 65536}}, PacketTunnelMode::LWIP, 8888, "LWIP",
         "Port 65536 is outside 1-65535; keeping port 8888"},
        {json{{"PacketTunnelMode", "LWIP"}, {"Port", 9090.7}}, PacketTunnelMode::LWIP, 9090, "LWIP"},
        {json{{"PacketTunnelMode", "LWIP"}, {"Port", 0.9}}, PacketTunnelMode::LWIP, 8888, "LWIP",
         "Port 0.9 is outside 1-65535; keeping port 8888"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options ? row.options->dump() : "no options");
        provider.reset();
        auto log = test::CapturingLogger::install();
        auto error = start(row.options);
        log->uninstall();
        EXPECT_EQ(row.warning.empty() ? !log->contains(" keeping port ") : log->contains(row.warning), true);
        EXPECT_EQ(describe(error).find(row.error) == std::string::npos, false) << describe(error);
        EXPECT_EQ(error == nullptr, row.error.empty());
        EXPECT_EQ(provider->mode(), row.mode);
        EXPECT_EQ(provider->proxyPort(), row.port);
        if (row.mode == PacketTunnelMode::Proxy) {
            EXPECT_TRUE(listening(port));
            ASSERT_TRUE(platform->applied.back());
            EXPECT_EQ(platform->applied.back()->proxySettings->httpServer->port, port);
            EXPECT_TRUE(platform->applied.back()->ipv4Settings->includedRoutes.empty())
                << "Proxy mode claims no routes";
        }
        stop();
        EXPECT_FALSE(listening(port));
    }
}

TEST_F(ProviderTest, RefusedNetworkSettingsReachTheCompletionWithNothingRunning) {
    platform = std::make_shared<FakeTunnelPlatform>(makeError<GenericError>("refused by the platform"));
    int port = test::RefusingPort().port();
    auto error = start(json{{"PacketTunnelMode", "Proxy"}, {"Port", port}});
    EXPECT_EQ(describe(error), "refused by the platform");
    EXPECT_FALSE(proxyManager(*provider));
    EXPECT_FALSE(listening(port));
}

TEST_F(ProviderTest, RecordingThatCannotStartLeavesTheTunnelRunning) {
    std::ofstream(dir.path() / "Recording") << "a file where the store should be";
    auto capture = test::CapturingLogger::install(logLevelErrorWarning);
    int port = test::RefusingPort().port();
    EXPECT_EQ(start(json{{"PacketTunnelMode", "Proxy"}, {"Port", port}}), nullptr);
    capture->uninstall();
    EXPECT_FALSE(provider->recordingListener());
    EXPECT_TRUE(capture->contains("Failed to start recording: "))
        << ::testing::PrintToString(capture->lines());
    EXPECT_TRUE(listening(port));
}

// Exact matching itself is AppMessages.CommandsMatchExactly's.
TEST_F(ProviderTest, AppMessagesAnswerExactCommandsOnly) {
    make();
    auto logPath = provider->fileLogger()->currentLogFilePath().string();
    EXPECT_EQ(logPath.rfind(dir.path().string(), 0), 0u) << logPath;
    struct Row {
        std::string message, reply;
    } rows[] = {
        {"SettingsChanged", "type=Acknowleged;message=(none);"},
        {"Log", "type=Log;message=" + logPath + ";"},
        {"ClearLog", "type=Acknowleged;message=(none);"},
        {"log", "type=UnknownMessage;message=(none);"},
        {"\xff\xfe", "type=UnknownMessage;message=(none);"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(message(row.message), row.reply) << row.message;
    EXPECT_NE(message("Plumber").find("type=Plumber;message="), std::string::npos);
}

TEST_F(ProviderTest, SettingsChangedActsWithoutAReplyAndReachesTheRecording) {
    int port = test::RefusingPort().port();
    ASSERT_EQ(start(json{{"PacketTunnelMode", "Proxy"}, {"Port", port}}), nullptr);
    ASSERT_TRUE(provider->recordingListener());
    EXPECT_TRUE(provider->recordingListener()->settings().recordRequestBody);
    std::ofstream(dir.path() / "settings.json")
        << R"({"recordingSettings.recordRequestBody": false, "sslSettings.proxyingEnabled": true})";
    EXPECT_EQ(message("SettingsChanged", false), "(none)");
    EXPECT_FALSE(provider->recordingListener()->settings().recordRequestBody);
    EXPECT_TRUE(proxyManager(*provider)->sslSettings().proxyingEnabled);
}

class ProviderSettingsTest : public ProviderTest, public ::testing::WithParamInterface<PacketTunnelMode> {};

// One load, one snapshot, each part its own section: a "SettingsChanged" reaches the mode's
// intercepting server (the very section loaded, not a copy), the recording listener and the
// tools (which act in LWIP mode only), and LWIP mode's relay records raw TCP streams only
// while the settings ask for it, turned off and on again.
TEST_P(ProviderSettingsTest, ASettingsChangeReachesEachPartOfTheMode) {
    bool stack = GetParam() == PacketTunnelMode::LWIP;
    if (stack && LWIPStack::isInitialised())
        GTEST_SKIP() << "the stack initialises once per process: run each test alone (ctest does)";
    OPENSSL_init_crypto(
        OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CONFIG, nullptr);
    make();
    test::RefusingPort free;
    if (stack)
        provider->setPacketFlow(MemoryPacketFlow::make());
    ASSERT_EQ(start(json{{"PacketTunnelMode", packetTunnelModeRawValue(GetParam())}, {"Port", free.port()}}),
              nullptr);
    std::shared_ptr<SSLProxyServer> server =
        stack ? lwip(*provider)->proxyServer() : proxyManager(*provider)->socketProxyServer();
    ASSERT_TRUE(server);
    auto exchange = [](AbstractProxyServer& on, const char* host) -> std::string {
        auto evt = ProxyEvent::make(nullptr);
        evt->host = host;
        try {
            on.fanOut<&ProxyServerListener::proxyListenerReceivedRequestURL>(evt);
        } catch (const Error&) {
            return "blocked";
        }
        on.fanOut<&ProxyServerListener::proxyListenerReceivedRequestAddress>(evt);
        return evt->attributes.count(RecordingListener::keyAttribute) ? "recorded" : "passed";
    };
    auto change = [&](const char* settings) {
        std::ofstream(dir.path() / "settings.json") << settings;
        message("SettingsChanged");
    };
    auto intercepted = ProxyEvent::make(nullptr);
    intercepted->host = "a.test";

    change(R"({"sslSettings.proxyingEnabled": true,
        "sslSettings.include": [{"enabled": true, "type": "Glob", "hostname": "*.test"}],
        "recordingSettings.recordRawTCPStreams": false, "recordingSettings.recordRequestBody": false,
        "tools.blacklist.enabled": true,
        "tools.blacklist.include": [{"enabled": true, "type": "Glob", "hostname": "blocked.test"}]})");
    EXPECT_TRUE(server->isSSLProxied(*intercepted));
    if (!stack) {
        EXPECT_EQ(server->settings().get(), &proxyManager(*provider)->sslSettings()) << "one value, shared";
    }
    EXPECT_FALSE(provider->recordingListener()->settings().recordRequestBody);
    EXPECT_EQ(exchange(*server, "blocked.test"), stack ? "blocked" : "recorded");
    if (stack) {
        EXPECT_EQ(exchange(*lwip(*provider)->tcpProxyServer(), "blocked.test"), "blocked");
        EXPECT_EQ(exchange(*lwip(*provider)->tcpProxyServer(), "fine.test"), "passed");
    }

    change(R"({"recordingSettings.recordRawTCPStreams": true})");
    EXPECT_FALSE(server->isSSLProxied(*intercepted));
    EXPECT_TRUE(provider->recordingListener()->settings().recordRequestBody);
    EXPECT_EQ(exchange(*server, "blocked.test"), "recorded");
    if (stack) {
        EXPECT_EQ(exchange(*lwip(*provider)->tcpProxyServer(), "fine.test"), "recorded");
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ProviderSettingsTest,
                         ::testing::Values(PacketTunnelMode::Proxy, PacketTunnelMode::LWIP),
                         [](const auto& info) { return std::string(packetTunnelModeRawValue(info.param)); });

TEST_F(ProviderTest, ClearLogEmptiesTheFileThatHoldsOnlyWarningsAndErrors) {
    make();
    auto oldPath = provider->fileLogger()->currentLogFilePath();
    LOG_INFO("an info line never reaches the file");
    LOG_WARNING("a warning before clearing");
    Log::flush();
    auto read = test::slurp;
    EXPECT_NE(read(oldPath).find("WARN  a warning before clearing"), std::string::npos);
    EXPECT_EQ(read(oldPath).find("info line"), std::string::npos);
    message("ClearLog");
    EXPECT_TRUE(std::filesystem::exists(oldPath));
    EXPECT_EQ(read(oldPath), "");
    LOG_ERROR("an error after clearing");
    Log::flush();
    EXPECT_NE(read(provider->fileLogger()->currentLogFilePath()).find("ERRR  an error after clearing"),
              std::string::npos);
}

// LWIP mode on the host's packet flow: up with the proxy server on the chosen port,
// reading once the settings apply, down at stop; the stack runs once per process.
TEST_F(ProviderTest, LWIPModeStartsAndStopsOncePerProcess) {
    if (LWIPStack::isInitialised())
        GTEST_SKIP() << "the stack initialises once per process: run each test alone (ctest does)";
    // The crypto library first set up on a queue thread leaves state behind that the leak
    // checker reports at exit (as the TLS server would do on the main queue).
    OPENSSL_init_crypto(
        OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CONFIG, nullptr);
    // The tools and the recording act on both stack servers (raw streams recorded when asked).
    std::ofstream(dir.path() / "settings.json") << R"({"tools.blacklist.enabled": true,
        "tools.blacklist.include": [{"enabled": true, "type": "Glob", "hostname": "blocked.test"}],
        "recordingSettings.recordRawTCPStreams": true})";
    make();
    auto flow = MemoryPacketFlow::make();
    provider->setPacketFlow(flow);
    ASSERT_EQ(start(json{{"PacketTunnelMode", "LWIP"}, {"Port", 9090}}), nullptr);
    ASSERT_TRUE(lwip(*provider));
    EXPECT_EQ(lwip(*provider)->proxyServer()->localPort(), 9090);
    for (std::shared_ptr<AbstractProxyServer> server :
         {std::shared_ptr<AbstractProxyServer>(lwip(*provider)->proxyServer()),
          std::shared_ptr<AbstractProxyServer>(lwip(*provider)->tcpProxyServer())}) {
        auto evt = ProxyEvent::make(nullptr);
        evt->host = "blocked.test";
        EXPECT_THROW(server->fanOut<&ProxyServerListener::proxyListenerReceivedRequestURL>(evt), Error);
        evt->host = "fine.test";
        server->fanOut<&ProxyServerListener::proxyListenerReceivedRequestAddress>(evt);
        EXPECT_TRUE(evt->attributes.count(RecordingListener::keyAttribute)) << "recorded";
    }
    EXPECT_EQ(platform->applied.back()->ipv4Settings->includedRoutes.size(), 1u);
    EXPECT_TRUE(test::waitFor([&] { return flow->isIdle(); })) << "reading";
    std::weak_ptr<PacketTunnelProxyServer> server = lwip(*provider)->proxyServer();
    std::weak_ptr<SSLCAGenerator> ca = lwip(*provider)->proxyServer()->ca();
    std::weak_ptr<SSLContextFactory> factory = lwip(*provider)->proxyServer()->contextFactory();
    stop();
    EXPECT_FALSE(lwip(*provider));
    EXPECT_TRUE(server.expired());
    EXPECT_TRUE(ca.expired());
    EXPECT_TRUE(factory.expired());
    EXPECT_EQ(describe(start(json{{"PacketTunnelMode", "LWIP"}})), "The TCP/IP stack is already initialised");
}
