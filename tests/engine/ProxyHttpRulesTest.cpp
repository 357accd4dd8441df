#include <gtest/gtest.h>

#include "proxy/engine/HttpFields.h"
#include "proxy/engine/ProxyHttp.h"
#include "proxy/engine/ProxyHttpError.h"

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

} // namespace
} // namespace pemtrox
