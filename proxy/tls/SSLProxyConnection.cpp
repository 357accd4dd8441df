#include "proxy/tls/SSLProxyConnection.h"

#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/SSLSocket.h"

namespace pemtrox {

std::shared_ptr<SSLProxyConnection> SSLProxyConnection::make(std::shared_ptr<ProxyConnection> wrapped,
                                                             std::shared_ptr<SSLSocket> sslClient) {
    return Plumber::make<SSLProxyConnection>(std::move(wrapped), std::move(sslClient));
}

SSLProxyConnection::SSLProxyConnection(std::shared_ptr<ProxyConnection> wrapped,
                                       std::shared_ptr<SSLSocket> sslClient)
    : wrapped_(std::move(wrapped)), sslClient_(std::move(sslClient)),
      inputStream_(HttpInputStream::make(sslClient_->inputStream())),
      outputStream_(HttpOutputStream::make(sslClient_->outputStream())) {}

std::shared_ptr<const InetAddress> SSLProxyConnection::address() const {
    return wrapped_->address();
}
std::optional<std::int64_t> SSLProxyConnection::port() const {
    return wrapped_->port();
}
std::shared_ptr<const InetAddress> SSLProxyConnection::localAddress() const {
    return wrapped_->localAddress();
}
std::optional<std::int64_t> SSLProxyConnection::localPort() const {
    return wrapped_->localPort();
}

void SSLProxyConnection::close() {
    auto wrapped = wrapped_;
    sslClient_->close(nullptr, [wrapped](ErrorPtr) { wrapped->close(); });
}

} // namespace pemtrox
