#include <fstream>
#include <limits>

#include <gtest/gtest.h>

#include "platform/UserDefaults.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using json = nlohmann::json;

TEST(UserDefaults, BoolAndIntegerReadsConvertLikeThePlatform) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    struct Case {
        json value;
        bool asBool;
        std::int64_t asInteger;
    } cases[] = {
        {true, true, 1},
        {false, false, 0},
        {0, false, 0},
        {-3, true, -3},
        {7, true, 7},
        {0.4, true, 0},
        {-2.9, true, -2},
        {1e300, true, max},
        {-1e300, true, min},
        {18446744073709551615ull, true, max},
        {"YES", true, 0},
        {"true", true, 0},
        {"1", true, 1},
        {"yes please", true, 0},
        {"  -0042abc", true, -42},
        {"NO", false, 0},
        {"false", false, 0},
        {"0", false, 0},
        {"000", false, 0},
        {"", false, 0},
        {"99999999999999999999", true, max},
        {"-99999999999999999999", true, min},
        {json::array({1}), false, 0},
        {json::object({{"a", 1}}), false, 0},
    };
    for (auto& c : cases) {
        UserDefaults store(json{{"k", c.value}});
        EXPECT_EQ(store.boolForKey("k"), c.asBool) << c.value.dump();
        EXPECT_EQ(store.optionalBool("k"), c.asBool) << c.value.dump();
        EXPECT_EQ(store.integerForKey("k"), c.asInteger) << c.value.dump();
    }
}

TEST(UserDefaults, AbsentKeysAndNullReadAsNothing) {
    UserDefaults store(json{{"null", nullptr}, {"text", "x"}});
    for (auto key : {"missing", "null"}) {
        EXPECT_FALSE(store.objectForKey(key).has_value()) << key;
        EXPECT_FALSE(store.optionalBool(key).has_value()) << key;
        EXPECT_FALSE(store.boolForKey(key)) << key;
        EXPECT_EQ(store.integerForKey(key), 0) << key;
        EXPECT_FALSE(store.stringForKey(key).has_value()) << key;
    }
    // Keys are whole dotted names: no nesting is looked into.
    UserDefaults nested(json{{"a", {{"b", true}}}});
    EXPECT_FALSE(nested.objectForKey("a.b").has_value());
    // Anything but an object is an empty store.
    EXPECT_FALSE(UserDefaults(json::array({1, 2})).objectForKey("0").has_value());
}

// A file that does not parse is an empty store and a warning; a missing one only empty.
TEST(UserDefaults, FileThatDoesNotParseIsAnEmptyStoreAndAWarning) {
    test::TempDir dir;
    struct Case {
        const char* text; ///< nullptr: no file
        const char* reasonFragment;
    } cases[] = {
        {nullptr, nullptr},
        {"{\"sslSettings.proxyingEnabled\": true,}", "parse error"},
        {"not json at all", "parse error"},
        {"", "parse error"},
        {"[1, 2]", "does not hold a JSON object"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "no file");
        auto logger = test::CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
        auto path = dir.path() / UserDefaults::fileName;
        if (c.text)
            std::ofstream(path) << c.text;
        auto store = UserDefaults::suite(dir.path());
        logger->uninstall();
        EXPECT_FALSE(store.objectForKey("sslSettings.proxyingEnabled").has_value());
        auto lines = logger->lines();
        ASSERT_EQ(lines.size(), c.text ? 1u : 0u);
        if (c.text) {
            EXPECT_NE(lines[0].find(path.string()), std::string::npos) << lines[0];
            EXPECT_NE(lines[0].find(c.reasonFragment), std::string::npos) << lines[0];
        }
    }
}
