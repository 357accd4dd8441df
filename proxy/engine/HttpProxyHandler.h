#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/Error.h"
#include "proxy/engine/AbstractSocketProxyHandler.h"
#include "proxy/engine/ProxyConnectionState.h"
#include "proxy/engine/ProxyHandler.h"
#include "proxy/engine/RemoteConnectionState.h"
#include "proxy/engine/StreamCopier.h"
#include "proxy/engine/URLParser.h"
#include "proxy/io/Data.h"
#include "proxy/io/Result.h"

namespace pemtrox {

class ConnectTunnel;
class HttpFields;
class ProxyConnection;
class ProxyEvent;
class ProxyHttp;
class RemoteConnection;
class RepeatingTimer;

/// Serves one accepted client connection for its whole life: reads each request head,
/// opens an exchange record for it, tells the listeners of each step and then forwards
/// the request over a reusable remote connection, or hands the connection to a
/// ConnectTunnel for good.
/// Failures end the exchange through finish(), which records the error and answers with an
/// error page or by ending the connection.
///
/// All work runs on the server's queue. The server holds the handler until its completion
/// runs, which happens exactly once.
class HttpProxyHandler : public AbstractSocketProxyHandler,
                         public ProxyHandler,
                         public std::enable_shared_from_this<HttpProxyHandler> {
public:
    /// Present in a CONNECT exchange's attributes: the tunnel's requests carry a raw host name.
    static constexpr const char* HOST_NAME_IS_RAW = "HttpProxyHandler.HOST_NAME_IS_RAW";

    static std::shared_ptr<HttpProxyHandler> make(std::shared_ptr<InternalProxyServer> server,
                                                  std::shared_ptr<ProxyConnection> client);
    HttpProxyHandler(std::shared_ptr<InternalProxyServer> server, std::shared_ptr<ProxyConnection> client);
    ~HttpProxyHandler() override;

    /// The time a client gets to deliver a whole request head, from the moment the handler
    /// waits for it; an idle or slow client is then disconnected. 60 s unless changed.
    static void setDefaultReadTimeout(std::chrono::duration<double> timeout);
    std::chrono::duration<double> readTimeout;

    void start(Completion completion) override { handle(std::move(completion)); }
    /// Closes the client connection (and the remote one), which ends any exchange in flight.
    void cancel() override;

    /// The reply to an exchange that failed: an error page, or nothing when the server is
    /// transparent, a CONNECT tunnel is already up, the error drops the connection, or the
    /// response was already under way. Always ends with the exception notification and the
    /// completion.
    void sendErrorResponse(const ErrorPtr& error, const std::shared_ptr<ProxyEvent>& evt);
    /// Client-side TLS failures of a tunnel as ProxyHandlerError::sslClientError; other
    /// errors unchanged.
    static ErrorPtr clientSSLError(const ErrorPtr& error);

    const std::shared_ptr<ProxyConnection>& client() const { return client_; }
    const std::shared_ptr<ProxyEvent>& evt() const { return evt_; }
    /// The connection toward the server, if any.
    const std::shared_ptr<RemoteConnection>& remote() const { return remote_; }
    /// Whether the handler has ended: its exchanges and any tunnel stop.
    bool isDone() const { return done_; }

    // The steps the CONNECT tunnel takes on the handler it serves: the tunnel drives the
    // connection from the CONNECT on, while the handler still owns the client and server
    // connections, the current exchange and the end.

    /// Ends the handler with the error (answered as sendErrorResponse says), or without one.
    virtual void finish(ErrorPtr error);
    /// Ends the handler without an error reply: the completion runs (once).
    void complete();
    /// Fills method and version from the request line; returns the request target.
    std::string readRequestFirstLine();
    /// Reads the client's next head under the read time-out.
    void readHead(std::function<void(Result<std::shared_ptr<HttpFields>>)> then);
    /// Connects `remote` for the current exchange. A client that goes meanwhile ends the
    /// exchange at once, and with it the lookup or connect in progress (it would otherwise
    /// hold a descriptor for the kernel's whole connect time).
    void connectRemote(const std::shared_ptr<RemoteConnection>& remote, RemoteConnectionCallback then);
    /// Hands the tunnel's client data to `remote` (for TLS toward the server: its handshake)
    /// under the same watch. The client's bytes are then a TLS handshake that only the proxy
    /// answers, after this step: a client that ended its side cannot finish it and has gone,
    /// whatever it sent before.
    void setTunnelClientData(const std::shared_ptr<RemoteConnection>& remote, RemoteConnectionCallback then);
    /// Makes `remote` the connection toward the server, closing the one before unless it is
    /// the same.
    void replaceRemote(std::shared_ptr<RemoteConnection> remote);
    /// Lets go of the connection toward the server without closing it, and returns it.
    std::shared_ptr<RemoteConnection> releaseRemote() { return std::exchange(remote_, nullptr); }
    /// The client connection from now on (the TLS layer over it, say).
    void replaceClient(std::shared_ptr<ProxyConnection> client) { client_ = std::move(client); }
    /// Makes `evt` the current exchange, its response not begun.
    void beginExchange(std::shared_ptr<ProxyEvent> evt) {
        evt_ = std::move(evt);
        responseStarted_ = false;
    }
    /// Leaves no exchange current: a head that fails to arrive is no part of the last one.
    void clearExchange() { evt_.reset(); }
    /// Forwards one request with `http`; `then` gets its outcome. A failed exchange keeps
    /// whether its response had begun, which decides the error reply.
    void runHttp(const std::shared_ptr<ProxyHttp>& http, const std::shared_ptr<HttpFields>& header,
                 std::function<void(bool mustClose, ErrorPtr error)> then);

protected:
    virtual void handle(Completion completion);
    virtual void handleRequest(std::shared_ptr<HttpFields> header);
    virtual void parseRequestURL(const std::string& target);
    virtual URLParser resolveRequestURL(const std::string& target);
    virtual std::shared_ptr<RemoteConnection> makeRemoteConnection();
    virtual void handleHttp();
    /// A CONNECT request whose target has been parsed: the tunnel takes over. Throws a
    /// listener's error.
    virtual void handleConnect();
    /// The tunnel of a CONNECT; a handler that intercepts TLS makes its own kind.
    virtual std::shared_ptr<ConnectTunnel> makeTunnel();

private:
    std::shared_ptr<ProxyConnection> client_;
    Completion completion_;
    std::shared_ptr<RemoteConnection> remote_;
    std::shared_ptr<ProxyEvent> evt_;

    bool done_ = false;
    bool responseStarted_ = false;
    std::shared_ptr<ProxyHttp> http_;
    std::shared_ptr<ConnectTunnel> tunnel_;

    void readNextHead();
    void onHead(Result<std::shared_ptr<HttpFields>> result);
    void armReadTimeout();
    void onReadTimer();
    void startProxyHttp(const std::shared_ptr<ProxyHttp>& http);
    /// Runs a step toward the server (`step` gets its completion) while the client is watched.
    void watchClientDuring(const std::function<void(RemoteConnectionCallback)>& step, bool tlsFromClient,
                           RemoteConnectionCallback then);
    void watchClientWhileConnecting();

    // Waiting for a request head, for the read timeout.
    bool headReadPending_ = false;
    std::chrono::steady_clock::time_point headReadStart_;
    std::shared_ptr<RepeatingTimer> readTimer_;
    // Steps toward the server in progress (of them, those whose end the client's TLS waits
    // for), for the client watch.
    int connectsPending_ = 0;
    int handshakesPending_ = 0;
    std::shared_ptr<RepeatingTimer> clientWatch_;
};

} // namespace pemtrox
