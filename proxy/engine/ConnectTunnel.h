#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "proxy/engine/ProxyConnectionState.h"
#include "proxy/io/Plumber.h"
#include "proxy/io/Result.h"

namespace pemtrox {

class ByteRelay;
class HttpFields;
class InputStreamEvent;
class InternalProxyServer;
class ProxyConnection;
class ProxyEvent;
class RemoteConnection;
class TunnelHandler;
class TunnelPeek;

/// The CONNECT side of one client connection, from the CONNECT exchange on: connects to the
/// server, answers the client, hands the client connection to wrapClient, then looks at the
/// client's first bytes. HTTP inside the tunnel is forwarded exchange by exchange; anything
/// else is copied both ways as one opaque exchange.
///
/// The handler (an HttpProxyHandler) makes the tunnel in its makeTunnel() and is known to it
/// only as a TunnelHandler. A handler that intercepts TLS makes a tunnel derived from this
/// class: it overrides makeConnectRemoteConnection and wrapClient, and may override the later
/// steps. The tunnel keeps its handler until the handler completes; all work runs on the
/// server's queue, and the tunnel ends through the handler's finish() or completion.
class ConnectTunnel : public PlumberTracked, public std::enable_shared_from_this<ConnectTunnel> {
public:
    static std::shared_ptr<ConnectTunnel> make(std::shared_ptr<TunnelHandler> handler);
    explicit ConnectTunnel(std::shared_ptr<TunnelHandler> handler);
    ~ConnectTunnel() override;

    /// Runs the CONNECT exchange the handler has parsed: keeps the tunnel values, tells the
    /// listeners of the address, chooses and connects the remote. Throws a listener's error.
    virtual void start();
    /// Lets the handler go; the tunnel does nothing more.
    void detach();

    /// The values every request inside the tunnel starts from.
    const std::optional<std::string>& scheme() const { return scheme_; }
    const std::optional<std::string>& host() const { return host_; }
    const std::optional<std::int64_t>& port() const { return port_; }

    /// Client-side TLS failures of a tunnel as ProxyHandlerError::sslClientError; other
    /// errors unchanged.
    static ErrorPtr clientSSLError(const ErrorPtr& error);

protected:
    /// The remote connection of the tunnel; base: a ConnectRemoteConnection.
    virtual std::shared_ptr<RemoteConnection>
    makeConnectRemoteConnection(std::shared_ptr<InternalProxyServer> server, std::shared_ptr<ProxyEvent> evt);
    /// Hands the client connection over for the tunnel once the client was answered; base:
    /// the same connection at once.
    virtual void wrapClient(std::shared_ptr<RemoteConnection> remote, std::shared_ptr<ProxyEvent> evt,
                            std::shared_ptr<ProxyConnection> client,
                            std::function<void(ProxyConnectionState)> callback);
    /// A request head read inside the tunnel: fills the exchange. Throws.
    virtual void handleTunnelRequest(std::shared_ptr<HttpFields> header, bool hostNameIsRaw);
    /// Forwards a request read inside the tunnel over `remote`.
    virtual void handleTunnelHttp(std::shared_ptr<RemoteConnection> remote);
    /// Copies opaque bytes both ways until both directions have ended.
    virtual void handleTunnel(std::shared_ptr<RemoteConnection> remote);

    /// The handler served; absent once it completed.
    const std::shared_ptr<TunnelHandler>& handler() const { return handler_; }
    /// Whether the handler has ended (or let the tunnel go): every step then stops.
    bool ended() const;
    const std::shared_ptr<InternalProxyServer>& server() const;
    const std::shared_ptr<ProxyEvent>& evt() const;
    const std::shared_ptr<ProxyConnection>& client() const;
    /// The handler's connection toward the server.
    const std::shared_ptr<RemoteConnection>& remote() const;
    void finish(ErrorPtr error);

private:
    void connectEstablished();
    void afterClientData();
    void firstBytesTest();
    void onClientFirstBytes(InputStreamEvent event);
    void startTunnelRequests(Result<std::shared_ptr<HttpFields>> head);
    void nextTunnelRequest(const std::shared_ptr<HttpFields>& head,
                           const std::shared_ptr<ProxyEvent>& previous, bool first);
    void reconnectForRequest();
    void readNextTunnelHead(std::shared_ptr<RemoteConnection> served);
    void forwardConnect(std::shared_ptr<RemoteConnection> served, std::shared_ptr<HttpFields> header);
    void startRawTunnel(std::shared_ptr<RemoteConnection> remote, bool clientBytesPending);
    void copyRaw(std::shared_ptr<RemoteConnection> remote, bool clientBytesPending);
    void startCopyOut();
    void allowHalfClose();
    void endRawTunnel();

    std::shared_ptr<TunnelHandler> handler_;
    std::optional<std::string> scheme_;
    std::optional<std::int64_t> defaultPort_;
    std::optional<std::string> host_;
    std::optional<std::int64_t> port_;
    std::shared_ptr<TunnelPeek> peek_;
    bool peekWaitingForClient_ = false;
    /// The opaque copy, once the tunnel carries raw bytes.
    std::shared_ptr<ByteRelay> relay_;
    std::shared_ptr<RemoteConnection> rawRemote_;
    // Whether each peer can end one direction alone (plain TCP).
    bool clientHalfClose_ = false, serverHalfClose_ = false;
};

} // namespace pemtrox
