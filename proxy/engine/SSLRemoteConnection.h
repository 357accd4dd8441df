#pragma once

#include <mutex>

#include "proxy/engine/ConnectRemoteConnection.h"

namespace pemtrox {

class SSLSocket;

/// The connection of a CONNECT tunnel whose traffic the proxy decrypts: TCP first, then
/// TLS toward the server once the tunnel's client data is known. TLS interception learns
/// of the end of the server's handshake through handshakeCompleteCallback.
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

    bool ssl = false;
    std::shared_ptr<SSLSocket> sslRemote;
    /// Guards handshakeComplete and handshakeCompleteCallback (TLS interception registers
    /// the callback from its own code path).
    std::mutex handshakeCompleteMutex;
    bool handshakeComplete = false;
    /// Called once with the handshake's outcome, after the lock is released.
    RemoteConnectionCallback handshakeCompleteCallback;
};

} // namespace pemtrox
