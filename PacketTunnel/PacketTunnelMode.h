#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace pemtrox {

/// How the tunnel runs: "Proxy" serves a proxy port only; "LWIP" captures every packet.
enum class PacketTunnelMode { Proxy, LWIP };

/// Only the exact start-option texts "Proxy" and "LWIP" (case matters).
std::optional<PacketTunnelMode> packetTunnelModeFromString(std::string_view text);
/// The start-option text.
const char* packetTunnelModeRawValue(PacketTunnelMode mode);
/// The text form in log lines: "Proxy" and "Transparent".
const char* packetTunnelModeText(PacketTunnelMode mode);
/// The mode that the start options ask for: LWIP when there are no options, no
/// "PacketTunnelMode" or one that is not a text. A text other than "Proxy" and "LWIP" throws
/// GenericError: a misspelt mode must neither end the process nor quietly claim every route.
PacketTunnelMode packetTunnelModeFromOptions(const std::optional<nlohmann::json>& options);

} // namespace pemtrox
