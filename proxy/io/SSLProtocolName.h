#pragma once

#include <string>

namespace pemtrox {

/// The name of a negotiated protocol version value (TlsEngine's protocol values):
/// 8 is "TLSv1.2", 10 is "TLSv1.3"; an unknown value is "Unknown".
std::string SSLProtocolName(int protocol);

} // namespace pemtrox
