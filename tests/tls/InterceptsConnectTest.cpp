#include <gtest/gtest.h>

#include "proxy/tls/InterceptsConnect.h"

namespace pemtrox {
namespace {

MatchDefinition location(std::optional<std::string> host, std::optional<std::string> port = std::nullopt,
                         std::optional<std::string> scheme = std::nullopt,
                         std::optional<std::string> path = std::nullopt) {
    MatchDefinition d;
    d.hostnamePattern = std::move(host);
    d.portPattern = std::move(port);
    d.protocolPattern = std::move(scheme);
    d.pathPattern = std::move(path);
    return d;
}

MatchDefinition disabled(MatchDefinition d) {
    d.enabled = false;
    return d;
}

// One row per rule of the decision, each at the values on both sides of it. The CONNECT's
// host and port are all that is known: a location's scheme or path cannot exclude it.
TEST(InterceptsConnect, DecisionTable) {
    struct Row {
        const char* why;
        std::optional<std::string> host;
        std::optional<std::int64_t> port;
        bool enabled;
        std::vector<MatchDefinition> include, exclude;
        bool intercepted;
    } rows[] = {
        // clang-format off
        {"the test host, whatever the settings", "tls-test-long.pemtrox.app", 443, false, {}, {location("*")}, true},
        {"the test host's name exactly", "TLS-test-long.pemtrox.app", 443, false, {location("*")}, {}, false},
        {"the short test host is not forced", "tls-test.pemtrox", 443, true, {}, {}, false},
        {"interception off", "a.test", 443, false, {location("*")}, {}, false},
        {"nothing included", "a.test", 443, true, {}, {}, false},
        {"included", "a.test", 443, true, {location("*.test")}, {}, true},
        {"another host", "b.other", 443, true, {location("*.test")}, {}, false},
        {"an empty host", "", 443, true, {location("*.test")}, {}, false},
        {"no host: no condition", std::nullopt, 443, true, {location("*.test")}, {}, true},
        {"excluded", "a.test", 443, true, {location("*.test")}, {location("a.*")}, false},
        {"an exclude that does not match", "b.test", 443, true, {location("*.test")}, {location("a.*")}, true},
        {"a disabled exclude", "a.test", 443, true, {location("*.test")}, {disabled(location("a.*"))}, true},
        {"a disabled include", "a.test", 443, true, {disabled(location("*.test"))}, {}, false},
        {"a later include", "a.test", 443, true, {location("b.*"), location("a.*")}, {}, true},
        {"the port included", "a.test", 8443, true, {location("*.test", "8443")}, {}, true},
        {"another port", "a.test", 443, true, {location("*.test", "8443")}, {}, false},
        {"the port excluded", "a.test", 8443, true, {location("*")}, {location(std::nullopt, "8443")}, false},
        {"no port: no condition", "a.test", std::nullopt, true, {location("*", "8443")}, {}, true},
        {"an include's scheme", "a.test", 443, true, {location("*.test", std::nullopt, "http")}, {}, true},
        {"an exclude's scheme", "a.test", 443, true, {location("*")}, {location("*.test", std::nullopt, "http")}, false},
        {"an include's path", "a.test", 443, true, {location("*.test", std::nullopt, std::nullopt, "/x")}, {}, true},
        // clang-format on
    };
    for (const auto& row : rows) {
        SSLSettings settings{row.include, row.exclude, row.enabled};
        EXPECT_EQ(interceptsConnect(row.host, row.port, settings), row.intercepted) << row.why;
    }
}

} // namespace
} // namespace pemtrox
