#include "proxy/io/SocketError.h"

namespace pemtrox {

std::string SocketError::description() const {
    switch (kind_) {
    case Kind::unknownError:
        return "Socket error: " + describe(platformError_);
    case Kind::socketClosed:
        return "Connection closed";
    case Kind::connectionClosedByPeer:
        return "Connection closed by peer";
    case Kind::connectionResetByPeer:
        return "Connection reset by peer";
    case Kind::connectionReset:
        return "Connection reset";
    case Kind::timeout:
        return "Connection timeout";
    }
    return "Socket error";
}

bool SocketError::is(const ErrorPtr& error, Kind kind) {
    return isError(error, domain, static_cast<int>(kind));
}

} // namespace pemtrox
