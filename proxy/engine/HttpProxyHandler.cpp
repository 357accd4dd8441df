#include "proxy/engine/HttpProxyHandler.h"

#include <atomic>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/engine/ConnectData.h"
#include "proxy/engine/ConnectTunnel.h"
#include "proxy/engine/FieldsError.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpFraming.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpRemoteConnection.h"
#include "proxy/engine/HttpText.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyHandlerError.h"
#include "proxy/engine/ProxyHttp.h"
#include "proxy/engine/ProxyHttpError.h"
#include "proxy/engine/RemoteConnectionErrors.h"
#include "proxy/engine/VornellHttpErrorError.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/SSLSocketWrapperError.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {

namespace {

std::atomic<double> defaultReadTimeoutSeconds{60.0};

bool isPlain(const std::optional<std::string>& scheme) {
    return scheme && (equalsIgnoringCase(*scheme, "http") || equalsIgnoringCase(*scheme, "ws"));
}
bool isSecure(const std::optional<std::string>& scheme) {
    return scheme && (equalsIgnoringCase(*scheme, "https") || equalsIgnoringCase(*scheme, "wss"));
}

} // namespace

std::shared_ptr<HttpProxyHandler> HttpProxyHandler::make(std::shared_ptr<InternalProxyServer> server,
                                                         std::shared_ptr<ProxyConnection> client) {
    return Plumber::make<HttpProxyHandler>(std::move(server), std::move(client));
}

HttpProxyHandler::HttpProxyHandler(std::shared_ptr<InternalProxyServer> server,
                                   std::shared_ptr<ProxyConnection> client)
    : AbstractSocketProxyHandler(std::move(server)), readTimeout(defaultReadTimeoutSeconds.load()),
      client_(std::move(client)) {}

HttpProxyHandler::~HttpProxyHandler() {
    if (readTimer_)
        readTimer_->cancel();
    if (clientWatch_)
        clientWatch_->cancel();
}

void HttpProxyHandler::setDefaultReadTimeout(std::chrono::duration<double> timeout) {
    defaultReadTimeoutSeconds = timeout.count();
}

void HttpProxyHandler::cancel() {
    auto self = shared_from_this(); // closing may complete the handler
    // A stopping server resets its connections: bytes queued for a peer that does not read
    // would keep a socket, and with it its queue, alive for good.
    if (auto remote = remote_)
        remote->reset();
    if (auto client = client_)
        client->reset();
    if (auto remote = remote_)
        remote->close();
    if (auto client = client_)
        client->close();
}

// MARK: request heads

void HttpProxyHandler::handle(Completion completion) {
    completion_ = std::move(completion);
    evt_.reset();
    readNextHead();
}

void HttpProxyHandler::readNextHead() {
    auto self = shared_from_this();
    readHead([self](Result<std::shared_ptr<HttpFields>> result) { self->onHead(std::move(result)); });
}

void HttpProxyHandler::readHead(std::function<void(Result<std::shared_ptr<HttpFields>>)> then) {
    headReadPending_ = true;
    headReadStart_ = std::chrono::steady_clock::now();
    armReadTimeout();
    auto self = shared_from_this();
    client_->inputStream()->readHeader(
        [self, then = std::move(then)](Result<std::shared_ptr<HttpFields>> result) {
            self->headReadPending_ = false;
            then(std::move(result));
        });
}

void HttpProxyHandler::onHead(Result<std::shared_ptr<HttpFields>> result) {
    if (done_)
        return;
    if (result.isSuccess()) {
        handleRequest(result.value());
        return;
    }
    if (InputStreamError::is(result.error(), InputStreamError::Kind::eof)) {
        // The client closed its connection, typically between kept-alive requests.
        if (remote_) {
            remote_->close();
            remote_.reset();
        }
        complete();
        return;
    }
    if (FieldsError::is(result.error())) {
        // A head refused for its form or a limit is answered, so the client learns why.
        evt_ = ProxyEvent::make(server_, *client_);
        evt_->startTime = std::chrono::system_clock::now();
        server_->notifyTransactionConnect(evt_);
    }
    finish(result.error());
}

// One timer per handler, re-armed only when it fires: waiting for a head costs no timer
// of its own on a busy kept-alive connection.
void HttpProxyHandler::armReadTimeout() {
    if (readTimer_ || readTimeout.count() <= 0)
        return;
    std::weak_ptr<HttpProxyHandler> weak = shared_from_this();
    readTimer_ = server_->queue()->after(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(readTimeout), [weak] {
            if (auto self = weak.lock())
                self->onReadTimer();
        });
}

