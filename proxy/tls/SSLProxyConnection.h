#pragma once

#include <memory>
#include <optional>
#include <string>

#include "proxy/engine/AbstractProxyConnection.h"

namespace pemtrox {

class SSLSocket;

/// The client connection of an intercepted tunnel: the server side of TLS over the plain
/// client connection, with HTTP streams over the decrypted bytes.
class SSLProxyConnection : public AbstractProxyConnection {
public:
    static std::shared_ptr<SSLProxyConnection> make(std::shared_ptr<ProxyConnection> wrapped,
                                                    std::shared_ptr<SSLSocket> sslClient);
    SSLProxyConnection(std::shared_ptr<ProxyConnection> wrapped, std::shared_ptr<SSLSocket> sslClient);

    /// The plain client connection's addresses.
    std::shared_ptr<const InetAddress> address() const override;
    std::optional<std::int64_t> port() const override;
    std::shared_ptr<const InetAddress> localAddress() const override;
    std::optional<std::int64_t> localPort() const override;
    std::shared_ptr<HttpInputStream> inputStream() const override { return inputStream_; }
    std::shared_ptr<HttpOutputStream> outputStream() const override { return outputStream_; }
    /// Closes TLS first, so that the close alert leaves after the last bytes and the client
    /// can tell a whole body from a cut one, then the plain connection.
    void close() override;

    const std::shared_ptr<ProxyConnection>& wrapped() const { return wrapped_; }
    const std::shared_ptr<SSLSocket>& sslClient() const { return sslClient_; }
    /// The negotiated application protocol; nothing negotiates one.
    std::optional<std::string> connectionProtocol;

private:
    std::shared_ptr<ProxyConnection> wrapped_;
    std::shared_ptr<SSLSocket> sslClient_;
    std::shared_ptr<HttpInputStream> inputStream_;
    std::shared_ptr<HttpOutputStream> outputStream_;
};

} // namespace pemtrox
