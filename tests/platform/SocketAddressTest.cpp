#include <sys/socket.h>

#include <gtest/gtest.h>

#include "platform/AsyncUdpSocket.h"
#include "platform/SocketAddress.h"

using namespace pemtrox;

namespace {

// Socket addresses as the UDP socket makes them, taken apart and unmapped; bytes of another
// family or too few of them are no address.
TEST(SocketAddress, TakesBothFamiliesApartAndUnmapsMappedIPv4) {
    struct Case {
        std::string host;
        std::uint16_t port;
        int family, unmappedFamily;
        std::vector<std::uint8_t> unmappedAddress;
    };
    const Case cases[] = {
        {"192.0.2.7", 53, AF_INET, AF_INET, {192, 0, 2, 7}},
        {"::ffff:192.0.2.7", 5353, AF_INET6, AF_INET, {192, 0, 2, 7}},
        {"2001:db8::1",
         65535,
         AF_INET6,
         AF_INET6,
         {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"::", 1, AF_INET6, AF_INET6, std::vector<std::uint8_t>(16, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        auto bytes = AsyncUdpSocket::socketAddress(c.host, c.port);
        EXPECT_EQ(SocketAddress::familyOf(bytes), c.family);
        auto parsed = SocketAddress::parse(bytes);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->family, c.family);
        EXPECT_EQ(parsed->port, c.port);
        auto unmapped = parsed->unmapped();
        EXPECT_EQ(unmapped.family, c.unmappedFamily);
        EXPECT_EQ(unmapped.port, c.port);
        EXPECT_EQ(std::vector<std::uint8_t>(unmapped.address.begin(),
                                            unmapped.address.begin() + c.unmappedAddress.size()),
                  c.unmappedAddress);
    }
    auto v6 = AsyncUdpSocket::socketAddress("2001:db8::1", 1);
    auto v4 = AsyncUdpSocket::socketAddress("192.0.2.7", 1);
    auto otherFamily = v4;
    otherFamily[offsetof(sockaddr, sa_family)] = AF_UNIX;
    for (const auto& bad : {SocketAddress::Bytes{}, SocketAddress::Bytes{1, 2, 3},
                            SocketAddress::Bytes(v6.begin(), v6.end() - 1), otherFamily})
        EXPECT_FALSE(SocketAddress::parse(bad));
    EXPECT_EQ(SocketAddress::familyOf({1, 2, 3}), 0);
}

} // namespace