void HttpProxyHandler::onReadTimer() {
    readTimer_.reset();
    if (done_ || !headReadPending_)
        return;
    auto waited = std::chrono::steady_clock::now() - headReadStart_;
    if (waited >= readTimeout) {
        LOG_DEBUG("Closing a client that sent no request head within {} s", readTimeout.count());
        client_->close(); // the head read then ends, and with it the handler
        return;
    }
    std::weak_ptr<HttpProxyHandler> weak = shared_from_this();
    readTimer_ = server_->queue()->after(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(readTimeout - waited), [weak] {
            if (auto self = weak.lock())
                self->onReadTimer();
        });
}

void HttpProxyHandler::handleRequest(std::shared_ptr<HttpFields> header) {
    evt_ = ProxyEvent::make(server_, *client_);
    responseStarted_ = false;
    evt_->startTime = header->receiveTime;
    server_->notifyTransactionConnect(evt_);
    evt_->requestHeader = header;
    evt_->requestHeaderSize = header->rawSize;
    try {
        auto target = readRequestFirstLine();
        if (*evt_->method == "CONNECT") {
            auto colon = target.find(':');
            if (colon == std::string::npos)
                throw ProxyHandlerError::invalidConnectRequest(target);
            auto port = parseDecimal(std::string_view(target).substr(colon + 1));
            // A port outside 1...65535 must never reach the socket layer.
            if (!port || !isValidPort(*port))
                throw ProxyHandlerError::invalidConnectRequest(target);
            evt_->host = target.substr(0, colon);
            evt_->port = port;
            evt_->defaultPort = port;
            handleConnect();
            return;
        }
        parseRequestURL(target);
        server_->notifyReceivedRequestAddress(evt_);
        server_->notifyReceivedRequestURL(evt_);
        server_->notifyReceivedRequestHeader(evt_);
        if (evt_->overrideRemoteConnection) {
            if (remote_ && remote_ != evt_->overrideRemoteConnection)
                remote_->close();
            remote_ = evt_->overrideRemoteConnection;
            handleHttp();
            return;
        }
        if (!evt_->scheme)
            throw ProxyHandlerError::noScheme();
        if (isPlain(evt_->scheme))
            handleHttp();
        else if (isSecure(evt_->scheme))
            throw ProxyHandlerError::unimplemented("https");
        else
            throw ProxyHandlerError::unsupportedScheme(*evt_->scheme);
    } catch (...) {
        finish(currentError());
    }
}

std::string HttpProxyHandler::readRequestFirstLine() {
    auto head = evt_->httpRequestHeader();
    if (!head)
        throw ProxyHandlerError::notHttpFields();
    const auto& line = head->parsedRequest();
    evt_->method = line.method;
    evt_->protocolVersion = line.protocolVersion;
    return line.requestString;
}

void HttpProxyHandler::parseRequestURL(const std::string& target) {
    auto r = resolveRequestURL(target);
    if (r.port && !isValidPort(*r.port))
        throw ProxyHandlerError::malformedRequestURL(target);
    evt_->host = r.host;
    evt_->port = r.port;
    evt_->setPath(r.path);
    evt_->setQuery(r.query);
    evt_->scheme = r.scheme;
    if (isPlain(r.scheme))
        evt_->defaultPort = 80;
    else if (isSecure(r.scheme))
        evt_->defaultPort = 443;
    else
        evt_->defaultPort.reset();
}

URLParser HttpProxyHandler::resolveRequestURL(const std::string& target) {
    if (target.starts_with("/")) {
        if (!server_->transparent() && !server_->supportsTransparent())
            throw ProxyHandlerError::malformedRequestURL(target);
        auto head = evt_->httpRequestHeader();
        auto host = head ? head->value("Host") : std::nullopt;
        if (!host)
            throw ProxyHandlerError::malformedRequestURL(target);
        auto url = "http://" + std::string(*host) + target;
        auto parsed = URLParser::parse(url);
        if (!parsed)
            throw ProxyHandlerError::malformedRequestURL(url);
        return *parsed;
    }
    auto parsed = URLParser::parse(target);
    if (!parsed || !parsed->host)
        throw ProxyHandlerError::malformedRequestURL(target);
    return *parsed;
}

