#pragma once

#include <memory>

#include "proxy/engine/RemoteConnectionState.h"

namespace pemtrox {

class ConnectData;
class HttpInputStream;
class HttpOutputStream;
class ProxyEvent;

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
};

} // namespace pemtrox
