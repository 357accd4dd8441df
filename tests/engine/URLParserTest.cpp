#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "proxy/engine/URLParser.h"

namespace pemtrox {
namespace {

TEST(URLParserTest, Cases) {
    struct Case {
        std::string input;
        bool parses;
        std::optional<std::string> scheme, host;
        std::optional<std::int64_t> port;
        std::string path;
        std::optional<std::string> query;
    };
    std::vector<Case> cases = {
        {"http://h:8080/a/b?x=1#f", true, "http", "h", 8080, "/a/b", "x=1"},
        {"/index.html", true, {}, {}, {}, "/index.html", {}},
        {"http://h:/p", false, {}, {}, {}, "", {}},
        {"http://h:abc/p", false, {}, {}, {}, "", {}},
        {"http://user:pw@h/p", false, {}, {}, {}, "", {}},
        {"http://[::1]:8080/p", false, {}, {}, {}, "", {}},
        {"http://[::1]/p", false, {}, {}, {}, "", {}},
        {"host:443", true, "host", {}, {}, "443", {}},
        {"http:///p", true, "http", "", {}, "/p", {}},
        {"/p?", true, {}, {}, {}, "/p", ""},
        {"/p?#frag", true, {}, {}, {}, "/p", ""},
        {"/p#a?b", true, {}, {}, {}, "/p", {}},
        {"/p?a?b=c", true, {}, {}, {}, "/p", "a?b=c"},
        {"http://h:-1", true, "http", "h", -1, "", {}},
        {"http://h:99999", true, "http", "h", 99999, "", {}},
        {"http://h:+80/", true, "http", "h", 80, "/", {}},
        {"http://h", true, "http", "h", {}, "", {}},
        {"//h/p", true, {}, "h", {}, "/p", {}},
        {"", true, {}, {}, {}, "", {}},
        {":x", true, {}, {}, {}, ":x", {}},
        {"a/b:c", true, {}, {}, {}, "a/b:c", {}},
        {"http://h\xc3\xa9:81/\xc3\xa9?\xc3\xa9", true, "http", "h\xc3\xa9", 81, "/\xc3\xa9", "\xc3\xa9"},
        {"http://h:99999999999999999999/", false, {}, {}, {}, "", {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.input);
        auto parsed = URLParser::parse(c.input);
        ASSERT_EQ(parsed.has_value(), c.parses);
        if (!parsed)
            continue;
        EXPECT_EQ(parsed->scheme, c.scheme);
        EXPECT_EQ(parsed->host, c.host);
        EXPECT_EQ(parsed->port, c.port);
        EXPECT_EQ(parsed->path, c.path);
        EXPECT_EQ(parsed->query, c.query);
    }
}

} // namespace
} // namespace pemtrox
