// The tools through the running proxy, with curl as the client.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/UserDefaults.h"
#include "proxy/engine/VornellHttpErrorError.h"
#include "proxy/tools/ToolsProxyServerListenerMultiplexer.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"

namespace pemtrox::test {
namespace {

using json = nlohmann::json;

json location(json patterns) {
    patterns["enabled"] = true;
    patterns.emplace("type", "Glob");
    return patterns;
}

json mapping(json patterns, const std::string& address) {
    return {{"hostnameMatch", location(std::move(patterns))}, {"address", address}};
}

// The proxy with the tools of these stored settings ("tools." keys without the prefix).
struct ToolsProxy : ProxyHarness {
    explicit ToolsProxy(const json& stored) {
        json values = json::object();
        for (auto& [key, value] : stored.items())
            values["tools." + key] = value;
        tools = ToolsProxyServerListenerMultiplexer::make(ToolSettings::load(UserDefaults(values), "tools."));
        tools->updateListeners();
        server->addProxyListener(tools);
    }
    ~ToolsProxy() { server->removeProxyListener(tools); }
    std::shared_ptr<ToolsProxyServerListenerMultiplexer> tools;
};

std::string exceptionText(ProxyHarness& proxy) {
    if (!waitFor([&] { return !proxy.recorder->exchanges("exception").empty(); }))
        return "(no exception)";
    auto error = proxy.recorder->exchanges("exception").front()->exception;
    return reportingTitle(error) + ": " + describe(error);
}

// DNS spoofing, second in the list, has acted at the address step when the block list
// refuses the URL.
TEST(BlockListTool, ActionsChooseTheReply) {
    TestOrigin origin(TestOrigin::answering("not blocked"));
    auto url = origin.url("");
    struct Case {
        json action;
        int curlStatus;
        std::string body; // a fragment of what curl prints
        std::string exception;
    } cases[] = {
        {"Return 403 response", 0, "<title>Block List Tool</title>", "Block List Tool: Returned forbidden"},
        {"Drop connection", 52, "", "Block List Tool: Dropped connection"},
        {"Drop everything", 52, "", "Block List Tool: Dropped connection"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.action.dump());
        ToolsProxy proxy({{"blacklist.enabled", true},
                          {"blacklist.blockType", c.action},
                          {"blacklist.include", {location({{"hostname", "127.0.0.1"}, {"path", "/ads/*"}})}},
                          {"dnsSpoofing.enabled", true},
                          {"dnsSpoofing.mappings", {mapping({{"path", "/ads/*"}}, "127.0.0.1")}}});
        int status = -1;
        auto out = curl(proxy, "-w '%{http_code}' " + url + "/ads/x", &status);
        EXPECT_EQ(status, c.curlStatus) << out;
        EXPECT_NE(out.find(c.body), std::string::npos) << out;
        EXPECT_EQ(out.ends_with("403"), c.curlStatus == 0) << out;
        EXPECT_EQ(exceptionText(proxy), c.exception);
        EXPECT_EQ(proxy.recorder->exchanges("exception").at(0)->overrideHost, "127.0.0.1");
        EXPECT_EQ(curl(proxy, url + "/news", &status), "not blocked");
    }
    EXPECT_EQ(origin.heads().size(), 3u);
}

// A tunnel that is not intercepted is connected before the block takes effect, when its
// relaying is about to begin.
TEST(BlockListTool, RefusesATunnelWhenItsRelayingBegins) {
    TestOrigin origin([](OriginConnection& c, TestOrigin&) { c.readToEnd(); });
    ToolsProxy proxy(
        {{"blacklist.enabled", true}, {"blacklist.include", {location({{"hostname", "LOCALHOST"}})}}});
    int status = -1;
    curl(proxy, "-p https://localhost:" + std::to_string(origin.port()) + "/", &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(exceptionText(proxy), "Block List Tool: Dropped connection");
    EXPECT_EQ(origin.accepts(), 1);
}

TEST(DNSSpoofingTool, FirstWorkingMappingSendsTheConnectionAndTheHostStays) {
    TestOrigin origin(TestOrigin::answering("spoofed"));
    auto logger = CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
    ToolsProxy proxy({{"dnsSpoofing.enabled", true},
                      {"dnsSpoofing.mappings",
                       {mapping({{"type", "Regex"}, {"hostname", "[bad"}}, "no-such-host.invalid"),
                        mapping({{"hostname", "*.made-up.test"}}, "127.0.0.1"),
                        mapping({{"hostname", "www.made-up.test"}}, "no-such-host.invalid")}}});
    auto host = "www.made-up.test:" + std::to_string(origin.port());
    int status = -1;
    EXPECT_EQ(curl(proxy, "http://" + host + "/p", &status), "spoofed");
    EXPECT_EQ(status, 0);
    ASSERT_EQ(origin.heads().size(), 1u);
    EXPECT_EQ(headerValue(origin.heads()[0], "Host"), host);
    auto exchange = proxy.recorder->exchanges("complete").at(0);
    EXPECT_EQ(exchange->host, "www.made-up.test");
    EXPECT_EQ(exchange->overrideHost, "127.0.0.1");
    EXPECT_TRUE(logger->contains("Failed to match pattern \"[bad\": "));
    logger->uninstall();
}

// A kept-alive server connection serves only requests with the override it was opened for.
TEST(DNSSpoofingTool, KeptAliveConnectionsFollowTheOverride) {
    TestOrigin real(TestOrigin::answering("real"));
    std::unique_ptr<TestOrigin> spoofed;
    try {
        spoofed = std::make_unique<TestOrigin>(TestOrigin::answering("spoofed"), "127.0.0.2", real.port());
    } catch (const std::runtime_error& e) {
        GTEST_SKIP() << e.what();
    }
    ToolsProxy proxy(
        {{"dnsSpoofing.enabled", true},
         {"dnsSpoofing.mappings", {mapping({{"hostname", "127.0.0.1"}, {"path", "/api/*"}}, "127.0.0.2")}}});
    auto url = real.url("");
    for (auto [first, second, expected] :
         {std::tuple{"/x", "/api/y", "realspoofed"}, {"/api/y", "/x", "spoofedreal"}}) {
        int status = -1;
        EXPECT_EQ(curl(proxy, url + first + " " + url + second, &status), expected);
    }
    EXPECT_EQ(real.heads().size(), 2u);
    EXPECT_EQ(spoofed->heads().size(), 2u);
}

// The list is replaced while exchanges walk it, from another thread.
TEST(ToolsMultiplexer, ListRebuiltWhileRequestsRun) {
    TestOrigin origin(TestOrigin::answering("ok"));
    ToolsProxy proxy(json::object());
    ToolSettings tools[2];
    tools[0].blockList.enabled = true;
    tools[0].blockList.include = MatchDefinition::decodeList(json::array({location({{"path", "/never"}})}));
    tools[0].dnsSpoofing.enabled = true;
    tools[0].dnsSpoofing.mappings = DNSMapping::decodeList(json::array({mapping({{"path", "/never"}}, "x")}));
    std::atomic<bool> stop{false};
    std::thread rebuilder([&] {
        for (int i = 0; !stop; ++i) {
            proxy.tools->settings = tools[i % 2];
            proxy.tools->updateListeners();
        }
    });
    auto url = origin.url("/ok");
    auto out = runCommand("seq 200 | xargs -P 50 -I{} curl -s -o /dev/null --max-time 20 --noproxy '' -x " +
                          proxy.proxyURL() + " " + url + "?{} -w '%{http_code}\\n' | grep -c '^200$'");
    stop = true;
    rebuilder.join();
    EXPECT_EQ(out, "200\n");
    for (auto& [settings, size] : {std::pair{tools[0], 2u}, {tools[1], 0u}}) {
        proxy.tools->settings = settings;
        proxy.tools->updateListeners();
        EXPECT_EQ(proxy.tools->listeners.snapshot()->size(), size);
    }
}

} // namespace
} // namespace pemtrox::test
