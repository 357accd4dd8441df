#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "proxy/engine/FieldsError.h"
#include "proxy/engine/HttpFields.h"

namespace pemtrox {
namespace {

using K = FieldsError::Kind;

struct Outcome {
    bool complete = false;
    std::optional<K> error;
};

// Feeds the text line by line, each line with its CRLF, as the head reader does.
Outcome feed(HttpFields& head, const std::string& text) {
    std::size_t start = 0;
    try {
        while (start < text.size()) {
            auto end = text.find("\r\n", start);
            end = end == std::string::npos ? text.size() : end + 2;
            if (head.addLine(std::string_view(text).substr(start, end - start)))
                return {true, std::nullopt};
            start = end;
        }
    } catch (const FieldsError& error) {
        return {false, error.kind()};
    }
    return {false, std::nullopt};
}

struct HeadCase {
    const char* why;
    std::string input;
    bool complete;
    std::optional<K> error;
    std::optional<std::string> firstLine;
    std::vector<Field> fields;
    std::int64_t rawSize = -1; // -1: not checked
};

std::string repeat(char c, std::size_t n) {
    return std::string(n, c);
}

std::string manyFields(std::size_t n) {
    std::string text = "GET / HTTP/1.1\r\n";
    for (std::size_t i = 0; i < n; ++i)
        text += "X-" + std::to_string(i) + ": v\r\n";
    return text + "\r\n";
}

TEST(FieldsTest, HeadCases) {
    std::vector<HeadCase> cases = {
        {"simple request",
         "GET / HTTP/1.1\r\nHost: a\r\n\r\n",
         true,
         {},
         "GET / HTTP/1.1",
         {{"Host", "a"}},
         16 + 9 + 2},
        {"blank lines before the first line are skipped and not counted",
         "\r\n\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n",
         true,
         {},
         "GET / HTTP/1.1",
         {{"Host", "a"}},
         27},
        {"a head without fields ends at its blank line",
         "GET / HTTP/1.1\r\n\r\n",
         true,
         {},
         "GET / HTTP/1.1",
         {},
         18},
        {"duplicates stay, case kept",
         "HTTP/1.1 200 OK\r\nSet-Cookie: a\r\nset-cookie: b\r\n\r\n",
         true,
         {},
         "HTTP/1.1 200 OK",
         {{"Set-Cookie", "a"}, {"set-cookie", "b"}},
         -1},
        {"continuation keeps its blanks, then the value is trimmed",
         "GET / HTTP/1.1\r\nX-A:  b \r\n  c\r\n\r\n",
         true,
         {},
         {},
         {{"X-A", "b   c"}},
         16 + 10 + 5 + 2},
        {"a colon-less line joins the open value with one blank",
         "GET / HTTP/1.1\r\nA: b\r\nmore text\r\n\r\n",
         true,
         {},
         {},
         {{"A", "b more text"}},
         -1},
        {"colon-less first field line",
         "GET / HTTP/1.1\r\nno colon\r\n\r\n",
         false,
         K::brokenHeaderLine,
         {},
         {},
         -1},
        {"continuation with nothing open",
         "GET / HTTP/1.1\r\n  x\r\n\r\n",
         false,
         K::unexpectedFieldContinuation,
         {},
         {},
         -1},
        {"a tab does not continue",
         "GET / HTTP/1.1\r\nA: b\r\n\tc: d\r\n\r\n",
         true,
         {},
         {},
         {{"A", "b"}, {"c", "d"}},
         -1},
        {"empty name and empty value",
         "GET / HTTP/1.1\r\n: \r\nB:\r\n\r\n",
         true,
         {},
         {},
         {{"", ""}, {"B", ""}},
         -1},
        {"value keeps inner colons",
         "GET / HTTP/1.1\r\nHost: a:80\r\n\r\n",
         true,
         {},
         {},
         {{"Host", "a:80"}},
         -1},
        {"non-ASCII UTF-8 passes",
         "GET / HTTP/1.1\r\nX: caf\xc3\xa9\r\n\r\n",
         true,
         {},
         {},
         {{"X", "caf\xc3\xa9"}},
         -1},
        {"Unicode spaces are trimmed",
         "GET / HTTP/1.1\r\nX:\xc2\xa0v\xe3\x80\x80\r\n\r\n",
         true,
         {},
         {},
         {{"X", "v"}},
         -1},
        {"invalid UTF-8 in a field",
         "GET / HTTP/1.1\r\nX: \xff\r\n\r\n",
         false,
         K::unsupportedCharacterEncoding,
         {},
         {},
         -1},
        {"invalid UTF-8 in the first line",
         "GET /\xc0\xaf HTTP/1.1\r\n\r\n",
         false,
         K::unsupportedCharacterEncoding,
         {},
         {},
         -1},
        {"bare LF inside a field line",
         "GET / HTTP/1.1\r\nX: a\nY: b\r\n\r\n",
         false,
         K::invalidCharacter,
         {},
         {},
         -1},
        {"bare LF before the CRLF",
         "GET / HTTP/1.1\r\nX: a\n\r\n\r\n",
         false,
         K::invalidCharacter,
         {},
         {},
         -1},
        {"bare CR inside a field line",
         "GET / HTTP/1.1\r\nX: a\rY: b\r\n\r\n",
         false,
         K::invalidCharacter,
         {},
         {},
         -1},
        {"NUL inside a field line",
         std::string("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 26),
         false,
         K::invalidCharacter,
         {},
         {},
         -1},
        {"bare LF in the first line",
         "GET / HTTP/1.1\nHost: a\r\n\r\n",
         false,
         K::invalidCharacter,
         {},
         {},
         -1},
        {"bare CR in a continuation",
         "GET / HTTP/1.1\r\nA: b\r\n c\rd\r\n\r\n",
         false,
         K::invalidCharacter,
         {},
         {},
         -1},
        {"line at the length limit",
         "GET / HTTP/1.1\r\nX: " + repeat('a', Fields::maxLineLength - 3) + "\r\n\r\n",
         true,
         {},
         {},
         {{"X", repeat('a', Fields::maxLineLength - 3)}},
         -1},
        {"line over the length limit",
         "GET / HTTP/1.1\r\nX: " + repeat('a', Fields::maxLineLength - 2) + "\r\n\r\n",
         false,
         K::lineTooLong,
         {},
         {},
         -1},
        {"first line over the length limit",
         "GET /" + repeat('a', Fields::maxLineLength) + " HTTP/1.1\r\n\r\n",
         false,
         K::lineTooLong,
         {},
         {},
         -1},
        {"fields at the count limit", manyFields(Fields::maxFieldCount), true, {}, {}, {}, -1},
        {"fields over the count limit",
         manyFields(Fields::maxFieldCount + 1),
         false,
         K::tooManyFields,
         {},
         {},
         -1},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        HttpFields head;
        auto outcome = feed(head, c.input);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.complete, c.complete);
        if (c.error)
            continue;
        if (c.firstLine) {
            EXPECT_EQ(head.firstLine(), c.firstLine);
        }
        if (!c.fields.empty()) {
            EXPECT_EQ(head.fields, c.fields);
        }
        if (c.rawSize >= 0) {
            EXPECT_EQ(head.rawSize, c.rawSize);
        }
        EXPECT_TRUE(head.receiveTime.has_value());
    }
}

TEST(FieldsTest, HeadSizeLimitCountsEveryLine) {
    // 8 KiB lines stay under the line limit; the ninth crosses 64 KiB of head.
    std::string text = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 9; ++i)
        text += "X" + std::to_string(i) + ": " + repeat('v', 8 * 1024) + "\r\n";
    text += "\r\n";
    HttpFields head;
    auto outcome = feed(head, text);
    EXPECT_EQ(outcome.error, K::headerTooLarge);
    EXPECT_LE(head.rawSize - 8 * 1024 - 8, Fields::maxHeadSize);
    EXPECT_EQ(FieldsError::headerTooLarge(Fields::maxHeadSize).description(),
              "Header larger than 65536 bytes");
    EXPECT_EQ(FieldsError::lineTooLong(Fields::maxLineLength).errorTitle(), "Headers Error");
}

TEST(FieldsTest, IntValue) {
    struct Case {
        std::string value;
        std::optional<std::int64_t> expected;
    };
    std::vector<Case> cases = {{"42 ", 42},
                               {"4 2", {}},
                               {"", {}},
                               {"0x10", {}},
                               {"+7", 7},
                               {"-3", -3},
                               {"+-3", {}},
                               {"99999999999999999999", {}},
                               {"9223372036854775807", INT64_MAX}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.value);
        Fields fields;
        fields.fields = {{"Content-Length", c.value}, {"content-length", "5"}};
        EXPECT_EQ(fields.intValue("content-length"), c.expected);
    }
    Fields none;
    EXPECT_FALSE(none.intValue("Content-Length"));
    EXPECT_EQ(none.indexOfField("x"), std::nullopt);
}

