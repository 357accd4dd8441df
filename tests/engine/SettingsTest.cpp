#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "Model/Tools/MatchesAny.h"
#include "platform/UserDefaults.h"
#include "proxy/engine/Settings.h"
#include "proxy/engine/SettingsPublisher.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using json = nlohmann::json;

namespace {
Settings load(json values) {
    return Settings::load(UserDefaults(std::move(values)));
}
} // namespace

// The records' own defaults are what an empty store loads.
TEST(Settings, EmptyStoreGivesEveryDefault) {
    EXPECT_EQ(load(json::object()), Settings{});
}

TEST(Settings, RecordingBooleansAreTrueUnlessStored) {
    const char* keys[] = {"recordRequestBody", "recordResponseBody", "recordPartialOpaqueBody",
                          "recordRawTCPStreams"};
    struct Case {
        json stored;
        bool expected;
    } cases[] = {{false, false}, {0, false}, {"NO", false}, {json::array(), false},
                 {true, true},   {1, true},  {"YES", true}, {nullptr, true}};
    for (auto key : keys)
        for (auto& c : cases) {
            auto r = load(json{{std::string("recordingSettings.") + key, c.stored}}).recordingSettings;
            bool values[] = {r.recordRequestBody, r.recordResponseBody, r.recordPartialOpaqueBody,
                             r.recordRawTCPStreams};
            for (std::size_t i = 0; i < 4; ++i)
                EXPECT_EQ(values[i], keys[i] == key ? c.expected : true) << key << " = " << c.stored.dump();
        }
}

TEST(Settings, SwitchesAreFalseUnlessStoredTrue) {
    struct Case {
        json stored;
        bool expected;
    } cases[] = {{nullptr, false}, {false, false}, {"no", false}, {true, true}, {2, true}, {"true", true}};
    for (auto& c : cases) {
        auto s = load(json{{"sslSettings.proxyingEnabled", c.stored},
                           {"tools.blacklist.enabled", c.stored},
                           {"tools.dnsSpoofing.enabled", c.stored}});
        EXPECT_EQ(s.sslSettings.proxyingEnabled, c.expected) << c.stored.dump();
        EXPECT_EQ(s.tools.blockList.enabled, c.expected) << c.stored.dump();
        EXPECT_EQ(s.tools.dnsSpoofing.enabled, c.expected) << c.stored.dump();
    }
}

TEST(Settings, SizeLimitsReplaceOnlyZero) {
    struct Case {
        json stored;
        std::int64_t expected;
    } cases[] = {{nullptr, 1048576},      {0, 1048576}, {5, 5},         {-1, -1},  {"12", 12},
                 {"abc", 1048576},        {2.9, 2},     {0.5, 1048576}, {true, 1}, {json::array(), 1048576},
                 {8589934592, 8589934592}};
    for (auto& c : cases) {
        auto r = load(json{{"recordingSettings.requestBodyMaxSize", c.stored},
                           {"recordingSettings.responseBodyMaxSize", c.stored}})
                     .recordingSettings;
        EXPECT_EQ(r.requestBodyMaxSize, c.expected) << c.stored.dump();
        EXPECT_EQ(r.responseBodyMaxSize, c.expected) << c.stored.dump();
    }
}

TEST(Settings, BlockTypeNeedsTheExactText) {
    using Type = BlockListToolSettings::BlockActionType;
    struct Case {
        json stored;
        Type expected;
    } cases[] = {{"Return 403 response", Type::Forbidden},
                 {"return 403 response", Type::Drop},
                 {"Drop connection", Type::Drop},
                 {403, Type::Drop},
                 {nullptr, Type::Drop},
                 {json::array({"Return 403 response"}), Type::Drop}};
    for (auto& c : cases)
        EXPECT_EQ(load(json{{"tools.blacklist.blockType", c.stored}}).tools.blockList.blockActionType,
                  c.expected)
            << c.stored.dump();
    EXPECT_STREQ(blockActionTypeText(Type::Drop), "Drop connection");
    EXPECT_EQ(blockActionTypeFromString("Return 403 response"), Type::Forbidden);
    EXPECT_FALSE(blockActionTypeFromString("Drop").has_value());
}

TEST(Settings, EachListReadsItsOwnKeyAndAMixedListReadsAsEmpty) {
    json location = {{"enabled", true}, {"type", "Glob"}, {"hostname", "*.example.com"}};
    auto copies = [&](std::size_t count) { return json(std::vector<json>(count, location)); };
    auto s = load(json{{"recordingSettings.include", copies(1)},
                       {"recordingSettings.exclude", copies(2)},
                       {"sslSettings.include", copies(3)},
                       {"sslSettings.exclude", copies(4)},
                       {"tools.blacklist.include", copies(5)}});
    EXPECT_EQ(s.recordingSettings.include.size(), 1u);
    EXPECT_EQ(s.recordingSettings.exclude.size(), 2u);
    EXPECT_EQ(s.sslSettings.include.size(), 3u);
    EXPECT_EQ(s.sslSettings.exclude.size(), 4u);
    EXPECT_EQ(s.tools.blockList.include.size(), 5u);

    auto mixed = load(json{{"sslSettings.include", json::array({location, location, "*.example.com"})}});
    EXPECT_TRUE(mixed.sslSettings.include.empty());
}

