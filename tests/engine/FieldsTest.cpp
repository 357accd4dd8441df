#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
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

std::string repeat(char c, std::size_t n) {
    return std::string(n, c);
}

std::string manyFields(std::size_t n) {
    std::string text = "GET / HTTP/1.1\r\n";
    for (std::size_t i = 0; i < n; ++i)
        text += "X-" + std::to_string(i) + ": v\r\n";
    return text + "\r\n";
}

const char* kindName(K kind) {
    const char* names[] = {"invalidFirstLine", "unexpectedFieldContinuation",
                           "brokenHeaderLine", "unsupportedCharacterEncoding",
                           "noFirstLine",      "lineTooLong",
                           "headerTooLarge",   "tooManyFields",
                           "invalidCharacter"};
    return names[static_cast<int>(kind)];
}

// Each row: why, the head, and the outcome: the error's kind, or "rawSize fields" of a
// complete head ("-" leaves the size unchecked, "*" the fields; fields as "Name: value|...").
TEST(FieldsTest, HeadCases) {
    struct Case {
        const char* why;
        std::string input;
        std::string expected;
    } cases[] = {
        {"simple request", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", "27 Host: a"},
        {"blank lines before the first line are skipped", "\r\n\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n",
         "27 Host: a"},
        {"a head without fields ends at its blank line", "GET / HTTP/1.1\r\n\r\n", "18 "},
        {"duplicates stay, case kept", "HTTP/1.1 200 OK\r\nSet-Cookie: a\r\nset-cookie: b\r\n\r\n",
         "- Set-Cookie: a|set-cookie: b"},
        {"continuation keeps its blanks, then trimmed", "GET / HTTP/1.1\r\nX-A:  b \r\n  c\r\n\r\n",
         "33 X-A: b   c"},
        {"a colon-less line joins the open value", "GET / HTTP/1.1\r\nA: b\r\nmore text\r\n\r\n",
         "- A: b more text"},
        {"colon-less first field line", "GET / HTTP/1.1\r\nno colon\r\n\r\n", "brokenHeaderLine"},
        {"continuation with nothing open", "GET / HTTP/1.1\r\n  x\r\n\r\n", "unexpectedFieldContinuation"},
        {"a tab does not continue", "GET / HTTP/1.1\r\nA: b\r\n\tc: d\r\n\r\n", "- A: b|c: d"},
        {"empty name and empty value", "GET / HTTP/1.1\r\n: \r\nB:\r\n\r\n", "- : |B: "},
        {"value keeps inner colons", "GET / HTTP/1.1\r\nHost: a:80\r\n\r\n", "- Host: a:80"},
        {"non-ASCII UTF-8 passes", "GET / HTTP/1.1\r\nX: caf\xc3\xa9\r\n\r\n", "- X: caf\xc3\xa9"},
        {"Unicode spaces are trimmed", "GET / HTTP/1.1\r\nX:\xc2\xa0v\xe3\x80\x80\r\n\r\n", "- X: v"},
        {"invalid UTF-8 in a field", "GET / HTTP/1.1\r\nX: \xff\r\n\r\n", "unsupportedCharacterEncoding"},
        {"invalid UTF-8 in the first line", "GET /\xc0\xaf HTTP/1.1\r\n\r\n", "unsupportedCharacterEncoding"},
        {"bare LF inside a field line", "GET / HTTP/1.1\r\nX: a\nY: b\r\n\r\n", "invalidCharacter"},
        {"bare LF before the CRLF", "GET / HTTP/1.1\r\nX: a\n\r\n\r\n", "invalidCharacter"},
        {"bare CR inside a field line", "GET / HTTP/1.1\r\nX: a\rY: b\r\n\r\n", "invalidCharacter"},
        {"NUL inside a field line", std::string("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 26), "invalidCharacter"},
        {"bare LF in the first line", "GET / HTTP/1.1\nHost: a\r\n\r\n", "invalidCharacter"},
        {"bare CR in a continuation", "GET / HTTP/1.1\r\nA: b\r\n c\rd\r\n\r\n", "invalidCharacter"},
        {"line at the length limit",
         "GET / HTTP/1.1\r\nX: " + repeat('a', Fields::maxLineLength - 3) + "\r\n\r\n",
         "- X: " + repeat('a', Fields::maxLineLength - 3)},
        {"line over the length limit",
         "GET / HTTP/1.1\r\nX: " + repeat('a', Fields::maxLineLength - 2) + "\r\n\r\n", "lineTooLong"},
        {"first line over the length limit",
         "GET /" + repeat('a', Fields::maxLineLength) + " HTTP/1.1\r\n\r\n", "lineTooLong"},
        {"fields at the count limit", manyFields(Fields::maxFieldCount), "- *"},
        {"fields over the count limit", manyFields(Fields::maxFieldCount + 1), "tooManyFields"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.why);
        HttpFields head;
        auto outcome = feed(head, c.input);
        if (outcome.error) {
            EXPECT_EQ(kindName(*outcome.error), c.expected);
            continue;
        }
        ASSERT_TRUE(outcome.complete);
        auto blank = c.expected.find(' ');
        auto size = c.expected.substr(0, blank), fields = c.expected.substr(blank + 1);
        if (size != "-") {
            EXPECT_EQ(std::to_string(head.rawSize), size);
        }
        std::string got;
        for (auto& f : head.fields)
            got += (got.empty() ? "" : "|") + f.name + ": " + f.value;
        if (fields != "*") {
            EXPECT_EQ(got, fields);
        }
        auto first = c.input.substr(c.input.find_first_not_of("\r\n"));
        EXPECT_EQ(head.firstLine(), first.substr(0, first.find("\r\n")));
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

// Each row: a line and what it parses to, as a request ("method|target|version") or as a
// status line ("status|reason", "-" without a reason); "" where it is refused.
TEST(FirstLineTest, Parsing) {
    std::tuple<std::string, std::string, std::string> rows[] = {
        {"GET / HTTP/1.1", "GET|/|HTTP/1.1", ""},
        {"M-1!#$%&'*+.^_`|~ h:443 HTTP/1.0", "M-1!#$%&'*+.^_`|~|h:443|HTTP/1.0", ""},
        {"GET /\xc3\xa9 HTTP/1.1", "GET|/\xc3\xa9|HTTP/1.1", ""},
        {"GET  HTTP/1.1", "", ""},
        {"GET HTTP/1.1", "", ""},
        {"CONNECT h:443 HTTP/1.1 extra", "", ""},
        {"G\x01T / HTTP/1.1", "", ""},
        {"G:T / HTTP/1.1", "", ""},
        {"GET /\x7f HTTP/1.1", "", ""},
        {"GET / HTTP/1.2", "", ""},
        {"GET / HTTP/1.1\t", "", ""},
        {"GET / HTTP/1.1 ", "", ""},
        {"GET /  HTTP/1.1", "", ""},
        {"GET /a\tb HTTP/1.1", "", ""},
        {"G(T / HTTP/1.1", "", ""},
        {"GET / http/1.1", "", ""},
        {"GET / HTTP/1.1x", "", ""},
        {"GET", "", ""},
        {"HTTP/1.1 200", "", "200|-"},
        {"HTTP/1.1 200 OK", "", "200|OK"},
        {"HTTP/1.1 404 Not  Found", "", "404|Not  Found"},
        {"HTTP/1.1 200 ", "", "200|"},
        {"HTTP/1.1 abc OK", "", ""},
        {"HTTP 200 OK", "", ""},
        {"HTTP/1.1", "", ""},
        {"HTTP/1.1  200", "", ""},
    };
    for (auto& [line, request, status] : rows) {
        SCOPED_TRACE(line);
        HttpFields head;
        head.replaceFirstLine(line);
        std::string got;
        try {
            auto& r = head.parsedRequest();
            got = r.method + "|" + r.requestString + "|" + r.protocolVersion;
        } catch (const FieldsError& e) {
            EXPECT_EQ(e.description(), "Invalid first line: " + line);
        }
        EXPECT_EQ(got, request);
        got.clear();
        try {
            auto& r = head.parsedResponse();
            got = std::to_string(r.status) + "|" + r.statusDescription.value_or("-");
        } catch (const FieldsError& e) {
            EXPECT_EQ(e.kind(), K::invalidFirstLine);
        }
        EXPECT_EQ(got, status);
    }
    HttpFields none;
    EXPECT_THROW(none.parsedRequest(), FieldsError);
    EXPECT_EQ((RequestFirstLine{"GET", "", "HTTP/1.1"}).description(), "GET HTTP/1.1");
    EXPECT_EQ((RequestFirstLine{"GET", "/", "HTTP/1.1"}).description(), "GET / HTTP/1.1");
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
