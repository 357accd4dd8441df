#include <sys/stat.h>

#include <gtest/gtest.h>

#include "proxy/engine/ProxyEvent.h"
#include "proxy/io/InetAddress.h"
#include "proxy/recording/BodyFile.h"
#include "proxy/recording/RecordingBuffers.h"
#include "proxy/recording/RecordingError.h"
#include "proxy/recording/RecordingMetadata.h"
#include "proxy/recording/RecordingStore.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TimeZoneGuard.h"

namespace pemtrox {
namespace {

using namespace std::chrono_literals;
namespace Store = RecordingStore;

// 2025-03-04 10:11:12.345 UTC
const Date base = Date{} + 1741083072345ms;

std::shared_ptr<ProxyEvent> fullExchange() {
    auto evt = ProxyEvent::make(nullptr);
    evt->status = ProxyEventStatus::complete;
    evt->method = "GET";
    evt->protocolVersion = "HTTP/1.1";
    evt->scheme = "https";
    evt->host = "example.com";
    evt->port = 8443;
    evt->defaultPort = 443;
    evt->setPath("/a/b");
    evt->setQuery("q=\"\u00E9\"");
    evt->keptAlive = true;
    evt->remoteAddress = std::make_shared<InetAddress>("example.com", "fe80::1%eth0");
    evt->clientAddress = std::make_shared<InetAddress>("127.0.0.1", "127.0.0.1");
    evt->startTime = base;
    evt->requestBeginTime = base + 1ms;
    evt->requestCompleteTime = base + 2ms;
    evt->responseBeginTime = base + 3ms;
    evt->endTime = base + 14h;
    evt->dnsDuration = 0.0125;
    evt->connectDuration = 0.0004;
    evt->sslDuration = 1.5;
    evt->requestHeaderSize = 100;
    evt->requestSize = 5;
    evt->responseHeaderSize = 200;
    evt->responseSize = 1000;
    evt->sslProtocol = "TLSv1.3";
    evt->cipherSuite = "TLS_AES_128_GCM_SHA256";
    evt->addToListAttribute(ProxyEvent::NotesAttribute, "one");
    evt->addToListAttribute(ProxyEvent::NotesAttribute, "two");
    evt->exception = RecordingError::writeFailed("x").clone();
    return evt;
}

TEST(RecordingMetadata, FullExchangeGoldenBytesInEachTimeZone) {
    const std::string golden =
        R"({"status":"COMPLETE","method":"GET","protocolVersion":"HTTP\/1.1","scheme":"https",)"
        R"("host":"example.com","port":8443,"actualPort":8443,"path":"\/a\/b","query":"q=\"é\"",)"
        R"("tunnel":false,"keptAlive":true,"webSocket":false,"remoteAddress":"example.com\/fe80::1",)"
        R"("clientAddress":"127.0.0.1\/127.0.0.1","times":{"start":"@S.345@O","requestBegin":"@S.346@O",)"
        R"("requestComplete":"@S.347@O","responseBegin":"@S.348@O","end":"@E.345@O"},)"
        R"("durations":{"dns":13,"connect":0,"ssl":1500},"totalSize":1305,)"
        R"("ssl":{"protocol":"TLSv1.3","cipherSuite":"TLS_AES_128_GCM_SHA256"},"notes":"one\ntwo",)"
        R"("exception":"Recording Error: Failed to write data: x",)"
        R"("request":{"sizes":{"headers":100,"body":5}},"response":{"sizes":{"headers":200,"body":1000}}})";
    const std::tuple<const char*, const char*, const char*, const char*> zones[] = {
        {"UTC", "2025-03-04T10:11:12", "2025-03-05T00:11:12", "Z"},
        {"Asia/Kolkata", "2025-03-04T15:41:12", "2025-03-05T05:41:12", "+05:30"},
        {"America/St_Johns", "2025-03-04T06:41:12", "2025-03-04T20:41:12", "-03:30"},
    };
    for (const auto& [zone, start, end, offset] : zones) {
        test::TimeZoneGuard guard(zone);
        std::string expected = golden;
        for (auto [from, to] : {std::pair{"@S", start}, std::pair{"@E", end}, std::pair{"@O", offset}})
            for (auto at = expected.find(from); at != std::string::npos; at = expected.find(from))
                expected.replace(at, 2, to);
        EXPECT_EQ(recordingMetadata(*fullExchange()), expected) << zone;
    }
}

// The texts kept between an exchange's steps follow each time that changes, appears or goes,
// those taken from another time of the same second too, in zones with and without an offset.
TEST(RecordingMetadata, KeptTimeTextsFollowTheTimes) {
    const std::function<void(ProxyEvent&)> steps[] = {
        [](auto&) {},
        [](auto& e) { e.startTime = base + 5ms; },
        [](auto& e) { e.endTime.reset(); },
        [](auto& e) { e.endTime = base + 14h; },
        [](auto& e) { e.requestBeginTime = e.responseBeginTime; },
        [](auto& e) { e.requestCompleteTime = base - 345ms; },
        [](auto& e) { e.responseBeginTime = base + 654ms; },
        [](auto& e) { e.responseBeginTime = base + 655ms; },
        [](auto& e) { e.startTime = base + 14h + 9ms; },
        [](auto& e) { e.requestBeginTime = Date{} - 1001ms; },
        [](auto& e) { e.requestCompleteTime = Date{} - 1999ms; },
    };
    for (const char* zone : {"UTC", "Asia/Kolkata", "America/St_Johns"}) {
        test::TimeZoneGuard guard(zone);
        auto evt = fullExchange();
        RecordingTimeTexts times;
        for (const auto& step : steps) {
            step(*evt);
            EXPECT_EQ(recordingMetadata(*evt, &times), recordingMetadata(*evt)) << zone;
        }
    }
}

TEST(RecordingMetadata, EmptyExchangeKeepsTheAlwaysMembers) {
    EXPECT_EQ(recordingMetadata(*ProxyEvent::make(nullptr)),
              R"({"status":"BEFORE","tunnel":false,"keptAlive":false,"webSocket":false,"times":{},)"
              R"("durations":{},"totalSize":0,"request":{"sizes":{}},"response":{"sizes":{}}})");
}

TEST(RecordingMetadata, PresenceRulesRoundingAndEscapes) {
    struct Case {
        std::function<void(ProxyEvent&)> set;
        std::string expected;
        bool contained = true;
    };
    const Case cases[] = {
        {[](auto& e) { e.defaultPort = 443; }, R"("webSocket":false,"actualPort")", false},
        {[](auto& e) { e.defaultPort = 443; }, R"(,"actualPort":443,)"},
        {[](auto& e) { e.defaultPort = 443; }, R"("port")", false},
        {[](auto& e) { e.cipherSuite = "c"; }, R"("ssl")", false},
        {[](auto& e) { e.sslProtocol = "p"; }, R"("ssl":{"protocol":"p"},)"},
        {[](auto& e) { e.addToListAttribute(ProxyEvent::NotesAttribute, "a b"); }, R"("notes":"a b",)"},
        {[](auto& e) { e.exception = makeError<GenericError>("plain"); }, R"("exception":"plain",)"},
        {[](auto& e) { e.requestSize = 7; }, R"("request":{"sizes":{"body":7}})"},
        {[](auto& e) { e.responseHeaderSize = 9; }, R"("totalSize":9,)"},
        {[](auto& e) { e.dnsDuration = -0.0125, e.sslDuration = 2.0; },
         R"("durations":{"dns":-13,"ssl":2000})"},
        {[](auto& e) { e.connectDuration = 1e-9; }, R"("durations":{"connect":0})"},
        {[](auto& e) { e.connectDuration = std::nan(""); }, R"("durations":{"connect":null})"},
        {[](auto& e) { e.requestSize = INT64_MAX, e.responseSize = 2; },
         R"("totalSize":-9223372036854775807,)"},
        {[](auto& e) { e.host = "a\"b\\c/d\b\f\n\r\t\x01\x1F\x7F \u00E9\u2028 \xFF\xC3("; },
         "\"host\":\"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\\u0001\\u001f\x7F \u00E9\u2028 \uFFFD\uFFFD(\","},
    };
    for (const auto& c : cases) {
        auto evt = ProxyEvent::make(nullptr);
        c.set(*evt);
        auto text = recordingMetadata(*evt);
        EXPECT_EQ(text.find(c.expected) != std::string::npos, c.contained) << text << "\n" << c.expected;
    }
}

TEST(RecordingStore, DirectoryNamesAndCaps) {
    EXPECT_EQ(Store::directoryName(786000000.4, 0), "000000786000000-0000000000");
    EXPECT_EQ(Store::directoryName(786000000.6, 1), "000000786000001-0000000001");
    EXPECT_EQ(Store::directoryName(12, 9999999999), "000000000000012-9999999999");
    EXPECT_NEAR(Store::referenceTimestamp(Date{} + 978307200s + 500ms), 0.5, 1e-9);

    RecordingSettings settings;
    settings.requestBodyMaxSize = 5;
    settings.responseBodyMaxSize = -3;
    const std::tuple<bool, bool, bool, std::int64_t> caps[] = {
        {true, true, true, 10240}, {true, true, false, 10240}, {false, true, true, 5},
        {false, true, false, 0},   {true, false, true, 5},     {true, false, false, 0},
    };
    for (auto [partial, tunnel, request, cap] : caps) {
        settings.recordPartialOpaqueBody = partial;
        EXPECT_EQ(Store::bodyCap(settings, tunnel, request), cap) << partial << tunnel << request;
    }
}

TEST(RecordingStore, BodyFileStopsExactlyAtTheCapAndAfterAFailure) {
    test::TempDir dir;
    auto file = dir.path() / "request.dat";
    auto size = [&] { return std::filesystem::file_size(file); };
    BodyFile body(file);
    body.append(Data(6000, 'a'), 10240);
    body.append(Data(6000, 'a'), 10240);
    EXPECT_EQ(size(), 10240u);
    struct stat info {};
    ::stat(file.c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    body.append(Data(5, 'b'), 10240);
    EXPECT_EQ(size(), 10240u);
    body.close();
    std::filesystem::resize_file(file, 9000);
    BodyFile reopened(file);
    reopened.append(Data(4000, 'c'), 10240);
    EXPECT_EQ(size(), 10240u);
    BodyFile(dir.path() / "empty.dat").append(Data(10, 'd'), 0);
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "empty.dat"), 0u);
    BodyFile missing(dir.path() / "missing" / "x");
    EXPECT_THROW(missing.append(Data(1, 'e'), 10), Error);
    std::filesystem::create_directory(dir.path() / "missing");
    missing.append(Data(1, 'e'), 10);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing" / "x")) << "no file with a gap";
}