TEST(FieldsTest, IndexOfFieldIgnoresCaseOfWholeName) {
    Fields fields;
    fields.fields = {{"Host", "a"}, {"HOST", "b"}, {"Content-Type", "c"}};
    EXPECT_EQ(fields.indexOfField("host"), 0u);
    EXPECT_EQ(fields.indexOfField("CONTENT-type"), 2u);
    EXPECT_EQ(fields.indexOfField("Content"), std::nullopt);
    EXPECT_EQ(fields.indexOfField("Hos["), std::nullopt); // '[' and '{' differ by the case bit
}

TEST(FieldsTest, HeaderTextAndCopies) {
    HttpFields head;
    feed(head, "HTTP/1.0 404 Not Found\r\nA: 1\r\nB: 2\r\n\r\n");
    EXPECT_EQ(head.headerText(), "HTTP/1.0 404 Not Found\r\nA: 1\r\nB: 2\r\n\r\n");
    EXPECT_EQ(head.description(), head.headerText());

    auto copy = head.copy();
    auto* httpCopy = dynamic_cast<HttpFields*>(copy.get());
    ASSERT_TRUE(httpCopy);
    EXPECT_EQ(httpCopy->firstLine(), head.firstLine());
    EXPECT_EQ(httpCopy->fields, head.fields);
    EXPECT_EQ(httpCopy->rawSize, 0);
    EXPECT_FALSE(httpCopy->receiveTime);

    HttpFields fromPlain(static_cast<const Fields&>(Fields(head)));
    EXPECT_FALSE(fromPlain.firstLine());
    EXPECT_EQ(fromPlain.headerText(), ""); // no first line: nothing, fields included

    Fields empty;
    EXPECT_EQ(empty.headerText(), "\r\n");
}

