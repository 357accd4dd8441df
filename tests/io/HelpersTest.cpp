#include <gtest/gtest.h>

#include "platform/Error.h"
#include "platform/KeyedArchive.h"

#include "platform/Container.h"
#include "proxy/io/AppGroup.h"
#include "proxy/io/Data.h"
#include "proxy/io/ISO8601.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using namespace std::chrono;

TEST(HexString, LowerAndUpperCase) {
    Data bytes{0x00, 0xAB, 0x0F};
    EXPECT_EQ(hexString(bytes), "00ab0f");
    EXPECT_EQ(hexString(bytes, hexUpperCase), "00AB0F");
    EXPECT_EQ(hexString(Data{}), "");
}

TEST(TrimmingCRLF, RemovesOnlyOneTrailingPair) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"abc\r\n", "abc"},     {"abc\n", "abc\n"}, {"abc\r", "abc\r"},
                 {"abc\r\r\n", "abc\r"}, {"", ""},           {"\r\n\r\n", "\r\n"}};
    for (auto& c : cases)
        EXPECT_EQ(trimmingCRLF(c.in), c.out) << c.in;
}

TEST(ISO8601, ZonesAndMilliseconds) {
    Date date = Date(seconds(1700000000)) + milliseconds(42); // 2023-11-14T22:13:20.042Z
    EXPECT_EQ(ISO8601String(date, TimeZone::utc()), "2023-11-14T22:13:20.042Z");
    EXPECT_EQ(ISO8601String(date, TimeZone{hours(5) + minutes(30)}), "2023-11-15T03:43:20.042+05:30");
    EXPECT_EQ(ISO8601String(date, TimeZone{hours(12)}), "2023-11-15T10:13:20.042+12:00");
    EXPECT_EQ(ISO8601String(date, TimeZone{-hours(8)}), "2023-11-14T14:13:20.042-08:00");
}

TEST(ISO8601, ParsesWhatItWritesAndRejectsOtherText) {
    Date date = Date(seconds(1700000000)) + milliseconds(42);
    for (auto zone : {TimeZone::utc(), TimeZone{hours(5) + minutes(30)}, TimeZone{-hours(3)}})
        EXPECT_EQ(dateFromISO8601String(ISO8601String(date, zone)), date);
    EXPECT_EQ(dateFromISO8601String(ISO8601String(date)), date);
    EXPECT_EQ(dateFromISO8601String("2023-11-14T22:13:20.042+0000"), date);
    for (auto bad : {"", "2023-11-14", "2023-11-14T22:13:20Z", "2023-13-14T22:13:20.042Z",
                     "2023-11-14T22:13:20.042", "2023-11-14T22:13:20.042+05", "2023-11-14T22:13:20.042Zjunk"})
        EXPECT_FALSE(dateFromISO8601String(bad).has_value()) << bad;
}

TEST(AppMessages, CommandsMatchExactly) {
    EXPECT_EQ(appMessageCommandFromString("SettingsChanged"), AppMessageCommand::SettingsChanged);
    EXPECT_EQ(appMessageCommandFromString("Plumber"), AppMessageCommand::Plumber);
    EXPECT_EQ(appMessageCommandFromString("Log"), AppMessageCommand::Log);
    EXPECT_EQ(appMessageCommandFromString("ClearLog"), AppMessageCommand::ClearLog);
    for (auto bad : {"plumber", "Log ", "", "CLEARLOG", "Acknowleged"})
        EXPECT_FALSE(appMessageCommandFromString(bad).has_value()) << bad;
    EXPECT_STREQ(appMessageReplyTypeText(AppMessageReplyType::Acknowleged), "Acknowleged");
}

namespace {
std::string plistText(const Data& archive, const test::TempDir& dir) {
    auto path = dir.path() / "reply.bin";
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(archive.data(), 1, archive.size(), f);
    fclose(f);
    int status = -1;
    auto xml = test::runCommand("plistutil -i '" + path.string() + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << xml;
    return xml;
}
} // namespace

TEST(AppMessages, ReplyArchiveIsReadableByAPlistReader) {
    test::TempDir dir;
    auto xml = plistText(encodeAppMessageReply(AppMessageReplyType::Log, toData("/tmp/x.log")), dir);
    EXPECT_NE(xml.find("<string>NSKeyedArchiver</string>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<key>$top</key>"), std::string::npos);
    EXPECT_NE(xml.find("<key>type</key>"), std::string::npos);
    EXPECT_NE(xml.find("<key>message</key>"), std::string::npos);
    EXPECT_NE(xml.find("<string>$null</string>"), std::string::npos);
    EXPECT_NE(xml.find("<string>Log</string>"), std::string::npos);
    EXPECT_NE(xml.find("L3RtcC94LmxvZw=="), std::string::npos)
        << "message bytes as base64 data"; // "/tmp/x.log"
    EXPECT_NE(xml.find("<integer>100000</integer>"), std::string::npos);
    // Our own reader (the message verb's) reads both values back; an absent message stays absent.
    using Entries = std::vector<std::pair<std::string, KeyedArchive::Value>>;
    EXPECT_EQ(KeyedArchive::decode(encodeAppMessageReply(AppMessageReplyType::Log, toData("/tmp/x.log"))),
              (Entries{{"type", std::string("Log")}, {"message", toData("/tmp/x.log")}}));
    EXPECT_EQ(KeyedArchive::decode(encodeAppMessageReply(AppMessageReplyType::Acknowleged, std::nullopt)),
              (Entries{{"type", std::string("Acknowleged")}, {"message", std::monostate{}}}));
    EXPECT_THROW(KeyedArchive::decode(toData("not an archive")), Error);
    // An absent message refers to UID 0, the $null object.
    xml = plistText(encodeAppMessageReply(AppMessageReplyType::Acknowleged, std::nullopt), dir);
    EXPECT_EQ(xml.find("<data>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<integer>0</integer>", xml.find("<key>message</key>")), std::string::npos) << xml;
}

TEST(AppGroup, ContainerIsCreatedAndRecordingLiesInIt) {
    test::TempDir dir;
    Container::setDirectory(dir.path() / "group");
    EXPECT_EQ(containerURL(), dir.path() / "group");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "group"));
    EXPECT_EQ(recordingDirectoryURL(), dir.path() / "group" / "Recording");
}
