#include <fstream>

#include <gtest/gtest.h>

#include "PacketTunnel/Resolver.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;

namespace {

struct ResolvCase {
    const char* name;
    std::string contents;
    std::vector<std::string> servers;
};
void PrintTo(const ResolvCase& c, std::ostream* os) {
    *os << c.name;
}

class ResolverTest : public ::testing::TestWithParam<ResolvCase> {};

TEST_P(ResolverTest, ReadsTheNameServersInOrder) {
    test::TempDir dir;
    std::ofstream(dir.path() / "resolv.conf") << GetParam().contents;
    EXPECT_EQ(Resolver::systemDnsServers(dir.path() / "resolv.conf"), GetParam().servers);
}

std::string manyServers() {
    std::string text;
    for (int i = 1; i <= 12; ++i)
        text += "nameserver 192.0.2." + std::to_string(i) + "\n";
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ResolverTest,
    ::testing::Values(
        ResolvCase{
            "commentsAndOptions",
            "# nameserver 192.0.2.9\n; nameserver 192.0.2.8\nsearch example.com\noptions ndots:2 edns0\n"
            "nameserver 192.0.2.53\n  nameserver\t2001:db8::53  # trailing words\n",
            {"192.0.2.53", "2001:db8::53"}},
        ResolvCase{"atMostTen",
                   manyServers(),
                   {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "192.0.2.5", "192.0.2.6", "192.0.2.7",
                    "192.0.2.8", "192.0.2.9", "192.0.2.10"}},
        ResolvCase{"scopedIpv6",
                   "nameserver fe80::1%lo\nnameserver fe80::2%1\nnameserver fe80::3%nosuchif0\n"
                   "nameserver fe80::4%99999999999\n",
                   {"fe80::1%lo", "fe80::2%lo"}},
        ResolvCase{"stub", "nameserver 127.0.0.53\noptions edns0 trust-ad\n", {"127.0.0.53"}},
        ResolvCase{"unparsable", "nameserver not-an-address\nnameserver\nnameserver 192.0.2\n", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResolverFileTest, MissingFileHasNoServers) {
    EXPECT_TRUE(Resolver::systemDnsServers("/nonexistent/resolv.conf").empty());
}

} // namespace