// MARK: CONNECT

std::shared_ptr<ConnectTunnel> HttpProxyHandler::makeTunnel() {
    return ConnectTunnel::make(shared_from_this());
}

void HttpProxyHandler::handleConnect() {
    tunnel_ = makeTunnel();
    tunnel_->start();
}

// MARK: connecting

namespace {
// How often a client is looked at while its server is being connected to.
constexpr auto clientWatchInterval = std::chrono::milliseconds(250);
} // namespace

void HttpProxyHandler::connectRemote(const std::shared_ptr<RemoteConnection>& remote,
                                     RemoteConnectionCallback then) {
    auto evt = evt_;
    watchClientDuring([&](RemoteConnectionCallback done) { remote->connect(evt, std::move(done)); }, false,
                      std::move(then));
}

void HttpProxyHandler::setTunnelClientData(const std::shared_ptr<RemoteConnection>& remote,
                                           RemoteConnectionCallback then) {
    auto evt = evt_;
    watchClientDuring(
        [&](RemoteConnectionCallback done) {
            remote->setClientData(evt, ConnectData::make(), std::move(done));
        },
        true, std::move(then));
}

void HttpProxyHandler::watchClientDuring(const std::function<void(RemoteConnectionCallback)>& step,
                                         bool tlsFromClient, RemoteConnectionCallback then) {
    ++connectsPending_;
    if (tlsFromClient)
        ++handshakesPending_;
    watchClientWhileConnecting();
    auto self = shared_from_this();
    step([self, tlsFromClient, then = std::move(then)](RemoteConnectionState state) {
        if (tlsFromClient)
            --self->handshakesPending_;
        if (--self->connectsPending_ == 0 && self->clientWatch_) {
            self->clientWatch_->cancel();
            self->clientWatch_.reset();
        }
        then(std::move(state));
    });
}

void HttpProxyHandler::watchClientWhileConnecting() {
    if (clientWatch_ || done_)
        return;
    std::weak_ptr<HttpProxyHandler> weak = shared_from_this();
    clientWatch_ = server_->queue()->after(clientWatchInterval, [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        self->clientWatch_.reset();
        if (self->done_ || self->connectsPending_ == 0)
            return;
        // A client that sent more than its head (a body, a tunnel's first bytes) before it
        // ended its side may still wait for the answer, unless that is a TLS handshake.
        auto client = self->client_;
        if (client && (self->handshakesPending_ > 0 ? client->peerHasEnded() : client->peerHasGone())) {
            LOG_DEBUG("The client went while its server was being connected to");
            client->close();
            self->finish(makeError<SocketError>(SocketError::connectionClosedByPeer()));
            return;
        }
        self->watchClientWhileConnecting();
    });
}

// MARK: plain forwarding

std::shared_ptr<RemoteConnection> HttpProxyHandler::makeRemoteConnection() {
    if (!remote_)
        return HttpRemoteConnection::make(server_);
    evt_->keptAlive = true;
    if (remote_->reconnectRequired(*evt_))
        remote_->close(); // its next connect opens a new socket
    return remote_;
}

void HttpProxyHandler::handleHttp() {
    // A body the proxy cannot frame is refused before any server is contacted.
    if (auto header = evt_->httpRequestHeader()) {
        try {
            HttpFraming::requestFraming(*header);
        } catch (...) {
            finish(currentError());
            return;
        }
    }
    remote_ = makeRemoteConnection();
    auto http = ProxyHttp::make(server_, evt_, client_, remote_, server_->transparent());
    if (remote_->isConnected()) {
        remote_->updateEvent(*evt_);
        startProxyHttp(http);
        return;
    }
    auto self = shared_from_this();
    auto remote = remote_;
    connectRemote(remote, [self, http, remote](RemoteConnectionState state) {
        if (self->done_ || self->remote_ != remote) {
            remote->close();
            return;
        }
        if (!state.isConnected()) {
            self->finish(state.error());
            return;
        }
        remote->setClientData(self->evt_, ConnectData::make(), [self, http](RemoteConnectionState data) {
            if (!data.isConnected())
                self->finish(data.error());
            else
                self->startProxyHttp(http);
        });
    });
}

