#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace pemtrox {

class InetAddress;
class HttpInputStream;
class HttpOutputStream;

/// The proxy's side of one client connection: the accepted socket with HTTP streams over
/// it. Belongs to its server's queue.
class ProxyConnection {
public:
    virtual ~ProxyConnection() = default;
    /// The client's address; absent when the socket does not know its peer.
    virtual std::shared_ptr<const InetAddress> address() const = 0;
    virtual std::optional<std::int64_t> port() const = 0;
    /// The address at which the client connected.
    virtual std::shared_ptr<const InetAddress> localAddress() const = 0;
    virtual std::optional<std::int64_t> localPort() const = 0;
    /// Requests are read from here.
    virtual std::shared_ptr<HttpInputStream> inputStream() const = 0;
    /// Responses are written here.
    virtual std::shared_ptr<HttpOutputStream> outputStream() const = 0;
    virtual void close() = 0;
};

} // namespace pemtrox
