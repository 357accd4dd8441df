#include <gtest/gtest.h>

#include "Model/Tools/MatchesAny.h"
#include "proxy/engine/ProxyEvent.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using json = nlohmann::json;

namespace {
std::vector<MatchDefinition> locations(json list) {
    return MatchDefinition::decodeList(list);
}

std::shared_ptr<ProxyEvent> exchange(const char* scheme, const char* host, std::optional<std::int64_t> port,
                                     const char* path, const char* query) {
    auto event = ProxyEvent::make(nullptr);
    event->scheme = scheme;
    event->host = host;
    event->port = port;
    event->setPath(path);
    event->setQuery(query);
    return event;
}
} // namespace

TEST(MatchesAny, EmptyOrAllDisabledListsMatchNothing) {
    auto event = exchange("https", "example.com", 443, "/", "");
    EXPECT_FALSE(matchesAny({}, *event));
    EXPECT_FALSE(matchesAny(
        locations(json::array({{{"enabled", false}}, {{"enabled", false}, {"type", "Glob"}}})), *event));
}

TEST(MatchesAny, LocationWithoutPatternsMatchesEveryExchange) {
    auto list = locations(json::array({{{"enabled", true}}}));
    EXPECT_TRUE(matchesAny(list, *ProxyEvent::make(nullptr)));
    EXPECT_TRUE(matchesAny(list, *exchange("http", "h", 80, "/p", "q")));
}

TEST(MatchesAny, TestsEachPartAgainstItsPattern) {
    auto list = locations(json::array({{{"enabled", true},
                                        {"type", "Glob"},
                                        {"protocol", "https"},
                                        {"hostname", "*.example.com"},
                                        {"port", "443"},
                                        {"path", "/api/*"},
                                        {"query", "v=?"}}}));
    struct Case {
        const char* scheme;
        const char* host;
        std::optional<std::int64_t> port;
        const char* path;
        bool matches;
    } cases[] = {
        {"https", "www.example.com", 443, "/api/x", true},
        {"HTTPS", "WWW.EXAMPLE.COM", std::nullopt, "/API/x", true},
        {"http", "www.example.com", 443, "/api/x", false},
        {"https", "example.org", 443, "/api/x", false},
        {"https", "www.example.com", 8443, "/api/x", false},
        {"https", "www.example.com", 443, "/web/x", false},
    };
    for (auto& c : cases)
        EXPECT_EQ(matchesAny(list, *exchange(c.scheme, c.host, c.port, c.path, "v=1")), c.matches)
            << c.scheme << " " << c.host << " " << c.port.value_or(-1) << " " << c.path;
    EXPECT_FALSE(matchesAny(list, *exchange("https", "www.example.com", 443, "/api/x", "v=12")));
}

TEST(MatchesAny, ComparesTheHostNotTheOverrideHost) {
    auto list =
        locations(json::array({{{"enabled", true}, {"type", "Exact"}, {"hostname", "api.example.com"}}}));
    auto event = exchange("https", "api.example.com", 443, "/", "");
    event->overrideHost = "10.0.0.1";
    EXPECT_TRUE(matchesAny(list, *event));
    auto spoofed = locations(json::array({{{"enabled", true}, {"type", "Exact"}, {"hostname", "10.0.0.1"}}}));
    EXPECT_FALSE(matchesAny(spoofed, *event));
}

TEST(MatchesAny, BrokenLocationIsSkippedWithAWarningAndTheWalkGoesOn) {
    auto logger = test::CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
    auto list = locations(json::array({{{"enabled", true}, {"type", "Regex"}, {"hostname", "[bad"}},
                                       {{"enabled", false}, {"type", "Regex"}, {"hostname", "(also bad"}},
                                       {{"enabled", true}, {"type", "Glob"}, {"hostname", "*.com"}}}));
    EXPECT_TRUE(matchesAny(list, *exchange("https", "example.com", 443, "/", "")));
    EXPECT_FALSE(matchesAny(list, *exchange("https", "example.org", 443, "/", "")));
    auto lines = logger->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Failed to match pattern \"[bad\": ", 0), 0u) << lines[0];
    logger->uninstall();
}
