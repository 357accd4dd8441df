#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "platform/Regex.h"

using namespace pemtrox;

TEST(Regex, SearchIgnoresCaseIncludingNonAscii) {
    struct Case {
        const char* pattern;
        const char* text;
        bool found;
    } cases[] = {
        {"^example\\.com$", "EXAMPLE.COM", true},
        {"^ärger$", "ÄRGER", true},
        {"^σοφία$", "ΣΟΦΊΑ", true},
        {"b", "abc", true},
        {"^b", "abc", false},
        {"", "anything", true},
    };
    for (auto& c : cases)
        EXPECT_EQ(Regex(c.pattern).search(c.text), c.found) << c.pattern << " / " << c.text;
}

TEST(Regex, InvalidPatternsAreRejectedWithTheEngineReason) {
    for (auto bad : {"(", "a[b", "*a", "a{2,1}", "\\"}) {
        try {
            Regex r(bad);
            ADD_FAILURE() << bad << " compiled";
        } catch (const RegexError& e) {
            EXPECT_EQ(e.kind(), RegexError::Kind::invalidPattern) << bad;
            EXPECT_NE(e.description().find("U_REGEX_"), std::string::npos) << e.description();
        }
    }
}

TEST(Regex, ASearchThatRunsOutOfTimeStopsWithAnError) {
    // Nested repetition over a text that almost matches backtracks exponentially.
    Regex r("^(a+)+b$", std::chrono::milliseconds(1));
    std::string hostile(64, 'a');
    hostile += "c";
    try {
        r.search(hostile);
        ADD_FAILURE() << "search finished";
    } catch (const RegexError& e) {
        EXPECT_EQ(e.kind(), RegexError::Kind::timedOut);
    }
    // The same expression still answers ordinary texts.
    EXPECT_TRUE(r.search("aaab"));
}

TEST(Regex, EscapedPatternMatchesExactlyItsText) {
    for (std::string text : {"a.c", "*?+[](){}^$|\\./", "x-y_z#1 2", "ünï.cödé", "\\d\\1"}) {
        Regex r("^" + Regex::escapedPattern(text) + "$");
        EXPECT_TRUE(r.search(text)) << text;
        EXPECT_FALSE(r.search(text + "x")) << text;
    }
    EXPECT_FALSE(Regex("^" + Regex::escapedPattern("a.c") + "$").search("abc"));
    // Letters and digits stay unescaped: "\d" or "\1" would mean something else.
    EXPECT_EQ(Regex::escapedPattern("ad1"), "ad1");
}