// Thousands of exchanges recorded at once must not take a descriptor each: past the limit of
// files kept open, each append opens and closes its file, and every file still gets all its
// pieces in order.
TEST(RecordingStore, BodyFilesKeptOpenStayWithinTheLimit) {
    test::TempDir dir;
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    auto before = openDescriptors();
    std::vector<std::unique_ptr<BodyFile>> files;
    const int count = BodyFile::keptOpenLimit + 40;
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < count; ++i) {
            if (round == 0)
                files.push_back(std::make_unique<BodyFile>(dir.path() / std::to_string(i)));
            files[i]->append(std::string(1, static_cast<char>('a' + round)), 10);
            if (round == 0 && i == BodyFile::keptOpenLimit - 1) {
                EXPECT_EQ(BodyFile::keptOpen(), BodyFile::keptOpenLimit) << "the largest number kept";
            }
        }
    EXPECT_EQ(BodyFile::keptOpen(), BodyFile::keptOpenLimit) << "one past it is not kept";
    EXPECT_LE(openDescriptors() - before, BodyFile::keptOpenLimit);
    for (int i = 0; i < count; i += 37)
        EXPECT_EQ(test::slurp(dir.path() / std::to_string(i)), "abc") << i;
    files[0]->append("d", 4); // full: closed, its place free for the next file opened
    EXPECT_EQ(BodyFile::keptOpen(), BodyFile::keptOpenLimit - 1);
    files.clear();
    EXPECT_EQ(BodyFile::keptOpen(), 0);
}

