#include "platform/AsyncSocketError.h"

#include <cstring>

namespace pemtrox {

AsyncSocketError AsyncSocketError::socket(Code code) {
    switch (code) {
    case badConfig:
        return socket(code, "Invalid socket configuration");
    case badParam:
        return socket(code, "Invalid parameter");
    case connectTimeout:
        return socket(code, "Attempt to connect to host timed out");
    case readTimeout:
        return socket(code, "Read operation timed out");
    case writeTimeout:
        return socket(code, "Write operation timed out");
    case readMaxedOut:
        return socket(code, "Read operation reached set maximum length");
    case closed:
        return socket(code, "Socket closed by remote peer");
    case noError:
    case other:
        break;
    }
    return socket(code, "Socket error");
}

AsyncSocketError AsyncSocketError::socket(Code code, std::string message) {
    return AsyncSocketError(Domain::socket, code, std::move(message));
}

AsyncSocketError AsyncSocketError::posix(int errnum) {
    return AsyncSocketError(Domain::posix, errnum, std::strerror(errnum));
}

} // namespace pemtrox