void HttpProxyHandler::startProxyHttp(const std::shared_ptr<ProxyHttp>& http) {
    auto header = evt_->httpRequestHeader();
    if (!header) {
        auto error = makeError<ProxyHttpError>(ProxyHttpError::nonHttpRequestHeader());
        LOG_WARNING("Error from ProxyHttp: {}", describe(error));
        finish(error);
        return;
    }
    auto self = shared_from_this();
    runHttp(http, header, [self](bool mustClose, ErrorPtr error) {
        if (error) {
            LOG_WARNING("Error from ProxyHttp: {}", describe(error));
            self->finish(std::move(error));
        } else if (!mustClose) {
            // A connection a listener supplied served this request only; the next one must
            // not be sent to it.
            if (self->remote_ && self->remote_ == self->evt_->overrideRemoteConnection) {
                self->remote_->close();
                self->remote_.reset();
            }
            auto ended = std::exchange(self->evt_, nullptr);
            std::weak_ptr<HttpProxyHandler> weak = self;
            self->afterExchange(ended, [weak] {
                if (auto handler = weak.lock())
                    handler->readNextHead();
            });
        } else {
            self->finish(nullptr);
        }
    });
}

void HttpProxyHandler::runHttp(const std::shared_ptr<ProxyHttp>& http,
                               const std::shared_ptr<HttpFields>& header,
                               std::function<void(bool mustClose, ErrorPtr error)> then) {
    http_ = http;
    // Weakly: whoever waits for the outcome holds what it needs.
    std::weak_ptr<HttpProxyHandler> weak = shared_from_this();
    http->start(header, [weak, http, then = std::move(then)](bool mustClose, ErrorPtr error) {
        if (auto self = weak.lock()) {
            self->http_.reset();
            if (error)
                self->responseStarted_ = http->responseStarted();
        }
        then(mustClose, std::move(error));
    });
}

// The one place where a connection waits between two exchanges, plain or inside a tunnel
// (bodies wait in StreamCopier).
void HttpProxyHandler::afterExchange(const std::shared_ptr<ProxyEvent>& ended, std::function<void()> next) {
    std::weak_ptr<HttpProxyHandler> weak = shared_from_this();
    ended->pause()->whenRunning([weak, next = std::move(next)] {
        auto handler = weak.lock();
        if (handler && !handler->done_)
            next();
    });
}

void HttpProxyHandler::replaceRemote(std::shared_ptr<RemoteConnection> remote) {
    if (remote_ && remote_ != remote)
        remote_->close();
    remote_ = std::move(remote);
}

// MARK: ending

void HttpProxyHandler::finish(ErrorPtr error) {
    if (done_)
        return;
    done_ = true;
    if (auto remote = std::exchange(remote_, nullptr))
        remote->close();
    if (error && evt_) {
        evt_->exception = error;
        if (!evt_->endTime)
            evt_->endTime = std::chrono::system_clock::now();
        sendErrorResponse(error, evt_);
        return;
    }
    complete();
}

void HttpProxyHandler::complete() {
    auto self = shared_from_this();
    done_ = true;
    if (auto watch = std::exchange(clientWatch_, nullptr))
        watch->cancel();
    // The tunnel holds its handler until here.
    if (auto tunnel = std::exchange(tunnel_, nullptr))
        tunnel->detach();
    if (readTimer_) {
        readTimer_->cancel();
        readTimer_.reset();
    }
    if (auto completion = std::exchange(completion_, nullptr))
        completion(self);
}

void HttpProxyHandler::sendErrorResponse(const ErrorPtr& error, const std::shared_ptr<ProxyEvent>& evt) {
    auto self = shared_from_this();
    auto end = [self, evt] {
        self->server_->notifyTransactionException(evt);
        self->complete();
    };
    // A malformed head gets a page although its exchange has no method; any other exchange
    // without a start or a method gets none, but is still reported and ends the connection.
    bool malformed = FieldsError::is(error);
    bool page = evt->startTime && (evt->method || malformed) && !server_->transparent() &&
                !shouldDropConnection(error) && !responseStarted_ &&
                !(evt->method == "CONNECT" && evt->status >= ProxyEventStatus::connected);
    if (!page) {
        end();
        return;
    }
    ProxyHttp::writeErrorResponse(server_, evt, useServiceUnavailable(error), reportingTitle(error),
                                  error->description(), true, true, client_,
                                  [end](OutputStreamWriteHandlerResult) { end(); });
}

} // namespace pemtrox
