#pragma once

#include <cstdint>
#include <string>

namespace pemtrox {

/// The name of a negotiated cipher suite, read with the table of its protocol family
/// (protocol values as SSLProtocolName takes them): the SSL 3.0 names for the SSL family,
/// the IANA names for TLS 1.0 to 1.2 and for TLS 1.3, else an "Unknown …" text.
std::string SSLCipherSuiteName(int protocol, std::uint16_t cipherSuite);

} // namespace pemtrox
