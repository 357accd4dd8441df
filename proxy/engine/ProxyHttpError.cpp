#include "proxy/engine/ProxyHttpError.h"

namespace pemtrox {

std::string ProxyHttpError::description() const {
    switch (kind_) {
    case Kind::illegalState:
        return "Illegal state: " + detail_;
    case Kind::remoteServerClosedConnection:
        return "Remote server closed the connection " + detail_;
    case Kind::clientClosedConnection:
        return "Client closed connection";
    case Kind::nonHttpRequestHeader:
        return "Non-HTTP request header";
    case Kind::unsupportedTransferEncoding:
        return "Unsupported transfer encoding: " + detail_;
    case Kind::invalidContentLength:
        return "Invalid Content-Length: " + detail_;
    case Kind::tooManyInterimResponses:
        return "More than " + detail_ + " interim responses";
    }
    return {};
}

} // namespace pemtrox
