#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pemtrox {

/// The name of a negotiated cipher suite, read with the table of its protocol family
/// (protocol values as SSLProtocolName takes them): the SSL 3.0 names for the SSL family,
/// the IANA names for TLS 1.0 to 1.2 and for TLS 1.3, else an "Unknown …" text.
std::string SSLCipherSuiteName(int protocol, std::uint16_t cipherSuite);

class TlsEngine;
/// The engine's negotiated cipher-suite name; absent without an engine or until the
/// handshake produced both a protocol version and a suite. What both TLS sockets report.
std::optional<std::string> negotiatedCipherName(const TlsEngine* engine);

} // namespace pemtrox
