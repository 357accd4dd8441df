#include <string>

#include <gtest/gtest.h>

#include "Model/Tools/MatchPattern.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;

TEST(MatchPattern, GlobRules) {
    struct Case {
        const char* pattern;
        const char* value;
        bool matches;
    } cases[] = {
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"a?c", "abbc", false},
        {"a*c", "ac", true},
        {"a*c", "abbbc", true},
        {"a*c", "abcd", false},
        {"a\\*c", "a*c", true},
        {"a\\*c", "A*C", true},
        {"a\\*c", "abc", false},
        {"a\\*c", "ac", false},
        {"a.c", "abc", false},
        {"a.c", "a.c", true},
        {"*.local", "PRINTER.LOCAL", true},
        {"*.local", "printer.localhost", false},
        {"*.local", "evil.local.example.com", false},
        {"example.com", "www.example.com", false},
        {"Ünïcode.*", "üNÏCODE.test", true},
        {"[ab]", "[ab]", true},
        {"[ab]", "a", false},
        // Every other regular-expression character stands for itself.
        {"(b){2}|y^$+", "(B){2}|Y^$+", true},
        {"(b){2}|y^$+", "bb", false},
        {"a\\\\b", "a\\b", true}, // an escaped backslash
        {"\\d", "d", true},       // an escaped letter is the letter
        {"ü*", "Üx", true},
        {"", "", true},
        {"", "x", false},
        {"*", "", true},
    };
    for (auto& c : cases)
        EXPECT_EQ(matchPattern(MatchType::Glob, c.value, c.pattern), c.matches)
            << c.pattern << " / " << c.value;
}

TEST(MatchPattern, RegexIsAnchoredAtBothEndsForEveryAlternative) {
    struct Case {
        const char* pattern;
        const char* value;
        bool matches;
    } cases[] = {
        {"a|b", "a", true},
        {"a|b", "B", true},
        {"a|b", "ax", false},
        {"a|b", "xb", false},
        {"ads|track", "ads.example.com", false},
        {"ads|track", "example-track", false},
        {"ads|track", "track", true},
        {".*\\.(ads|track)\\.com", "x.ads.com", true},
        {"api\\.example\\.com", "API.EXAMPLE.COM", true},
        {"api\\.example\\.com", "api.example.com.evil", false},
        {"[0-9]+", "443", true},
        {"[0-9]+", "443a", false},
    };
    for (auto& c : cases)
        EXPECT_EQ(matchPattern(MatchType::Regex, c.value, c.pattern), c.matches)
            << c.pattern << " / " << c.value;
}

TEST(MatchPattern, InvalidPatternFailsAndWarnsEveryTime) {
    auto logger = test::CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(matchPattern(MatchType::Regex, "abc", "a(b"));
    // Balanced only once wrapped in the anchoring group: still invalid, never unanchored.
    EXPECT_FALSE(matchPattern(MatchType::Regex, "xxbxx", "a)|(b"));
    auto lines = logger->lines();
    ASSERT_EQ(lines.size(), 3u);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(lines[i].rfind("Failed to match pattern \"a(b\": ", 0), 0u) << lines[i];
    EXPECT_EQ(lines[2].rfind("Failed to match pattern \"a)|(b\": ", 0), 0u) << lines[2];
    logger->uninstall();
}

TEST(MatchPattern, MatchThatRunsOutOfTimeCountsAsNoMatchAndWarns) {
    auto logger = test::CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
    std::string hostile(200, 'a');
    hostile += "!";
    EXPECT_FALSE(matchPattern(MatchType::Regex, hostile, "(a+)+b"));
    ASSERT_EQ(logger->lines().size(), 1u);
    EXPECT_TRUE(logger->contains("Failed to match pattern \"(a+)+b\": "));
    EXPECT_TRUE(logger->contains("ran out of time"));
    logger->uninstall();
}
