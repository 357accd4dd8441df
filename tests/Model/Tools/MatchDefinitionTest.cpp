#include <gtest/gtest.h>

#include "Model/Tools/DNSMapping.h"
#include "Model/Tools/MatchDefinition.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using json = nlohmann::json;

namespace {
using Opt = std::optional<std::string>;

MatchDefinition decode(const json& dictionary) {
    auto definition = MatchDefinition::fromDictionary(dictionary);
    EXPECT_TRUE(definition.has_value()) << dictionary.dump();
    return definition.value_or(MatchDefinition{});
}

// Designated initializers would trip -Wmissing-field-initializers; this names every field.
MatchDefinition location(MatchType type, Opt protocol, Opt host, Opt port, Opt path, Opt query,
                         bool enabled = true) {
    MatchDefinition d;
    d.enabled = enabled;
    d.type = type;
    d.protocolPattern = std::move(protocol);
    d.hostnamePattern = std::move(host);
    d.portPattern = std::move(port);
    d.pathPattern = std::move(path);
    d.queryPattern = std::move(query);
    return d;
}
} // namespace

TEST(MatchDefinition, DecodesTheTypesAndTheOlderHostOnlyForms) {
    // The patterns kept, as the description writes them.
    struct Case {
        json dictionary;
        MatchType type;
        const char* patterns;
    } cases[] = {
        {{{"type", "Glob"},
          {"protocol", "https"},
          {"hostname", "*.x"},
          {"port", "443"},
          {"path", "a/*"},
          {"query", "q=?"}},
         MatchType::Glob,
         "https://*.x:443/a/*?q=?"},
        {{{"type", "Regex"}, {"hostname", "a|b"}, {"port", 443}, {"path", nullptr}}, MatchType::Regex, "a|b"},
        {{{"type", "Exact"}, {"hostname", "x"}, {"path", "p"}}, MatchType::Glob, "x"},
        {{{"type", "Prefix"}, {"hostname", "x"}}, MatchType::Glob, "x*"},
        {{{"type", "Suffix"}, {"hostname", "x"}}, MatchType::Glob, "*x"},
        {{{"type", "Contains"}, {"hostname", "x"}}, MatchType::Glob, "*x*"},
        {{{"type", "Suffix"}, {"hostname", 5}}, MatchType::Glob, ""},
        {{{"type", "glob"}, {"hostname", "x"}}, MatchType::Glob, ""},
        {{{"type", 1}, {"hostname", "x"}}, MatchType::Glob, ""},
        {json::object(), MatchType::Glob, ""},
    };
    for (auto& c : cases) {
        c.dictionary["enabled"] = true;
        auto d = decode(c.dictionary);
        EXPECT_EQ(d.type, c.type) << c.dictionary.dump();
        EXPECT_EQ(d.description(), c.patterns) << c.dictionary.dump();
    }
    EXPECT_FALSE(decode({{"enabled", false}}).enabled);
}

TEST(MatchDefinition, ElementsWithoutABooleanEnabledAreLeftOut) {
    for (json bad : {json::object(), json{{"type", "Glob"}}, json{{"enabled", 1}}, json{{"enabled", "true"}},
                     json("text"), json::array()})
        EXPECT_FALSE(MatchDefinition::fromDictionary(bad).has_value()) << bad.dump();
    auto list = MatchDefinition::decodeList(
        json::array({json{{"enabled", true}, {"hostname", "a"}, {"type", "Exact"}}, json{{"hostname", "b"}},
                     json{{"enabled", false}, {"hostname", "c"}, {"type", "Exact"}}}));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].hostnamePattern, "a");
    EXPECT_EQ(list[1].hostnamePattern, "c");
}

TEST(MatchDefinition, ListsThatAreNotAllDictionariesReadAsEmpty) {
    json location = {{"enabled", true}, {"type", "Glob"}, {"hostname", "a"}};
    for (auto stored :
         {std::optional<json>{}, std::optional<json>{location},
          std::optional<json>{json::array({location, location, "text"})},
          std::optional<json>{json::array({location, json::array()})}, std::optional<json>{"a"}})
        EXPECT_TRUE(MatchDefinition::decodeList(stored).empty()) << (stored ? stored->dump() : "none");
    EXPECT_EQ(MatchDefinition::decodeList(json::array({location, location})).size(), 2u);
}

TEST(MatchDefinition, EmptyPatternWantsAnEmptyValue) {
    // An empty pattern wants an empty value; an absent value passes (more in MatchesAny).
    auto pathAndQuery = location(MatchType::Regex, {}, {}, {}, "/api/.*", "");
    EXPECT_TRUE(pathAndQuery.matches("http", "h", 80, "/API/v1", ""));
    EXPECT_FALSE(pathAndQuery.matches("http", "h", 80, "/API/v1", "x=1"));
    EXPECT_TRUE(pathAndQuery.matches("http", "h", 80, "/API/v1", {}));
}

