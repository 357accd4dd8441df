#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace pemtrox {

class InetAddress;
class HttpInputStream;
class HttpOutputStream;
class Socket;

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

    // What the engine asks of the transport under the connection. The defaults are those of
    // a connection that reads its client's bytes through a layer of its own (TLS).
    /// The socket whose streams the connection reads and writes directly; null where a layer
    /// runs between them.
    virtual std::shared_ptr<Socket> plainSocket() const { return nullptr; }
    /// Lets the client end one direction alone (Socket::allowHalfClose); false where it cannot.
    virtual bool allowHalfClose() { return false; }
    /// Resets the transport at once, dropping what is still queued for the client
    /// (Socket::resetConnection); nothing where it cannot.
    virtual void reset() {}
    /// Whether the client has gone: reset, closed, or ended its side with nothing left
    /// unread (also by the head reader). False where it cannot tell.
    virtual bool peerHasGone() const { return false; }
    /// Whether the client has reset, closed, or ended its side, whatever it sent before.
    /// False where it cannot tell.
    virtual bool peerHasEnded() const { return false; }
};

} // namespace pemtrox