// Buffers come back empty with the room they had, small texts never in a piece's buffer, and
// what is kept stays bounded, down to a little once trimmed.
TEST(RecordingBuffers, ReuseRoomWithinBounds) {
    RecordingBuffers buffers;
    auto piece = buffers.take(65536);
    piece.assign(65536, 'p');
    auto head = buffers.take(300);
    head.assign(300, 'h');
    auto* pieceRoom = piece.data();
    buffers.give(std::move(piece));
    buffers.give(std::move(head));
    auto again = buffers.take(500);
    EXPECT_TRUE(again.empty());
    EXPECT_LT(again.capacity(), 65536u) << "a small text in a piece's buffer";
    auto nextPiece = buffers.take(20000);
    EXPECT_EQ(nextPiece.data(), pieceRoom);
    EXPECT_TRUE(nextPiece.empty());

    buffers.give(std::move(nextPiece));
    buffers.give(std::move(again));

    // Of many pieces given back at once, at most 8 MiB are kept, and a little once trimmed.
    std::vector<std::string> pieces;
    for (int i = 0; i < 200; ++i)
        pieces.push_back(std::string(100000, 'p'));
    for (auto& buffer : pieces)
        buffers.give(std::move(buffer));
    EXPECT_GT(buffers.keptBytes(), std::size_t(7) << 20);
    EXPECT_LE(buffers.keptBytes(), (std::size_t(8) << 20) + (std::size_t(1) << 20));
    buffers.trim();
    EXPECT_LE(buffers.keptBytes(), std::size_t(128) << 10);
}

TEST(RecordingStore, RemovesOnlyDirectChildrenOfTheRoot) {
    test::TempDir dir;
    auto root = dir.path() / "Recording";
    std::filesystem::create_directories(root / "child" / "inner");
    std::filesystem::create_directories(dir.path() / "outside");
    for (auto refused : {root / "child" / "inner", root / ".." / "outside", root, root / ".", root / ".."})
        EXPECT_TRUE(Store::removeExchangeDirectory(root, refused)) << refused;
    EXPECT_TRUE(std::filesystem::exists(root / "child" / "inner"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "outside"));
    EXPECT_FALSE(Store::removeExchangeDirectory(root, root / "child"));
    EXPECT_FALSE(std::filesystem::exists(root / "child"));
}

} // namespace
} // namespace pemtrox
