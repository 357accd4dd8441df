#include <cmath>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <unistd.h>

#include <gtest/gtest.h>

#include "proxy/recording/BufferedWriter.h"
#include "proxy/recording/FileHandleWriter.h"
#include "proxy/recording/JSONPrintWriter.h"
#include "proxy/recording/JSONString.h"
#include "proxy/recording/StringWriter.h"
#include "proxy/recording/WriterError.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TimeZoneGuard.h"

namespace pemtrox {
namespace {

/// Keeps each write as one piece; fails every write while `failing` is set.
struct PieceWriter : Writer {
    std::vector<std::string> pieces;
    bool failing = false;
    int flushes = 0, closes = 0;
    void close() override { ++closes; }
    void flush() override { ++flushes; }
    void write(std::string_view text) override {
        if (failing)
            WriterError::stringCouldNotBeRepresentedUsingStringEncoding().raise();
        pieces.emplace_back(text);
    }
};

std::string json(const std::function<void(JSONPrintWriter&)>& build) {
    auto sink = std::make_shared<StringWriter>();
    JSONPrintWriter writer(std::make_shared<PrintWriter>(sink));
    build(writer);
    return sink->string;
}

TEST(JSONPrintWriter, WritesCompactTokens) {
    struct Case {
        std::function<void(JSONPrintWriter&)> build;
        std::string expected;
    };
    const Case cases[] = {
        {[](auto& w) {
             w.object().key("a").value(1).key("b").array().value(true).null().endArray().endObject();
         },
         R"({"a":1,"b":[true,null]})"},
        {[](auto& w) { w.value(1).value("x").array().endArray().object().endObject(); }, R"(1"x"[]{})"},
        {[](auto& w) { w.array().value(1.5).value(0.1f).value(std::nan("")).value(-INFINITY).endArray(); },
         "[1.5,0.1,null,null]"},
        {[](auto& w) {
             w.value(std::optional<std::string>()).value(std::optional<std::int64_t>()).value("");
         },
         "nullnull\"\""},
        {[](auto& w) { w.value(Date{} + std::chrono::milliseconds(1500)); }, "\"1970-01-01T00:00:01.500Z\""},
        {[](auto& w) { w.value("</a> /b a/ /"); }, R"("<\/a> /b a/ /")"},
        {[](auto& w) { w.value("\t\n\r\"\\\f\x01\x7F\u00E9\u0085\u2028\u20FF\u2100\U0001F600"); },
         "\"\\t\\n\\r\\\"\\\\\\u000C\\u0001\x7F\u00E9\\u0085\\u2028\\u20FF\u2100\U0001F600\""},
        {[](auto& w) {
             w.value("a\xFF"
                     "b\xC3");
         },
         "\"a\uFFFDb\uFFFD\""},
    };
    test::TimeZoneGuard utc("UTC");
    for (const auto& c : cases)
        EXPECT_EQ(json(c.build), c.expected);
}

// One escaper, two forms: the recording's files keep the serialiser's form, the streaming
// writer its script-safe one; they agree on everything else.
TEST(JSONString, TheTwoFormsDifferOnlyInSlashesControlsAndScriptUnsafeRanges) {
    struct Case {
        std::string text, serialiser, scriptSafe;
    };
    const Case cases[] = {
        {"a/b", R"("a\/b")", R"("a/b")"},
        {"</b>", R"("<\/b>")", R"("<\/b>")"},
        {"\b\f", R"("\b\f")", R"("\u0008\u000C")"},
        {"\x01\x1F", R"("\u0001\u001f")", R"("\u0001\u001F")"},
        {"\u0085\u2028\u20FF", "\"\u0085\u2028\u20FF\"", R"("\u0085\u2028\u20FF")"},
        {"\"\\\n\r\t", R"("\"\\\n\r\t")", R"("\"\\\n\r\t")"},
        {"\x7F\u00E9\u2100\U0001F600", "\"\x7F\u00E9\u2100\U0001F600\"", "\"\x7F\u00E9\u2100\U0001F600\""},
        {"a\xFF\xC3(", "\"a\uFFFD\uFFFD(\"", "\"a\uFFFD\uFFFD(\""},
        {"", R"("")", R"("")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quotedJSONString(c.text, JSONStringForm::serialiser), c.serialiser) << c.text;
        EXPECT_EQ(quotedJSONString(c.text, JSONStringForm::scriptSafe), c.scriptSafe) << c.text;
    }
}

TEST(JSONPrintWriter, KeepsGoingAfterSinkFailureAndClosesThrough) {
    auto sink = std::make_shared<PieceWriter>();
    auto print = std::make_shared<PrintWriter>(sink);
    JSONPrintWriter writer(print);
    sink->failing = true;
    writer.array().value(1);
    EXPECT_TRUE(print->error());
    sink->failing = false;
    writer.value(2).endArray();
    writer.flush();
    writer.close();
    EXPECT_EQ(sink->pieces, (std::vector<std::string>{",", "2", "]"}));
    EXPECT_EQ(sink->flushes, 1);
    EXPECT_EQ(sink->closes, 1);
}

TEST(JSONPrintWriterDeathTest, MisuseIsFatal) {
    const std::pair<std::function<void(JSONPrintWriter&)>, const char*> cases[] = {
        {[](auto& w) { w.key("a"); }, "Can only use 'key' in an object"},
        {[](auto& w) { w.array().key("a"); }, "Can only use 'key' in an object"},
        {[](auto& w) { w.object().key("a").key("b"); }, "Attempted to add a 'key' in an inappropriate state"},
        {[](auto& w) { w.object().value(1); }, "Values in an object must be proceeded by a key"},
        {[](auto& w) { w.object().key("a").value(1).value(2); },
         "Values in an object must be proceeded by a key"},
        {[](auto& w) { w.array().endObject(); }, "Tried to close object but object not open"},
        {[](auto& w) { w.endArray(); }, "Tried to close array but array not open"},
        {[](auto& w) { w.object().close(); }, "Attempt to close JSONPrintWriter with unclosed elements"},
    };
    for (const auto& [build, message] : cases)
        EXPECT_DEATH(json(build), message);
}

TEST(BufferedWriter, PassesFullBuffersAndLongTextsOn) {
    auto sink = std::make_shared<PieceWriter>();
    BufferedWriter buffered(sink, 4);
    buffered.write("ab");
    buffered.write("cd");
    EXPECT_TRUE(sink->pieces.empty());
    buffered.write("efghij");
    EXPECT_EQ(sink->pieces, (std::vector<std::string>{"abcd", "efghij"}));
    EXPECT_EQ(buffered.buffered(), "");
    buffered.write("\u00E9\u00E9\u00E9"); // three scalars, six bytes: fits
    buffered.write("xy");                 // passes the buffer on, even when the parent fails
    EXPECT_EQ(buffered.buffered(), "xy");
    sink->failing = true;
    EXPECT_THROW(buffered.flush(), WriterError);
    EXPECT_EQ(buffered.buffered(), "xy");
    sink->failing = false;
    buffered.close();
    EXPECT_EQ(sink->pieces.back(), "xy");
    EXPECT_EQ(sink->flushes, 1);
    EXPECT_EQ(sink->closes, 1);
}

TEST(PrintWriter, KeepsTheLastErrorAndSkipsTheLineFeedAfterAFailure) {
    auto sink = std::make_shared<PieceWriter>();
    PrintWriter print(sink);
    struct Described {
        std::string description() const { return "d"; }
    };
    print.print('c');
    print.println(Described{});
    print.println();
    sink->failing = true;
    print.println("lost");
    EXPECT_TRUE(print.error());
    sink->failing = false;
    print.print("ok");
    EXPECT_EQ(sink->pieces, (std::vector<std::string>{"c", "d", "\n", "\n", "ok"}));
    EXPECT_THROW(
        {
            sink->failing = true;
            print.write("x");
        },
        WriterError);
}

TEST(FileHandleWriter, EncodesOrRefuses) {
    test::TempDir dir;
    auto file = dir.path() / "out.txt";
    const std::tuple<StringEncoding, std::string, bool> cases[] = {
        {StringEncoding::utf8, "\u00E9\uFFFD", true}, {StringEncoding::utf8, "a\xFF", false},
        {StringEncoding::ascii, "abc", true},         {StringEncoding::ascii, "\u00E9", false},
        {StringEncoding::isoLatin1, "\u00E9", true},  {StringEncoding::isoLatin1, "\u0100", false},
    };
    for (const auto& [encoding, text, ok] : cases) {
        FileHandleWriter writer(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600),
                                encoding);
        if (ok) {
            writer.write(text);
        } else {
            EXPECT_THROW(writer.write(text), WriterError) << text;
        }
        writer.close();
        auto written = test::runCommand("cat " + file.string());
        EXPECT_EQ(written, !ok ? "" : encoding == StringEncoding::isoLatin1 ? "\xE9" : text);
    }
    FileHandleWriter closed(-1, StringEncoding::utf8);
    EXPECT_THROW(closed.write("x"), Error);
}

} // namespace
} // namespace pemtrox
