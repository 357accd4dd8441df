// The forwarding's decisions, taken from the heads alone. Rows are one-line scripts:
// fields as "Name: value|Name: value", fields after the decision likewise.
#include <gtest/gtest.h>

#include <sstream>

#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpFraming.h"
#include "proxy/engine/ProxyHttpError.h"
#include "proxy/engine/ProxyHttpResponsePlan.h"

namespace pemtrox {
namespace {

std::vector<std::string> split(std::string_view text, std::string_view separator) {
    std::vector<std::string> parts;
    while (!text.empty()) {
        auto at = text.find(separator);
        parts.emplace_back(text.substr(0, at));
        text = at == std::string_view::npos ? "" : text.substr(at + separator.size());
    }
    return parts;
}

std::shared_ptr<HttpFields> head(const std::string& first, const std::string& fields) {
    auto h = std::make_shared<HttpFields>();
    h->replaceFirstLine(first);
    for (auto& field : split(fields, "|")) {
        auto colon = field.find(": ");
        h->fields.push_back({field.substr(0, colon), field.substr(colon + 2)});
    }
    return h;
}

std::string text(const Fields& h) {
    std::string out;
    for (auto& f : h.fields)
        out += (out.empty() ? "" : "|") + f.name + ": " + f.value;
    return out;
}

// "request fields ; refused | chunked | length N ; fields afterwards"
TEST(ProxyHttpRules, RequestFramingRefusesWhatItCannotFrame) {
    const char* rows[] = {
        " ; none ; ",
        "Content-Length: 12 ; length 12 ; Content-Length: 12",
        "content-length:  0  ; length 0 ; content-length:  0 ",
        "Transfer-Encoding: chunked ; chunked ; Transfer-Encoding: chunked",
        "Transfer-Encoding: Chunked|Content-Length: 5 ; chunked ; Transfer-Encoding: Chunked",
        "Content-Length: 5|Content-Length: 5 ; length 5 ; Content-Length: 5|Content-Length: 5",
        "Transfer-Encoding: gzip, chunked ; refused ; ",
        "Transfer-Encoding: chunked|Transfer-Encoding: chunked ; refused ; ",
        "Transfer-Encoding: identity ; refused ; ",
        "Content-Length: 5|Content-Length: 6 ; refused ; ",
        "Content-Length: -1 ; refused ; ",
        "Content-Length: +5 ; refused ; ",
        "Content-Length: abc ; refused ; ",
        "Content-Length:  ; refused ; ",
    };
    for (auto row : rows) {
        SCOPED_TRACE(row);
        auto parts = split(row, " ; ");
        parts.resize(3);
        auto h = head("POST / HTTP/1.1", parts[0]);
        if (parts[1] == "refused") {
            EXPECT_THROW(HttpFraming::requestFraming(*h), ProxyHttpError);
            continue;
        }
        auto framing = HttpFraming::requestFraming(*h);
        std::string got = framing.chunked  ? "chunked"
                          : framing.length ? "length " + std::to_string(*framing.length)
                                           : "none";
        EXPECT_EQ(got, parts[1]);
        EXPECT_EQ(text(*h), parts[2]);
    }
}

TEST(ProxyHttpRules, VersionNumbers) {
    std::pair<const char*, float> cases[] = {{"HTTP/1.1", 1.1f}, {"HTTP/1.0", 1.0f}, {"HTTP/2", 2.0f},
                                             {"HTTP/x", -1},     {"ICY/1.0", -1},    {"HTTP/", -1}};
    for (auto [version, number] : cases)
        EXPECT_FLOAT_EQ(HttpFraming::versionNumber(version), number) << version;
}

// "request version, response version, status, method[, T(ransparent)][, C(lose asked)] ;
//  response fields ; body [close] [chunked-out] [gzip|compress] ; client's fields"
TEST(ProxyHttpRules, ResponsePlan) {
    const char* rows[] = {
        "1.1 1.1 200 GET ; Content-Length: 5 ; length ; Content-Length: 5|Proxy-Connection: Keep-alive",
        "1.1 1.1 200 GET T ; Content-Length: 5|Connection: keep-alive ; length ; Content-Length: "
        "5|Connection: "
        "Keep-alive",
        "1.1 1.1 200 GET C ; Content-Length: 5 ; length close ; Content-Length: 5|Proxy-Connection: Close",
        "1.1 1.1 200 GET ; Connection: CLOSE|Content-Length: 5 ; length close ; Content-Length: "
        "5|Proxy-Connection: "
        "Close",
        "1.0 1.1 200 GET ; Connection: keep-alive|Content-Length: 1 ; length close ; Content-Length: "
        "1|Proxy-Connection: Close",
        "1.0 1.1 200 GET T ; Connection: keep-alive|Content-Length: 1 ; length ; Content-Length: "
        "1|Connection: "
        "Keep-alive",
        "1.1 1.0 200 GET ; Content-Length: 1 ; length close ; Content-Length: 1|Proxy-Connection: Close",
        "1.1 1.0 200 GET ; Connection: Keep-Alive|Content-Length: 1 ; length ; Content-Length: "
        "1|Proxy-Connection: "
        "Keep-alive",
        "1.1 1.1 200 GET ; Server: s ; untilClose close ; Server: s|Proxy-Connection: Close",
        "1.1 1.1 200 GET ; Transfer-Encoding: chunked|Content-Length: 3 ; chunked chunked-out ; "
        "Transfer-Encoding: "
        "Chunked|Proxy-Connection: Keep-alive",
        "1.0 1.1 200 GET T ; Transfer-Encoding: chunked ; chunked close ; Connection: Close",
        "1.1 1.1 200 GET ; Transfer-Encoding: gzip|Content-Length: 3 ; untilClose close ; Transfer-Encoding: "
        "gzip|Proxy-Connection: Close",
        "1.1 1.1 200 HEAD ; Transfer-Encoding: chunked ; none ; Transfer-Encoding: Chunked|Proxy-Connection: "
        "Keep-alive",
        "1.1 1.1 304 GET ; Content-Length: 10 ; none ; Content-Length: 10|Proxy-Connection: Keep-alive",
        "1.1 1.1 204 GET ;  ; none ; Proxy-Connection: Keep-alive",
        "1.1 1.1 205 GET ;  ; none ; Proxy-Connection: Keep-alive",
        "1.1 1.1 101 GET ;  ; none ; Proxy-Connection: Keep-alive",
        "1.1 1.1 404 POST ; Content-Length: 0 ; length ; Content-Length: 0|Proxy-Connection: Keep-alive",
        "1.0 1.1 200 GET ; Content-Encoding: gzip|Content-Length: 9 ; length close gzip ; Proxy-Connection: "
        "Close",
        "1.0 1.1 200 GET ; Content-Encoding: x-compress ; untilClose close compress ; Proxy-Connection: "
        "Close",
        "1.0 1.1 200 GET ; Content-Encoding: br|Content-Length: 9 ; length close ; Content-Encoding: "
        "br|Content-Length: 9|Proxy-Connection: Close",
        "1.1 1.1 200 GET ; Content-Encoding: gzip|Content-Length: 9 ; length ; Content-Encoding: "
        "gzip|Content-Length: 9|Proxy-Connection: Keep-alive",
    };
    using Plan = ProxyHttpResponsePlan;
    const char* bodies[] = {"none", "chunked", "length", "untilClose"};
    for (auto row : rows) {
        SCOPED_TRACE(row);
        auto parts = split(row, " ; ");
        parts.resize(4);
        std::istringstream in(parts[0]);
        Plan::Input input;
        std::string method, flag;
        in >> input.requestVersion >> input.responseVersion >> input.status >> method;
        input.method = method;
        while (in >> flag)
            (flag == "T" ? input.transparent : input.requestMustClose) = true;
        auto response = head("HTTP/1.1 200 OK", parts[1]);
        auto plan = Plan::make(input, *response);
        std::string got = bodies[static_cast<int>(plan.body)];
        got += plan.mustClose ? " close" : "";
        got += plan.chunkedOutput ? " chunked-out" : "";
        got += plan.decoding == Plan::Decoding::gzip       ? " gzip"
               : plan.decoding == Plan::Decoding::compress ? " compress"
                                                           : "";
        EXPECT_EQ(got, parts[2]);
        EXPECT_EQ(text(*plan.clientHead(*response)), parts[3]);
    }
}

} // namespace
} // namespace pemtrox
