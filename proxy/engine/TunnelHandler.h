#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Error.h"
#include "proxy/engine/RemoteConnectionState.h"
#include "proxy/io/Result.h"

namespace pemtrox {

class HttpFields;
class InternalProxyServer;
class ProxyConnection;
class ProxyEvent;
class ProxyHttp;
class RemoteConnection;

/// What a CONNECT tunnel needs of the handler it serves (HttpProxyHandler): the tunnel drives
/// the connection from the CONNECT on, while the handler still owns the client and server
/// connections, the current exchange and the end. Everything runs on the server's queue.
class TunnelHandler {
public:
    /// Present in a CONNECT exchange's attributes: the tunnel's requests carry a raw host name.
    static constexpr const char* HOST_NAME_IS_RAW = "HttpProxyHandler.HOST_NAME_IS_RAW";

    virtual ~TunnelHandler() = default;

    virtual const std::shared_ptr<InternalProxyServer>& server() const = 0;
    virtual const std::shared_ptr<ProxyConnection>& client() const = 0;
    /// The current exchange.
    virtual const std::shared_ptr<ProxyEvent>& evt() const = 0;
    /// The connection toward the server, if any.
    virtual const std::shared_ptr<RemoteConnection>& remote() const = 0;
    /// Whether the handler has ended: its exchanges and any tunnel stop.
    virtual bool isDone() const = 0;

    /// Ends the handler with the error (answered with an error page where one is due), or
    /// without one.
    virtual void finish(ErrorPtr error) = 0;
    /// Ends the handler without an error reply: the completion runs (once).
    virtual void complete() = 0;
    /// Fills method and version from the request line; returns the request target.
    virtual std::string readRequestFirstLine() = 0;
    /// Reads the client's next head under the read time-out.
    virtual void readHead(std::function<void(Result<std::shared_ptr<HttpFields>>)> then) = 0;
    /// Connects `remote` for the current exchange. A client that goes meanwhile ends the
    /// exchange at once, and with it the lookup or connect in progress (it would otherwise
    /// hold a descriptor for the kernel's whole connect time).
    virtual void connectRemote(const std::shared_ptr<RemoteConnection>& remote,
                               RemoteConnectionCallback then) = 0;
    /// Hands the tunnel's client data to `remote` (for TLS toward the server: its handshake)
    /// under the same watch. The client's bytes are then a TLS handshake that only the proxy
    /// answers, after this step: a client that ended its side cannot finish it and has gone,
    /// whatever it sent before.
    virtual void setTunnelClientData(const std::shared_ptr<RemoteConnection>& remote,
                                     RemoteConnectionCallback then) = 0;
    /// Makes `remote` the connection toward the server, closing the one before unless it is
    /// the same.
    virtual void replaceRemote(std::shared_ptr<RemoteConnection> remote) = 0;
    /// Lets go of the connection toward the server without closing it, and returns it.
    virtual std::shared_ptr<RemoteConnection> releaseRemote() = 0;
    /// The client connection from now on (the TLS layer over it, say).
    virtual void replaceClient(std::shared_ptr<ProxyConnection> client) = 0;
    /// Makes `evt` the current exchange, its response not begun.
    virtual void beginExchange(std::shared_ptr<ProxyEvent> evt) = 0;
    /// Leaves no exchange current: a head that fails to arrive is no part of the last one.
    virtual void clearExchange() = 0;
    /// Forwards one request with `http`; `then` gets its outcome. A failed exchange keeps
    /// whether its response had begun, which decides the error reply.
    virtual void runHttp(const std::shared_ptr<ProxyHttp>& http, const std::shared_ptr<HttpFields>& header,
                         std::function<void(bool mustClose, ErrorPtr error)> then) = 0;
    /// Runs `next` once the exchange that just ended lets the connection's next one start,
    /// unless the handler has ended by then: a listener behind on it (a recording writer)
    /// holds the next one back until it has caught up. `next` is kept meanwhile, so it holds
    /// its owner weakly.
    virtual void afterExchange(const std::shared_ptr<ProxyEvent>& ended, std::function<void()> next) = 0;
};

} // namespace pemtrox
