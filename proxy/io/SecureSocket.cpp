#include "proxy/io/SecureSocket.h"

#include "proxy/io/SSLSocketWrapper.h"

namespace pemtrox {

std::shared_ptr<SSLSocket> secureSocket(const std::shared_ptr<Socket>& socket,
                                        std::shared_ptr<DispatchQueue> queue, const TlsSettings& settings,
                                        SocketConnectCallback callback) {
    // The callback moves only into the TLS socket that is made, so it is whole for the
    // wrapper when the socket runs no TLS of its own.
    if (auto own = socket->startTLS(settings, callback))
        return own;
    return SSLSocketWrapper::make(socket, std::move(queue), settings, std::move(callback));
}

} // namespace pemtrox
