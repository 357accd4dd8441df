#pragma once

#include "proxy/engine/ConnectRemoteConnection.h"

namespace pemtrox {

class SSLSocket;

/// The connection of a CONNECT tunnel whose traffic the proxy decrypts: TCP first, then
/// TLS toward the server once the tunnel's client data is known. TLS interception waits for
/// the end of the server's handshake through whenHandshakeEnds.
class SSLRemoteConnection : public ConnectRemoteConnection {
public:
    static std::shared_ptr<SSLRemoteConnection> make(std::shared_ptr<InternalProxyServer> server,
                                                     std::shared_ptr<ProxyEvent> sourceEvent);
    SSLRemoteConnection(std::shared_ptr<InternalProxyServer> server, std::shared_ptr<ProxyEvent> sourceEvent);

    /// For a secure scheme the plain streams are never handed out: they come with TLS.
    void connect(const std::shared_ptr<ProxyEvent>& evt, RemoteConnectionCallback completion) override;
    /// Starts TLS toward the server for a secure scheme; a failed handshake closes both sockets.
    /// The handshake gets the connect time-out of the socket (ProxySocket), then fails with
    /// SocketError::timeout.
    void setClientData(const std::shared_ptr<ProxyEvent>& evt, std::shared_ptr<ConnectData> clientData,
                       RemoteConnectionCallback completion) override;
    void close() override { closeSockets(); }

    void startTLS(const std::shared_ptr<ProxyEvent>& evt, RemoteConnectionCallback completion);
    void closeSockets();

    /// Runs `then` once with the outcome of the server's TLS handshake: inside this call
    /// when the handshake has ended, or failed with connectionClosedDuringHandshake when the
    /// TLS socket closed before it ended; otherwise when it ends, after the connect's own
    /// completion. One waiter: a later call replaces one still waiting.
    void whenHandshakeEnds(RemoteConnectionCallback then) override;
    /// Whether the server's handshake has ended, either way.
    bool handshakeEnded() const { return handshakeComplete_; }

    /// Whether the exchange's scheme is secure, as the last connect found it.
    bool runsTls() const override { return ssl_; }
    /// The TLS socket toward the server, from the start of TLS on.
    std::shared_ptr<SSLSocket> tlsSocket() const override { return sslRemote_; }

private:
    std::shared_ptr<SSLRemoteConnection> thisConnection() { return {shared_from_this(), this}; }

    bool ssl_ = false;
    std::shared_ptr<SSLSocket> sslRemote_;
    // All on the server's queue: the TLS socket reports there, and the tunnel waits there.
    bool handshakeComplete_ = false;
    bool handshakeSucceeded_ = false;
    ErrorPtr handshakeError_;
    RemoteConnectionCallback handshakeCompleteCallback_;
};

} // namespace pemtrox