TEST(MatchDefinition, FailingPartStopsTheTestBeforeLaterPatternsAreCompiled) {
    auto logger = test::CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
    auto d = location(MatchType::Regex, {}, "good", {}, "(", {});
    EXPECT_FALSE(d.matches({}, "other", {}, "/", {}));
    EXPECT_TRUE(logger->lines().empty());
    EXPECT_FALSE(d.matches({}, "good", {}, "/", {}));
    EXPECT_EQ(logger->lines().size(), 1u);
    logger->uninstall();
}

TEST(MatchDefinition, DescriptionAndEquality) {
    auto d = location(MatchType::Glob, "https", "h", "1", "p", "q");
    EXPECT_EQ(location(MatchType::Glob, {}, {}, {}, "", {}).description(), "/");
    EXPECT_EQ(MatchDefinition{}.description(), "");

    MatchDefinition disabled = d;
    disabled.enabled = false;
    EXPECT_EQ(d, disabled);
    MatchDefinition regex = d;
    regex.type = MatchType::Regex;
    EXPECT_NE(d, regex);
    EXPECT_NE(location(MatchType::Glob, {}, {}, {}, {}, ""), MatchDefinition{});
}

TEST(DNSMapping, DecodesAndLeavesOutUnusableMappingsKeepingOrder) {
    json host = {{"enabled", true}, {"type", "Glob"}, {"hostname", "*.a"}};
    json list = json::array({
        {{"hostnameMatch", host}, {"address", "10.0.0.1"}},
        {{"hostnameMatch", "*.b"}, {"address", "10.0.0.2"}},
        {{"hostnameMatch", host}},
        {{"hostnameMatch", host}, {"address", 7}},
        {{"hostnameMatch", {{"hostname", "x"}}}, {"address", "10.0.0.5"}},
        json::object(),
        {{"hostnameMatch", {{"enabled", false}, {"type", "Exact"}, {"hostname", "c"}}},
         {"address", "10.0.0.3"}},
    });
    auto mappings = DNSMapping::decodeList(list);
    ASSERT_EQ(mappings.size(), 2u);
    EXPECT_EQ(mappings[0].address, "10.0.0.1");
    EXPECT_EQ(mappings[0].hostnameMatchDefinition.hostnamePattern, "*.a");
    EXPECT_EQ(mappings[1].address, "10.0.0.3");
    EXPECT_FALSE(mappings[1].hostnameMatchDefinition.enabled);
    EXPECT_TRUE(DNSMapping::decodeList(json::array({list[0], "text"})).empty());
    EXPECT_EQ((DNSMapping{{}, "h"}).description(), "*  \u2192 h");
}

// The rule is kept as read; only the loader's one warning tells the user what it will do.
TEST(MatchDefinition, LoadingWarnsOnceAboutALocationReadOtherThanWritten) {
    struct Case {
        json dictionary;
        const char* warning; // the text after the list, the location and its dump; "" for none
    } cases[] = {
        {{{"type", "glob"}, {"hostname", "nomatch"}},
         "type \"glob\" is none of Glob, Regex, Exact, Prefix, Suffix, Contains: matches every exchange"},
        {{{"type", 3}},
         "type 3 is none of Glob, Regex, Exact, Prefix, Suffix, Contains: matches every exchange"},
        {{{"hostname", "x"}}, "no type: matches every exchange"},
        {{{"type", "Suffix"}, {"hostName", ".x"}},
         "type \"Suffix\" without a text \"hostname\": matches every exchange"},
        {{{"type", "Glob"}, {"hostname", "x"}, {"port", 443}}, "port ignored: not a text"},
        {{{"type", "Regex"}, {"protocol", nullptr}, {"path", json::array()}},
         "protocol ignored: not a text; path ignored: not a text"},
        {{{"type", "Glob"}, {"hostname", "x"}, {"port", "443"}}, ""},
        {{{"type", "Exact"}, {"hostname", "x"}, {"port", 443}}, ""}, // an older type reads only the host
    };
    for (auto& c : cases) {
        auto logger = test::CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
        json disabled = c.dictionary;
        c.dictionary["enabled"] = true;
        disabled["enabled"] = false;
        auto list = MatchDefinition::decodeList(json::array({json{{"type", "Glob"}}, disabled, c.dictionary}),
                                                "sslSettings.include");
        logger->uninstall();
        EXPECT_EQ(list.size(), 2u) << "the element without \"enabled\" is left out; the rest stay";
        std::vector<std::string> expected;
        if (*c.warning)
            expected.push_back("sslSettings.include, location 3 " + c.dictionary.dump() + ": " + c.warning);
        EXPECT_EQ(logger->lines(), expected) << "a disabled location matches nothing: no warning for it";
    }

    auto logger = test::CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
    json host = {{"enabled", true}, {"type", "regex"}, {"hostname", "a"}};
    DNSMapping::decodeList(json::array({{{"hostnameMatch", host}, {"address", "10.0.0.1"}}}),
                           "tools.dnsSpoofing.mappings");
    logger->uninstall();
    EXPECT_EQ(logger->lines(),
              std::vector<std::string>{"tools.dnsSpoofing.mappings, mapping 1, hostnameMatch " + host.dump() +
                                       ": type \"regex\" is none of Glob, Regex, "
                                       "Exact, Prefix, Suffix, Contains: matches "
                                       "every exchange"});
}
