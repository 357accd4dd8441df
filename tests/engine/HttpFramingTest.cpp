// Which message has a body and how long, from heads alone. Rows are one-line scripts.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "proxy/engine/Fields.h"
#include "proxy/engine/HttpFraming.h"
#include "proxy/engine/ProxyHttpError.h"

namespace pemtrox {
namespace {

// "status method ; body|none": the limits of the body-less ranges on both sides.
TEST(HttpFraming, ResponseHasBody) {
    struct Row {
        std::int64_t status;
        const char* method;
        bool body;
    };
    const Row rows[] = {
        {99, "GET", true},    {100, "GET", false},  {101, "GET", false},   {199, "GET", false},
        {200, "GET", true},   {203, "GET", true},   {204, "GET", false},   {205, "GET", false},
        {206, "GET", true},   {303, "GET", true},   {304, "GET", false},   {305, "GET", true},
        {200, "HEAD", false}, {200, "head", false}, {404, "HEAD", false},  {200, "HEADER", true},
        {200, "POST", true},  {200, nullptr, true}, {204, nullptr, false},
    };
    for (const auto& row : rows) {
        std::optional<std::string> method;
        if (row.method)
            method = row.method;
        EXPECT_EQ(HttpFraming::responseHasBody(row.status, method), row.body)
            << row.status << " " << (row.method ? row.method : "(none)");
    }
}

// Each row: the "Content-Length" values of one head, and the length or "refused" or "none".
TEST(HttpFraming, DeclaredLength) {
    struct Row {
        std::vector<std::string> values;
        const char* expected;
    };
    const Row rows[] = {
        {{}, "none"},
        {{"0"}, "0"},
        {{" 42\t"}, "42"},
        {{"9223372036854775807"}, "9223372036854775807"}, // the largest a length can be
        {{"9223372036854775808"}, "refused"},             // one past it
        {{"-1"}, "refused"},
        {{"+1"}, "refused"},
        {{"1 2"}, "refused"},
        {{""}, "refused"},
        {{"7", "7"}, "7"},
        {{"7", "8"}, "refused"},
        {{"7", "x"}, "refused"},
    };
    for (const auto& row : rows) {
        Fields head;
        head.fields.push_back({"Host", "h"});
        for (const auto& value : row.values)
            head.fields.push_back({"content-LENGTH", value});
        std::string got;
        try {
            auto length = HttpFraming::declaredLength(head);
            got = length ? std::to_string(*length) : "none";
        } catch (const ProxyHttpError&) {
            got = "refused";
        }
        EXPECT_EQ(got, row.expected) << ::testing::PrintToString(row.values);
    }
}

} // namespace
} // namespace pemtrox
