#pragma once

#include <optional>
#include <string>

namespace pemtrox {

/// The name of a negotiated protocol version value (TlsEngine's protocol values):
/// 8 is "TLSv1.2", 10 is "TLSv1.3"; an unknown value is "Unknown".
std::string SSLProtocolName(int protocol);

class TlsEngine;
/// The engine's negotiated protocol name; absent without an engine or before a protocol
/// version is known. What both TLS sockets report.
std::optional<std::string> negotiatedProtocolName(const TlsEngine* engine);

} // namespace pemtrox
