#pragma once

#include <optional>
#include <string_view>

namespace pemtrox {

/// How the tunnel runs: "Proxy" serves a proxy port only; "LWIP" captures every packet.
enum class PacketTunnelMode { Proxy, LWIP };

/// Only the exact start-option texts "Proxy" and "LWIP" (case matters).
std::optional<PacketTunnelMode> packetTunnelModeFromString(std::string_view text);
/// The start-option text.
const char* packetTunnelModeRawValue(PacketTunnelMode mode);
/// The text form in log lines: "Proxy" and "Transparent".
const char* packetTunnelModeText(PacketTunnelMode mode);

} // namespace pemtrox
