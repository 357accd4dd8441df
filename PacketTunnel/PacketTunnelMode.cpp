#include "PacketTunnel/PacketTunnelMode.h"

#include "platform/Error.h"

namespace pemtrox {

std::optional<PacketTunnelMode> packetTunnelModeFromString(std::string_view text) {
    if (text == "Proxy")
        return PacketTunnelMode::Proxy;
    if (text == "LWIP")
        return PacketTunnelMode::LWIP;
    return std::nullopt;
}

const char* packetTunnelModeRawValue(PacketTunnelMode mode) {
    return mode == PacketTunnelMode::Proxy ? "Proxy" : "LWIP";
}

const char* packetTunnelModeText(PacketTunnelMode mode) {
    return mode == PacketTunnelMode::Proxy ? "Proxy" : "Transparent";
}

PacketTunnelMode packetTunnelModeFromOptions(const std::optional<nlohmann::json>& options) {
    if (!options || !options->is_object())
        return PacketTunnelMode::LWIP;
    auto value = options->find("PacketTunnelMode");
    if (value == options->end() || !value->is_string())
        return PacketTunnelMode::LWIP;
    auto text = value->get<std::string>();
    if (auto mode = packetTunnelModeFromString(text))
        return *mode;
    throw GenericError("Unknown PacketTunnelMode \"" + text + "\": expected \"Proxy\" or \"LWIP\"");
}

} // namespace pemtrox
