#include "proxy/io/SSLProtocolName.h"

#include "platform/TlsEngine.h"

namespace pemtrox {

std::string SSLProtocolName(int protocol) {
    switch (protocol) {
    case 1:
        return "SSLv2";
    case 2:
        return "SSLv3";
    case 3:
        return "SSLv3 only";
    case 4:
        return "TLSv1";
    case 5:
        return "TLSv1 only";
    case 6:
        return "SSL";
    case 7:
        return "TLSv1.1";
    case 8:
        return "TLSv1.2";
    case 9:
        return "DTLSv1";
    case 10:
        return "TLSv1.3";
    case 11:
        return "DTLSv1.2";
    case 999:
        return "TLSvmax";
    default:
        return "Unknown";
    }
}

std::optional<std::string> negotiatedProtocolName(const TlsEngine* engine) {
    int protocol = 0;
    if (!engine || engine->negotiatedProtocolVersion(protocol) != TlsEngine::noErr)
        return std::nullopt;
    return SSLProtocolName(protocol);
}

} // namespace pemtrox