TEST(Settings, MappingThatDoesNotDecodeIsDroppedAndTheRestKeepTheirOrder) {
    auto mapping = [](const char* host, const char* address) {
        return json{{"hostnameMatch", {{"enabled", true}, {"type", "Exact"}, {"hostname", host}}},
                    {"address", address}};
    };
    auto s =
        load(json{{"tools.dnsSpoofing.mappings",
                   json::array({mapping("a", "1.1.1.1"), json{{"hostnameMatch", "b"}, {"address", "2.2.2.2"}},
                                mapping("c", "3.3.3.3"), mapping("d", "4.4.4.4")})}});
    auto& m = s.tools.dnsSpoofing.mappings;
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].description(), "a  \u2192 1.1.1.1");
    EXPECT_EQ(m[1].description(), "c  \u2192 3.3.3.3");
    EXPECT_EQ(m[2].description(), "d  \u2192 4.4.4.4");
}

TEST(Settings, KeyPrefixIsPutInFrontOfEveryKey) {
    UserDefaults store(json{{"x.sslSettings.proxyingEnabled", true},
                            {"sslSettings.proxyingEnabled", false},
                            {"x.tools.dnsSpoofing.enabled", true}});
    auto s = Settings::load(store, "x.");
    EXPECT_TRUE(s.sslSettings.proxyingEnabled);
    EXPECT_TRUE(s.tools.dnsSpoofing.enabled);
    EXPECT_FALSE(Settings::load(store).sslSettings.proxyingEnabled);
}

// The example in the README is what a user copies; it must load as the README says.
TEST(Settings, ReadmeExampleLoadsFromTheContainer) {
    const char* source = std::getenv("PEMTROX_SOURCE_DIR");
    ASSERT_NE(source, nullptr) << "run through ctest, which sets PEMTROX_SOURCE_DIR";
    auto all = test::slurp(std::filesystem::path(source) / "README.md");
    auto section = all.find("## Settings");
    ASSERT_NE(section, std::string::npos);
    auto begin = all.find("```json\n", section);
    ASSERT_NE(begin, std::string::npos);
    begin += 8;
    auto end = all.find("```", begin);
    ASSERT_NE(end, std::string::npos);

    test::TempDir dir;
    std::ofstream(dir.path() / "settings.json") << all.substr(begin, end - begin);
    auto logger = test::CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
    auto s = Settings::load(UserDefaults::suite(dir.path()));
    EXPECT_TRUE(logger->lines().empty());
    logger->uninstall();

    const auto& r = s.recordingSettings;
    EXPECT_TRUE(r.recordRequestBody);
    EXPECT_EQ(r.responseBodyMaxSize, 4194304);
    EXPECT_FALSE(r.recordRawTCPStreams);
    ASSERT_EQ(r.exclude.size(), 1u);
    EXPECT_TRUE(r.exclude[0].matches("https", "gateway.icloud.com", 443, "/", {}));

    EXPECT_TRUE(s.sslSettings.proxyingEnabled);
    ASSERT_EQ(s.sslSettings.include.size(), 3u);
    // The example lists the bare domain beside its subdomains: each matches only its own.
    EXPECT_TRUE(s.sslSettings.include[0].matches("https", "Example.com", 443, {}, {}));
    EXPECT_FALSE(s.sslSettings.include[0].matches("https", "www.example.com", 443, {}, {}));
    EXPECT_TRUE(s.sslSettings.include[1].matches("https", "WWW.Example.com", 443, {}, {}));
    EXPECT_FALSE(s.sslSettings.include[1].matches("https", "example.com", 443, {}, {}));
    EXPECT_TRUE(s.sslSettings.include[2].matches("https", "api7.example.org", 443, {}, {}));
    EXPECT_FALSE(s.sslSettings.include[2].matches("https", "api7.example.org", 8443, {}, {}));
    ASSERT_EQ(s.sslSettings.exclude.size(), 1u);
    EXPECT_EQ(s.sslSettings.exclude[0].hostnamePattern, "*.bank.example");

    EXPECT_TRUE(s.tools.blockList.enabled);
    EXPECT_EQ(s.tools.blockList.blockActionType, BlockListToolSettings::BlockActionType::Forbidden);
    ASSERT_EQ(s.tools.blockList.include.size(), 1u);
    // The alternatives are grouped, so the dot and what follows it bind to both.
    EXPECT_FALSE(s.tools.blockList.include[0].matches("http", "ads", 80, "/", {}));
    EXPECT_TRUE(s.tools.blockList.include[0].matches("http", "ads.example.com", 80, "/", {}));
    EXPECT_TRUE(s.tools.blockList.include[0].matches("http", "tracker.example.com", 80, "/", {}));

    EXPECT_TRUE(s.tools.dnsSpoofing.enabled);
    ASSERT_EQ(s.tools.dnsSpoofing.mappings.size(), 1u);
    EXPECT_EQ(s.tools.dnsSpoofing.mappings[0].address, "127.0.0.1");
}

