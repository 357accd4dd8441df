#include "PacketTunnel/TCPSocketError.h"

#include <array>

#include "lwip/err.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {

std::string TCPSocketError::description() const {
    static const std::array<const char*, 17> texts = {"Socket no error",
                                                      "Socket out of memory",
                                                      "Socket buffer error",
                                                      "Socket timeout",
                                                      "Socket routing problem",
                                                      "Socket operation in progress",
                                                      "Illegal socket value",
                                                      "Socket would block",
                                                      "Socket in use",
                                                      "Socket already connecting",
                                                      "Socket connection already established",
                                                      "Socket not connected",
                                                      "Low-level socket error",
                                                      "Socket connection aborted",
                                                      "Socket connection reset",
                                                      "Socket connection closed",
                                                      "Socket illegal argument"};
    if (code_ <= 0 && code_ >= -16)
        return texts[static_cast<std::size_t>(-code_)];
    return "TCP Socket unknown error: " + std::to_string(code_);
}

ErrorPtr TCPSocketError::translate(std::int8_t code) {
    switch (code) {
    case ERR_CLSD:
        return makeError<SocketError>(SocketError::socketClosed());
    case ERR_RST:
        return makeError<SocketError>(SocketError::connectionResetByPeer());
    case ERR_ABRT:
        return makeError<SocketError>(SocketError::connectionReset());
    default:
        return makeError<TCPSocketError>(errorCode(code));
    }
}

} // namespace pemtrox
