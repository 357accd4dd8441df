#include <gtest/gtest.h>

#include "proxy/engine/HttpFields.h"
#include "proxy/engine/ProxyHttp.h"
#include "proxy/engine/ProxyHttpError.h"
#include "proxy/engine/ProxyHttpResponsePlan.h"

namespace pemtrox {
namespace {

std::shared_ptr<HttpFields> head(std::vector<Field> fields) {
    auto h = std::make_shared<HttpFields>();
    h->replaceFirstLine("POST / HTTP/1.1");
    h->fields = std::move(fields);
    return h;
}

TEST(ProxyHttpRules, RequestFramingRefusesWhatItCannotFrame) {
    struct Case {
        std::vector<Field> fields;
        bool refused;
        bool chunked;
        std::optional<std::int64_t> length;
        bool lengthFieldKept;
    } cases[] = {
        {{}, false, false, std::nullopt, false},
        {{{"Content-Length", "12"}}, false, false, 12, true},
        {{{"content-length", " 0 "}}, false, false, 0, true},
        {{{"Transfer-Encoding", "chunked"}}, false, true, std::nullopt, false},
        {{{"Transfer-Encoding", "Chunked"}, {"Content-Length", "5"}}, false, true, std::nullopt, false},
        {{{"Content-Length", "5"}, {"Content-Length", "5"}}, false, false, 5, true},
        {{{"Transfer-Encoding", "gzip, chunked"}}, true, false, std::nullopt, false},
        {{{"Transfer-Encoding", "chunked"}, {"Transfer-Encoding", "chunked"}},
         true,
         false,
         std::nullopt,
         false},
        {{{"Transfer-Encoding", "identity"}}, true, false, std::nullopt, false},
        {{{"Content-Length", "5"}, {"Content-Length", "6"}}, true, false, std::nullopt, false},
        {{{"Content-Length", "-1"}}, true, false, std::nullopt, false},
        {{{"Content-Length", "+5"}}, true, false, std::nullopt, false},
        {{{"Content-Length", "abc"}}, true, false, std::nullopt, false},
        {{{"Content-Length", ""}}, true, false, std::nullopt, false},
    };
    int i = 0;
    for (auto& c : cases) {
        auto h = head(c.fields);
        SCOPED_TRACE(i++);
        if (c.refused) {
            EXPECT_THROW(ProxyHttp::requestFraming(*h), ProxyHttpError);
            continue;
        }
        auto framing = ProxyHttp::requestFraming(*h);
        EXPECT_EQ(framing.chunked, c.chunked);
        EXPECT_EQ(framing.length, c.length);
        EXPECT_EQ(h->indexOfField("Content-Length").has_value(), c.lengthFieldKept);
    }
}

TEST(ProxyHttpRules, VersionsAndBodies) {
    EXPECT_FLOAT_EQ(ProxyHttp::versionNumber("HTTP/1.1"), 1.1f);
    EXPECT_FLOAT_EQ(ProxyHttp::versionNumber("HTTP/1.0"), 1.0f);
    EXPECT_FLOAT_EQ(ProxyHttp::versionNumber("HTTP/2"), 2.0f);
    EXPECT_FLOAT_EQ(ProxyHttp::versionNumber("HTTP/x"), -1);
    EXPECT_FLOAT_EQ(ProxyHttp::versionNumber("ICY/1.0"), -1);
    EXPECT_FLOAT_EQ(ProxyHttp::versionNumber("HTTP/"), -1);
    struct Case {
        std::int64_t status;
        const char* method;
        bool body;
    } cases[] = {{200, "GET", true},  {200, "head", false}, {204, "GET", false}, {205, "GET", false},
                 {304, "GET", false}, {101, "GET", false},  {199, "GET", false}, {404, "POST", true}};
    for (auto& c : cases)
        EXPECT_EQ(ProxyHttp::responseHasBody(c.status, std::string(c.method)), c.body)
            << c.status << c.method;
}

// One row per decision: the heads in, the plan out, and the client's head as "name: value|...".
TEST(ProxyHttpRules, ResponsePlan) {
    using B = ProxyHttpResponsePlan::Body;
    using D = ProxyHttpResponsePlan::Decoding;
    struct Case {
        float req, resp;
        int status;
        const char* method;
        bool transparent, requestClose;
        std::vector<Field> fields;
        bool mustClose;
        B body;
        bool chunkedOut;
        D decoding;
        const char* clientFields;
    } cases[] = {
        {1.1f,
         1.1f,
         200,
         "GET",
         false,
         false,
         {{"Content-Length", "5"}},
         false,
         B::length,
         false,
         D::none,
         "Content-Length: 5|Proxy-Connection: Keep-alive"},
        {1.1f,
         1.1f,
         200,
         "GET",
         true,
         false,
         {{"Content-Length", "5"}, {"Connection", "keep-alive"}},
         false,
         B::length,
         false,
         D::none,
         "Content-Length: 5|Connection: Keep-alive"},
        {1.1f,
         1.1f,
         200,
         "GET",
         false,
         true,
         {{"Content-Length", "5"}},
         true,
         B::length,
         false,
         D::none,
         "Content-Length: 5|Proxy-Connection: Close"},
        {1.1f,
         1.1f,
         200,
         "GET",
         false,
         false,
         {{"Connection", "CLOSE"}, {"Content-Length", "5"}},
         true,
         B::length,
         false,
         D::none,
         "Content-Length: 5|Proxy-Connection: Close"},
        {1.0f,
         1.1f,
         200,
         "GET",
         false,
         false,
         {{"Connection", "keep-alive"}, {"Content-Length", "1"}},
         true,
         B::length,
         false,
         D::none,
         "Content-Length: 1|Proxy-Connection: Close"},
        {1.0f,
         1.1f,
         200,
         "GET",
         true,
         false,
         {{"Connection", "keep-alive"}, {"Content-Length", "1"}},
         false,
         B::length,
         false,
         D::none,
         "Content-Length: 1|Connection: Keep-alive"},
        {1.1f,
         1.0f,
         200,
         "GET",
         false,
         false,
         {{"Content-Length", "1"}},
         true,
         B::length,
         false,
         D::none,
         "Content-Length: 1|Proxy-Connection: Close"},
        {1.1f,
         1.0f,
         200,
         "GET",
         false,
         false,
         {{"Connection", "Keep-Alive"}, {"Content-Length", "1"}},
         false,
         B::length,
         false,
         D::none,
         "Content-Length: 1|Proxy-Connection: Keep-alive"},
        {1.1f,
         1.1f,
         200,
         "GET",
         false,
         false,
         {{"Server", "s"}},
         true,
         B::untilClose,
         false,
         D::none,
         "Server: s|Proxy-Connection: Close"},
        {1.1f,
         1.1f,
         200,
         "GET",
         false,
         false,
         {{"Transfer-Encoding", "chunked"}, {"Content-Length", "3"}},
         false,
         B::chunked,
         true,
         D::none,
         "Transfer-Encoding: Chunked|Proxy-Connection: Keep-alive"},
        {1.0f,
         1.1f,
         200,
         "GET",
         true,
         false,
         {{"Transfer-Encoding", "chunked"}},
         true,
         B::chunked,
         false,
         D::none,
         "Connection: Close"},
        {1.1f,
         1.1f,
         200,
         "GET",
         false,
         false,
         {{"Transfer-Encoding", "gzip"}, {"Content-Length", "3"}},
         true,
         B::untilClose,
         false,
         D::none,
         "Transfer-Encoding: gzip|Proxy-Connection: Close"},
        {1.1f,
         1.1f,
         200,
         "HEAD",
         false,
         false,
         {{"Transfer-Encoding", "chunked"}},
         false,
         B::none,
         false,
         D::none,
         "Transfer-Encoding: Chunked|Proxy-Connection: Keep-alive"},
        {1.1f,
         1.1f,
         304,
         "GET",
         false,
         false,
         {{"Content-Length", "10"}},
         false,
         B::none,
         false,
         D::none,
         "Content-Length: 10|Proxy-Connection: Keep-alive"},
        {1.1f,
         1.1f,
         204,
         "GET",
         false,
         false,
         {},
         false,
         B::none,
         false,
         D::none,
         "Proxy-Connection: Keep-alive"},
        {1.0f,
         1.1f,
         200,
         "GET",
         false,
         false,
         {{"Content-Encoding", "gzip"}, {"Content-Length", "9"}},
         true,
         B::length,
         false,
         D::gzip,
         "Proxy-Connection: Close"},
        {1.0f,
         1.1f,
         200,
         "GET",
         false,
         false,
         {{"Content-Encoding", "x-compress"}},
         true,
         B::untilClose,
         false,
         D::compress,
         "Proxy-Connection: Close"},
        {1.0f,
         1.1f,
         200,
         "GET",
         false,
         false,
         {{"Content-Encoding", "br"}, {"Content-Length", "9"}},
         true,
         B::length,
         false,
         D::none,
         "Content-Encoding: br|Content-Length: 9|Proxy-Connection: Close"},
        {1.1f,
         1.1f,
         200,
         "GET",
         false,
         false,
         {{"Content-Encoding", "gzip"}, {"Content-Length", "9"}},
         false,
         B::length,
         false,
         D::none,
         "Content-Encoding: gzip|Content-Length: 9|Proxy-Connection: Keep-alive"},
    };
    int row = 0;
    for (auto& c : cases) {
        SCOPED_TRACE(row++);
        HttpFields response;
        response.replaceFirstLine("HTTP/1.1 200 OK");
        response.fields = c.fields;
        auto plan = ProxyHttpResponsePlan::make(
            {c.req, c.resp, c.status, std::string(c.method), c.transparent, c.requestClose, false}, response);
        EXPECT_EQ(plan.mustClose, c.mustClose);
        EXPECT_EQ(plan.body, c.body);
        EXPECT_EQ(plan.chunkedOutput, c.chunkedOut);
        EXPECT_EQ(plan.decoding, c.decoding);
        std::string fields;
        auto head = plan.clientHead(response);
        for (auto& f : head->fields)
            fields += (fields.empty() ? "" : "|") + f.name + ": " + f.value;
        EXPECT_EQ(fields, c.clientFields);
    }
}

} // namespace
} // namespace pemtrox
