#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace pemtrox {

/// A socket address in the form the UDP socket hands over and takes (sockaddr bytes),
/// taken apart. The one reading of those bytes, for the socket and for those it hands
/// them to.
struct SocketAddress {
    using Bytes = std::vector<std::uint8_t>;

    /// AF_INET or AF_INET6.
    int family = 0;
    /// The address in network order; IPv4 uses the first four bytes.
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;
    /// IPv6 only.
    std::uint32_t scopeId = 0;

    /// The family the bytes name; 0 when they are too short to name one.
    static int familyOf(const Bytes& bytes);
    /// The parts of an IPv4 or IPv6 socket address; nothing for another family or for too
    /// few bytes.
    static std::optional<SocketAddress> parse(const Bytes& bytes);
    /// An IPv4-mapped IPv6 address (as a dual-stack socket reports an IPv4 peer) as the IPv4
    /// address; any other as it is.
    SocketAddress unmapped() const;
};

} // namespace pemtrox
