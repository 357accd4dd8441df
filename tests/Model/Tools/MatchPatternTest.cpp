#include <string>

#include <gtest/gtest.h>

#include "Model/Tools/MatchPattern.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;

// Globs: "?" one character, "*" any run, "\\" escapes, every other character itself, case
// ignored. Regexes: anchored at both ends for every alternative, case ignored.
TEST(MatchPattern, Rules) {
    struct Case {
        MatchType type;
        const char* pattern;
        const char* value;
        bool matches;
    } cases[] = {
        {MatchType::Glob, "a?c", "abc", true},
        {MatchType::Glob, "a?c", "ac", false},
        {MatchType::Glob, "a?c", "abbc", false},
        {MatchType::Glob, "a*c", "ac", true},
        {MatchType::Glob, "a*c", "abbbc", true},
        {MatchType::Glob, "a*c", "abcd", false},
        {MatchType::Glob, "a\\*c", "a*c", true},
        {MatchType::Glob, "a\\*c", "A*C", true},
        {MatchType::Glob, "a\\*c", "abc", false},
        {MatchType::Glob, "a\\*c", "ac", false},
        {MatchType::Glob, "a.c", "abc", false},
        {MatchType::Glob, "a.c", "a.c", true},
        {MatchType::Glob, "*.local", "PRINTER.LOCAL", true},
        {MatchType::Glob, "*.local", "printer.localhost", false},
        {MatchType::Glob, "*.local", "evil.local.example.com", false},
        {MatchType::Glob, "example.com", "www.example.com", false},
        {MatchType::Glob, "Ünïcode.*", "üNÏCODE.test", true},
        {MatchType::Glob, "[ab]", "[ab]", true},
        {MatchType::Glob, "[ab]", "a", false},
        // Every other regular-expression character stands for itself.
        {MatchType::Glob, "(b){2}|y^$+", "(B){2}|Y^$+", true},
        {MatchType::Glob, "(b){2}|y^$+", "bb", false},
        {MatchType::Glob, "a\\\\b", "a\\b", true}, // an escaped backslash
        {MatchType::Glob, "\\d", "d", true},       // an escaped letter is the letter
        {MatchType::Glob, "ü*", "Üx", true},
        {MatchType::Glob, "", "", true},
        {MatchType::Glob, "", "x", false},
        {MatchType::Glob, "*", "", true},
        {MatchType::Regex, "a|b", "a", true},
        {MatchType::Regex, "a|b", "B", true},
        {MatchType::Regex, "a|b", "ax", false},
        {MatchType::Regex, "a|b", "xb", false},
        {MatchType::Regex, "ads|track", "ads.example.com", false},
        {MatchType::Regex, "ads|track", "example-track", false},
        {MatchType::Regex, "ads|track", "track", true},
        {MatchType::Regex, ".*\\.(ads|track)\\.com", "x.ads.com", true},
        {MatchType::Regex, "api\\.example\\.com", "API.EXAMPLE.COM", true},
        {MatchType::Regex, "api\\.example\\.com", "api.example.com.evil", false},
        {MatchType::Regex, "[0-9]+", "443", true},
        {MatchType::Regex, "[0-9]+", "443a", false},
    };
    for (auto& c : cases)
        EXPECT_EQ(matchPattern(c.type, c.value, c.pattern), c.matches) << c.pattern << " / " << c.value;
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