TEST(FieldsTest, FromString) {
    auto fields = Fields::fromString("A: 1\r\nB: 2\r\n\r\nC: 3");
    EXPECT_EQ(fields->fields, (std::vector<Field>{{"A", "1"}, {"B", "2"}}));
    EXPECT_THROW(Fields::fromString("A: caf\xc3\xa9\r\n\r\n"), FieldsError);
}

TEST(FirstLineTest, RequestLines) {
    struct Case {
        std::string line;
        std::optional<RequestFirstLine> expected;
    };
    std::vector<Case> cases = {
        {"GET / HTTP/1.1", RequestFirstLine{"GET", "/", "HTTP/1.1"}},
        {"M-1!#$%&'*+.^_`|~ h:443 HTTP/1.0", RequestFirstLine{"M-1!#$%&'*+.^_`|~", "h:443", "HTTP/1.0"}},
        {"GET /\xc3\xa9 HTTP/1.1", RequestFirstLine{"GET", "/\xc3\xa9", "HTTP/1.1"}},
        {"GET  HTTP/1.1", std::nullopt},
        {"GET HTTP/1.1", std::nullopt},
        {"CONNECT h:443 HTTP/1.1 extra", std::nullopt},
        {"G\x01T / HTTP/1.1", std::nullopt},
        {"G:T / HTTP/1.1", std::nullopt},
        {"GET /\x7f HTTP/1.1", std::nullopt},
        {"GET / HTTP/1.2", std::nullopt},
        {"GET / HTTP/1.1\t", std::nullopt},
        {"GET", std::nullopt},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.line);
        HttpFields head;
        head.replaceFirstLine(c.line);
        if (!c.expected) {
            try {
                head.parsedRequest();
                ADD_FAILURE() << "parsed";
            } catch (const FieldsError& e) {
                EXPECT_EQ(e.kind(), K::invalidFirstLine);
                EXPECT_EQ(e.description(), "Invalid first line: " + c.line);
            }
            continue;
        }
        auto& parsed = head.parsedRequest();
        EXPECT_EQ(parsed.method, c.expected->method);
        EXPECT_EQ(parsed.requestString, c.expected->requestString);
        EXPECT_EQ(parsed.protocolVersion, c.expected->protocolVersion);
    }
    HttpFields none;
    try {
        none.parsedRequest();
        ADD_FAILURE();
    } catch (const FieldsError& e) {
        EXPECT_EQ(e.description(), "No first line");
    }
    EXPECT_EQ((RequestFirstLine{"GET", "", "HTTP/1.1"}).description(), "GET HTTP/1.1");
    EXPECT_EQ((RequestFirstLine{"GET", "/", "HTTP/1.1"}).description(), "GET / HTTP/1.1");
}

