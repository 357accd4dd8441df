#pragma once

#include <memory>
#include <vector>

#include "proxy/engine/RemoteConnectionState.h"
#include "proxy/io/Socket.h"

namespace pemtrox {

class ConnectData;
class HttpInputStream;
class HttpOutputStream;
class ProxyEvent;
class SSLSocket;

/// The proxy's side toward the real server of an exchange (plain, CONNECT tunnel, TLS
/// tunnel, or in-process for the built-in responders). The handler keeps it for the next
/// request of the same client connection while reconnectRequired() allows. Used on the
/// server's queue only; the owner closes it before letting it go.
class RemoteConnection {
public:
    virtual ~RemoteConnection() = default;

    virtual bool isConnected() const = 0;
    virtual bool supportsHttps() const { return false; }
    /// The server's bytes; absent before a connection.
    virtual std::shared_ptr<HttpInputStream> remoteIn() const = 0;
    /// Bytes to the server; absent before a connection.
    virtual std::shared_ptr<HttpOutputStream> remoteOut() const = 0;
    bool isOpen() const { return isConnected(); }
    /// Whether this connection cannot serve the exchange as it stands.
    virtual bool reconnectRequired(const ProxyEvent& evt) = 0;
    /// Opens the connection for the exchange (or reuses the open one where the class
    /// does); the completion runs once, never inside this call unless the class says so.
    virtual void connect(const std::shared_ptr<ProxyEvent>& evt, RemoteConnectionCallback completion) = 0;
    /// Closes the socket, if any; no error, no completion.
    virtual void close() = 0;
    /// Records an existing connection's details in a new exchange record.
    virtual void updateEvent(ProxyEvent& evt) = 0;

    // A CONNECT tunnel's connection is told of the tunnel; other connections ignore it.
    /// The CONNECT exchange the connection now serves.
    virtual void setSourceEvent(const std::shared_ptr<ProxyEvent>&) {}
    /// The client's protocol data, once the tunnel is up.
    virtual std::shared_ptr<ConnectData> tunnelClientData() const { return nullptr; }
    /// The tunnel is up with the client's protocol data (a TLS connection starts TLS now).
    /// Base: completes with `connected` (without a connection) inside this call.
    virtual void setClientData(const std::shared_ptr<ProxyEvent>& /*evt*/,
                               std::shared_ptr<ConnectData> /*data*/, RemoteConnectionCallback completion) {
        completion(RemoteConnectionState::connected(nullptr));
    }

    // What the engine asks of the transport under the connection. The defaults are those of
    // a connection without sockets of ours (an in-process responder).
    /// The sockets under the connection: the one its streams run on and the one opened
    /// toward the server (they differ once TLS runs over it); either may be null.
    virtual std::vector<std::shared_ptr<Socket>> sockets() const { return {}; }
    /// Lets the server end one direction alone: only plain TCP on a socket that can (a TLS
    /// layer has no half-close of its own).
    virtual bool allowHalfClose() { return false; }
    /// Resets every socket at once, dropping what is still queued for the server.
    void reset() {
        for (const auto& socket : sockets())
            if (socket)
                socket->resetConnection();
    }
    /// Whether the connection can open its socket again (reconnect, or connect after the
    /// server closed a kept-alive connection).
    virtual bool canReconnect() const { return false; }

    // TLS toward the server.
    /// Whether the connection speaks TLS to the server for its exchange (a secure scheme).
    virtual bool runsTls() const { return false; }
    /// The TLS socket toward the server, once TLS has started.
    virtual std::shared_ptr<SSLSocket> tlsSocket() const { return nullptr; }
    /// Runs `then` once with the outcome of the server's TLS handshake. Base: there is
    /// none to wait for: `connected` (without a connection) inside this call.
    virtual void whenHandshakeEnds(RemoteConnectionCallback then) {
        then(RemoteConnectionState::connected(nullptr));
    }
};

} // namespace pemtrox
