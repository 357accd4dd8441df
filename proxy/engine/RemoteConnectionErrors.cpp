#include "proxy/engine/RemoteConnectionErrors.h"

namespace pemtrox {

std::string RemoteConnectionErrors::description() const {
    switch (kind_) {
    case Kind::noHost:
        return "Host name missing";
    case Kind::missingRequiredInfo:
        return "Missing required connection information to make remote connection";
    case Kind::connectionClosedDuringHandshake:
        return "Connection closed during handshake";
    case Kind::invalidPort:
        return "Invalid port: " + std::to_string(port_);
    }
    return {};
}

} // namespace pemtrox