TEST(FirstLineTest, StatusLines) {
    struct Case {
        std::string line;
        bool valid;
        std::int64_t status = 0;
        std::optional<std::string> reason;
    };
    std::vector<Case> cases = {
        {"HTTP/1.1 200", true, 200, {}},
        {"HTTP/1.1 200 OK", true, 200, "OK"},
        {"HTTP/1.1 404 Not  Found", true, 404, "Not  Found"},
        {"HTTP/1.1 200 ", true, 200, ""},
        {"HTTP/1.1 abc OK", false, 0, {}},
        {"HTTP 200 OK", false, 0, {}},
        {"HTTP/1.1", false, 0, {}},
        {"HTTP/1.1  200", false, 0, {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.line);
        HttpFields head;
        head.replaceFirstLine(c.line);
        if (!c.valid) {
            EXPECT_THROW(head.parsedResponse(), FieldsError);
            continue;
        }
        auto& parsed = head.parsedResponse();
        EXPECT_EQ(parsed.status, c.status);
        EXPECT_EQ(parsed.statusDescription, c.reason);
    }
}

TEST(FirstLineTest, Building) {
    HttpFields head;
    head.setResponseFirstLine(std::nullopt, 200, "OK");
    EXPECT_EQ(head.firstLine(), "HTTP/1.1 200 OK");
    head.replaceFirstLine("HTTP/1.0 404 Not Found");
    head.setResponseFirstLine(std::nullopt, 503, "Service Unavailable");
    EXPECT_EQ(head.firstLine(), "HTTP/1.0 503 Service Unavailable");
    EXPECT_EQ(head.parsedResponse().status, 503); // cache cleared by the change
    head.setResponseFirstLine(true, 403, "");
    EXPECT_EQ(head.firstLine(), "HTTP/1.1 403 ");

    HttpFields request;
    request.replaceFirstLine("GET http://h/x HTTP/1.0");
    request.setRequestFirstLine("GET", "http", "h", std::nullopt, "/x?q", std::nullopt, false);
    EXPECT_EQ(request.firstLine(), "GET /x?q HTTP/1.0");
    request.setRequestFirstLine("POST", "https", "h", 8443, "/y", "HTTP/1.1", true);
    EXPECT_EQ(request.firstLine(), "POST https://h:8443/y HTTP/1.1");
    HttpFields fresh;
    fresh.setRequestFirstLine("GET", std::nullopt, "", std::nullopt, "/", std::nullopt, false);
    EXPECT_EQ(fresh.firstLine(), "GET / HTTP/1.1");
}

} // namespace
} // namespace pemtrox
