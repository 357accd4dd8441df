#include "PacketTunnelICMPHandler.h"

#include <netinet/in.h>

namespace pemtrox {

std::shared_ptr<PacketTunnelICMPHandler> PacketTunnelICMPHandler::make(std::shared_ptr<DispatchQueue> queue) {
    return std::shared_ptr<PacketTunnelICMPHandler>(new PacketTunnelICMPHandler(std::move(queue)));
}

void PacketTunnelICMPHandler::bind() {
    bind(AF_INET, IPPROTO_ICMP);
}

void PacketTunnelICMPHandler::handle(const ip_addr_t& address, const std::uint8_t* data, std::size_t length) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ip4_addr_get_u32(ip_2_ip4(&address));
    send(address, data, length, 8, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

} // namespace pemtrox
