#pragma once

#include "AbstractPacketTunnelICMP.h"

namespace pemtrox {

/// Sends the device's ICMPv4 echo requests out through a ping socket.
class PacketTunnelICMPHandler : public AbstractPacketTunnelICMP {
public:
    static std::shared_ptr<PacketTunnelICMPHandler> make(std::shared_ptr<DispatchQueue> queue);

    using AbstractPacketTunnelICMP::bind;
    const char* typeName() const override { return "PacketTunnelICMPHandler"; }
    void bind() override;
    void handle(const ip_addr_t& address, const std::uint8_t* data, std::size_t length) override;

private:
    using AbstractPacketTunnelICMP::AbstractPacketTunnelICMP;
};

} // namespace pemtrox