// Each list's locations are compiled as the settings load: a pattern that does not compile is
// reported there, once, with its list and place, and the exchanges it is tried on stay quiet.
TEST(Settings, APatternThatDoesNotCompileIsReportedOnceAtLoad) {
    auto bad = [](const char* extra) {
        json location = {{"enabled", true}, {"type", "Regex"}, {"hostname", "[bad"}};
        if (*extra)
            location["path"] = extra;
        return location;
    };
    json good = {{"enabled", true}, {"type", "Glob"}, {"hostname", "*.test"}};
    json disabled = bad("");
    disabled["enabled"] = false;
    auto logger = test::CapturingLogger::install(static_cast<std::uint32_t>(LogFlag::warning));
    auto s = load(
        json{{"sslSettings.include", json::array({disabled, bad(""), good})},
             {"recordingSettings.exclude", json::array({bad("/(")})},
             {"tools.blacklist.include", json::array({bad("")})},
             {"tools.dnsSpoofing.mappings", json::array({{{"hostnameMatch", bad("")}, {"address", "x"}}})}});
    std::vector<std::string> expected = {
        // in the order the sections load
        "recordingSettings.exclude, location 1 " + bad("/(").dump() + ": Failed to match pattern \"[bad\": ",
        "recordingSettings.exclude, location 1 " + bad("/(").dump() + ": Failed to match pattern \"/(\": ",
        "sslSettings.include, location 2 " + bad("").dump() + ": Failed to match pattern \"[bad\": ",
        "tools.blacklist.include, location 1 " + bad("").dump() + ": Failed to match pattern \"[bad\": ",
        "tools.dnsSpoofing.mappings, mapping 1, hostnameMatch " + bad("").dump() +
            ": Failed to match pattern \"[bad\": "};
    auto lines = logger->lines();
    ASSERT_EQ(lines.size(), expected.size()) << ::testing::PrintToString(lines);
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind(expected[i], 0), 0u) << lines[i];

    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(matchesAny(s.sslSettings.include, "https", "a.test", 443, "/", ""));
        EXPECT_FALSE(matchesAny(s.sslSettings.include, "https", "b.example", 443, "/", ""));
        EXPECT_FALSE(matchesAny(s.recordingSettings.exclude, "https", "a.test", 443, "/", ""));
        EXPECT_FALSE(s.tools.dnsSpoofing.mappings[0].hostnameMatchDefinition.matches({}, "a", {}, {}, {}));
    }
    EXPECT_EQ(logger->lines().size(), expected.size()) << "nothing more at the matches";

    // A pattern changed after the load is no longer the one compiled: it is compiled as it is used.
    auto changed = s.sslSettings.include[1];
    changed.hostnamePattern = "b\\.example";
    EXPECT_TRUE(changed.matches("https", "b.example", 443, "/", ""));
    changed.hostnamePattern = "(";
    EXPECT_FALSE(changed.matches("https", "b.example", 443, "/", ""));
    EXPECT_EQ(logger->lines().size(), expected.size() + 1);
    logger->uninstall();
}

// Every part that holds its token is handed each new snapshot, in the order they subscribed;
// a part that lets go, even while being handed one, is handed no more.
TEST(SettingsPublisher, HandsEachSnapshotToThePartsThatHoldTheirTokens) {
    SettingsPublisher publisher(load(json{{"sslSettings.proxyingEnabled", true}}));
    EXPECT_TRUE(publisher.current()->sslSettings.proxyingEnabled);
    std::string handed;
    std::shared_ptr<void> second;
    auto first = publisher.subscribe([&](const SettingsPublisher::Snapshot& s) {
        handed += s->sslSettings.proxyingEnabled ? "1+" : "1-";
        second.reset();
    });
    second = publisher.subscribe([&](const SettingsPublisher::Snapshot&) { handed += "2"; });
    auto third = publisher.subscribe([&](const SettingsPublisher::Snapshot& s) {
        handed += "3";
        EXPECT_EQ(s, publisher.current());
    });
    publisher.publish(load(json::object()));
    EXPECT_EQ(handed, "1-3") << "the second let go while the first was handed it";
    third.reset();
    publisher.publish(load(json{{"sslSettings.proxyingEnabled", true}}));
    EXPECT_EQ(handed, "1-31+");

    // A section shares the snapshot's life: no copy is made.
    auto snapshot = publisher.current();
    auto section = sectionOf(snapshot, &Settings::sslSettings);
    EXPECT_EQ(section.get(), &snapshot->sslSettings);
    publisher.publish(load(json::object()));
    snapshot.reset();
    EXPECT_TRUE(section->proxyingEnabled);
}
