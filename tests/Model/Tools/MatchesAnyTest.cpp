#include <gtest/gtest.h>

#include "Model/Tools/MatchesAny.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using json = nlohmann::json;

namespace {
std::vector<MatchDefinition> locations(json list) {
    return MatchDefinition::decodeList(list);
}
} // namespace

TEST(MatchesAny, EmptyOrAllDisabledListsMatchNothingAndNoPatternMatchesAll) {
    EXPECT_FALSE(matchesAny({}, "https", "example.com", 443, "/", ""));
    EXPECT_FALSE(
        matchesAny(locations(json::array({{{"enabled", false}}, {{"enabled", false}, {"type", "Glob"}}})),
                   "https", "example.com", 443, "/", ""));
    auto all = locations(json::array({{{"enabled", true}}}));
    EXPECT_TRUE(matchesAny(all, {}, {}, {}, {}, {}));
    EXPECT_TRUE(matchesAny(all, "http", "h", 80, "/p", "q"));
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
        const char* query;
        bool matches;
    } cases[] = {
        {"https", "www.example.com", 443, "/api/x", "v=1", true},
        {"HTTPS", "WWW.EXAMPLE.COM", std::nullopt, "/API/x", "v=1", true},
        {"http", "www.example.com", 443, "/api/x", "v=1", false},
        {"https", "example.org", 443, "/api/x", "v=1", false},
        {"https", "www.example.com", 8443, "/api/x", "v=1", false},
        {"https", "www.example.com", 443, "/web/x", "v=1", false},
        {"https", "www.example.com", 443, "/api/x", "v=12", false},
    };
    for (auto& c : cases)
        EXPECT_EQ(matchesAny(list, c.scheme, c.host, c.port, c.path, c.query), c.matches)
            << c.scheme << " " << c.host << " " << c.port.value_or(-1) << " " << c.path << "?" << c.query;
}

TEST(MatchesAny, BrokenLocationIsSkippedWithAWarningAndTheWalkGoesOn) {
    auto logger = test::CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
    auto list = locations(json::array({{{"enabled", true}, {"type", "Regex"}, {"hostname", "[bad"}},
                                       {{"enabled", false}, {"type", "Regex"}, {"hostname", "(also bad"}},
                                       {{"enabled", true}, {"type", "Glob"}, {"hostname", "*.com"}}}));
    EXPECT_TRUE(matchesAny(list, "https", "example.com", 443, "/", ""));
    EXPECT_FALSE(matchesAny(list, "https", "example.org", 443, "/", ""));
    auto lines = logger->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Failed to match pattern \"[bad\": ", 0), 0u) << lines[0];
    logger->uninstall();
}
