#include "PacketTunnelICMP6Handler.h"

#include <netinet/in.h>

#include <cstring>

namespace pemtrox {

std::shared_ptr<PacketTunnelICMP6Handler>
PacketTunnelICMP6Handler::make(std::shared_ptr<DispatchQueue> queue) {
    return std::shared_ptr<PacketTunnelICMP6Handler>(new PacketTunnelICMP6Handler(std::move(queue)));
}

void PacketTunnelICMP6Handler::bind() {
    bind(AF_INET6, IPPROTO_ICMPV6);
}

// Port, flow label and scope stay 0: a link-local zone of the stack is not carried over.
void PacketTunnelICMP6Handler::handle(const ip_addr_t& address, const std::uint8_t* data,
                                      std::size_t length) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    std::memcpy(to.sin6_addr.s6_addr, ip_2_ip6(&address)->addr, sizeof to.sin6_addr.s6_addr);
    send(address, data, length, 128, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

} // namespace pemtrox
