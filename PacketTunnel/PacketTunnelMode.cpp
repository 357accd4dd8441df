#include "PacketTunnel/PacketTunnelMode.h"

namespace pemtrox {

std::optional<PacketTunnelMode> packetTunnelModeFromString(std::string_view text) {
    if (text == "Proxy")
        return PacketTunnelMode::Proxy;
    if (text == "LWIP")
        return PacketTunnelMode::LWIP;
    return std::nullopt;
}

const char* packetTunnelModeRawValue(PacketTunnelMode mode) { return mode == PacketTunnelMode::Proxy ? "Proxy" : "LWIP"; }

const char* packetTunnelModeText(PacketTunnelMode mode) {
    return mode == PacketTunnelMode::Proxy ? "Proxy" : "Transparent";
}

} // namespace pemtrox
