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

struct TunnelCase {
    const char* name;
    std::string contents, upstream; // upstream empty: no such file
    std::vector<std::string> servers;
    std::string warning;
};
void PrintTo(const TunnelCase& c, std::ostream* os) {
    *os << c.name;
}

class TunnelServersTest : public ::testing::TestWithParam<TunnelCase> {};

// Servers only the program's own namespace reaches give way to what the tunnel's clients can use.
TEST_P(TunnelServersTest, LocalAndLinkLocalServersAreReplacedOrSkipped) {
    const auto& c = GetParam();
    auto logger = test::CapturingLogger::install();
    test::TempDir dir;
    std::ofstream(dir.path() / "resolv.conf") << c.contents;
    if (!c.upstream.empty())
        std::ofstream(dir.path() / "upstream.conf") << c.upstream;
    EXPECT_EQ(Resolver::tunnelDnsServers(dir.path() / "resolv.conf", dir.path() / "upstream.conf"),
              c.servers);
    EXPECT_EQ(logger->contains(c.warning), !c.warning.empty());
    logger->uninstall();
}

INSTANTIATE_TEST_SUITE_P(
    Files, TunnelServersTest,
    ::testing::Values(TunnelCase{"stubWithUpstream",
                                 "nameserver 192.0.2.9\nnameserver 127.0.0.53\n",
                                 "nameserver 192.0.2.1\nnameserver 127.0.0.1\nnameserver 2001:db8::1\n",
                                 {"192.0.2.9", "192.0.2.1", "2001:db8::1"},
                                 ""},
                      TunnelCase{"stubAlone",
                                 "nameserver ::1\nnameserver 192.0.2.9\n",
                                 "",
                                 {"192.0.2.9"},
                                 "DNS server ::1 is a local stub"},
                      TunnelCase{"linkLocal",
                                 "nameserver fe80::1%lo\nnameserver 192.0.2.9\nnameserver 127.0.0.1\n",
                                 "nameserver 192.0.2.9\n",
                                 {"192.0.2.9"},
                                 "DNS server fe80::1%lo is link-local"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResolverFileTest, MissingFileHasNoServers) {
    EXPECT_TRUE(Resolver::systemDnsServers("/nonexistent/resolv.conf").empty());
}

} // namespace
