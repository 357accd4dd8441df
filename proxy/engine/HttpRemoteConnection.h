#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "proxy/engine/ConnectableRemoteConnection.h"
#include "proxy/engine/RemoteConnection.h"
#include "proxy/engine/SocketRemoteConnection.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

class HostLookup;
class InternalProxyServer;

/// The plain connection to a real server: resolves the host (or the listener's
/// overrideHost), opens the socket through the server, records timings in the exchange
/// and exposes HTTP streams over the socket.
class HttpRemoteConnection : public PlumberTracked,
                             public RemoteConnection,
                             public SocketRemoteConnection,
                             public ConnectableRemoteConnection,
                             public std::enable_shared_from_this<HttpRemoteConnection> {
public:
    static std::shared_ptr<HttpRemoteConnection> make(std::shared_ptr<InternalProxyServer> server);
    explicit HttpRemoteConnection(std::shared_ptr<InternalProxyServer> server);
    /// Fatal when the socket is still open: the owner closes the connection first.
    ~HttpRemoteConnection() override;

    bool isConnected() const override;
    std::shared_ptr<HttpInputStream> remoteIn() const override { return remoteIn_; }
    std::shared_ptr<HttpOutputStream> remoteOut() const override { return remoteOut_; }
    bool reconnectRequired(const ProxyEvent& evt) override;
    void connect(const std::shared_ptr<ProxyEvent>& evt, RemoteConnectionCallback completion) override;
    void close() override;
    void updateEvent(ProxyEvent& evt) override;

    std::shared_ptr<Socket> remote() const override { return remote_; }
    std::shared_ptr<Socket> rawRemote() const override { return rawRemote_; }
    std::shared_ptr<MyInputStream> remoteInRaw() const override { return remoteInRaw_; }
    std::shared_ptr<MyOutputStream> remoteOutRaw() const override { return remoteOutRaw_; }

    std::vector<std::shared_ptr<Socket>> sockets() const override { return {remote_, rawRemote_}; }
    bool allowHalfClose() override;
    bool canReconnect() const override { return true; }

    std::shared_ptr<const InetAddress> remoteAddress() const override { return remoteAddress_; }
    std::optional<std::int64_t> remotePort() const override { return remotePort_; }
    std::optional<Date> connectStartTime() const override { return connectStartTime_; }
    void reconnect(const std::shared_ptr<ProxyEvent>& evt, RemoteConnectionCallback completion) override;

    const std::shared_ptr<InternalProxyServer>& server() const { return server_; }

protected:
    /// Opens the socket toward the resolved address.
    virtual void connectToAddress(const std::shared_ptr<ProxyEvent>& evt,
                                  RemoteConnectionCallback completion);
    /// The socket is open: record it in the exchange and make the streams.
    virtual void didConnect(const std::shared_ptr<ProxyEvent>& evt);
    void recordConnectionAttribute(ProxyEvent& evt);
    /// Drops a lookup in progress; the connect waiting for it fails (later, on the queue).
    void cancelLookup();
    /// Resolution and socket opening shared with the TLS connection, which hands out no
    /// plain streams.
    void resolveAndConnect(const std::shared_ptr<ProxyEvent>& evt, RemoteConnectionCallback completion);

    std::shared_ptr<InternalProxyServer> server_;
    std::shared_ptr<Socket> remote_;
    std::shared_ptr<Socket> rawRemote_;
    std::shared_ptr<HostLookup> lookup_;
    std::shared_ptr<RemoteConnectionCallback> lookupCompletion_;
    std::shared_ptr<const InetAddress> remoteAddress_;
    std::optional<std::int64_t> remotePort_;
    /// The DNS override the connection was opened for: a request with another (or none)
    /// must not reuse it.
    std::optional<std::string> overrideHost_;
    std::optional<Date> connectStartTime_;
    std::shared_ptr<HttpInputStream> remoteIn_;
    std::shared_ptr<HttpOutputStream> remoteOut_;
    std::shared_ptr<MyInputStream> remoteInRaw_;
    std::shared_ptr<MyOutputStream> remoteOutRaw_;
};

/// Seconds from `since` to now, on the wall clock.
double secondsSince(Date since);

} // namespace pemtrox
