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
#include "proxy/engine/TunnelHandler.h"
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
                         public TunnelHandler,
                         public std::enable_shared_from_this<HttpProxyHandler> {
public:
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

    // TunnelHandler: the steps the CONNECT tunnel takes on the handler it serves.
    const std::shared_ptr<InternalProxyServer>& server() const override { return server_; }
    const std::shared_ptr<ProxyConnection>& client() const override { return client_; }
    const std::shared_ptr<ProxyEvent>& evt() const override { return evt_; }
    const std::shared_ptr<RemoteConnection>& remote() const override { return remote_; }
    bool isDone() const override { return done_; }
    /// Ends the handler with the error (answered as sendErrorResponse says), or without one.
    void finish(ErrorPtr error) override;
    void complete() override;
    std::string readRequestFirstLine() override;
    void readHead(std::function<void(Result<std::shared_ptr<HttpFields>>)> then) override;
    void connectRemote(const std::shared_ptr<RemoteConnection>& remote,
                       RemoteConnectionCallback then) override;
    void setTunnelClientData(const std::shared_ptr<RemoteConnection>& remote,
                             RemoteConnectionCallback then) override;
    void replaceRemote(std::shared_ptr<RemoteConnection> remote) override;
    std::shared_ptr<RemoteConnection> releaseRemote() override { return std::exchange(remote_, nullptr); }
    void replaceClient(std::shared_ptr<ProxyConnection> client) override { client_ = std::move(client); }
    void beginExchange(std::shared_ptr<ProxyEvent> evt) override {
        evt_ = std::move(evt);
        responseStarted_ = false;
    }
    void clearExchange() override { evt_.reset(); }
    void runHttp(const std::shared_ptr<ProxyHttp>& http, const std::shared_ptr<HttpFields>& header,
                 std::function<void(bool mustClose, ErrorPtr error)> then) override;
    void afterExchange(const std::shared_ptr<ProxyEvent>& ended, std::function<void()> next) override;

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
