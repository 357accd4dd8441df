#include "proxy/engine/ConnectTunnel.h"

#include "platform/TlsEngine.h"
#include "proxy/engine/ConnectRemoteConnection.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpReaderHeaderError.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyHandlerError.h"
#include "proxy/engine/TunnelHandler.h"
#include "proxy/engine/TunnelPeek.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/SSLSocketWrapperError.h"

namespace pemtrox {

namespace {

const char* const connectionEstablished = "HTTP/1.0 200 Connection established\r\n\r\n";

/// The CONNECT port decides the scheme.
void applySchemeForPort(ProxyEvent& evt, const std::string& defaultScheme) {
    auto port = *evt.port;
    if (port == 443 || port == 8443)
        evt.scheme = "https";
    else if (port == 80 || port == 8080)
        evt.scheme = "http";
    else {
        evt.scheme = defaultScheme;
        return;
    }
    if ((port == 80 && *evt.scheme == "http") || (port == 443 && *evt.scheme == "https"))
        evt.port.reset();
}

/// Line ends, then a run of upper-case letters and a blank: an HTTP request.
bool looksLikeHttp(const Data& bytes) {
    bool word = false;
    for (auto b : bytes) {
        if (!word) {
            if (b == '\r' || b == '\n')
                continue;
            if (b >= 'A' && b <= 'Z') {
                word = true;
                continue;
            }
            return false;
        }
        if (b >= 'A' && b <= 'Z')
            continue;
        return b == ' ';
    }
    return word;
}

using HeadResult = Result<std::shared_ptr<HttpFields>>;

} // namespace

std::shared_ptr<ConnectTunnel> ConnectTunnel::make(std::shared_ptr<TunnelHandler> handler) {
    return Plumber::make<ConnectTunnel>(std::move(handler));
}

ConnectTunnel::ConnectTunnel(std::shared_ptr<TunnelHandler> handler) : handler_(std::move(handler)) {}

ConnectTunnel::~ConnectTunnel() = default;

void ConnectTunnel::detach() {
    handler_.reset();
}

bool ConnectTunnel::ended() const {
    return !handler_ || handler_->isDone();
}

const std::shared_ptr<InternalProxyServer>& ConnectTunnel::server() const {
    return handler_->server();
}

const std::shared_ptr<ProxyEvent>& ConnectTunnel::evt() const {
    return handler_->evt();
}

const std::shared_ptr<ProxyConnection>& ConnectTunnel::client() const {
    return handler_->client();
}

const std::shared_ptr<RemoteConnection>& ConnectTunnel::remote() const {
    return handler_->remote();
}

void ConnectTunnel::finish(ErrorPtr error) {
    if (auto handler = handler_)
        handler->finish(std::move(error));
}

std::shared_ptr<RemoteConnection>
ConnectTunnel::makeConnectRemoteConnection(std::shared_ptr<InternalProxyServer> server,
                                           std::shared_ptr<ProxyEvent> evt) {
    return ConnectRemoteConnection::make(std::move(server), std::move(evt));
}

void ConnectTunnel::wrapClient(std::shared_ptr<RemoteConnection>, std::shared_ptr<ProxyEvent>,
                               std::shared_ptr<ProxyConnection> client,
                               std::function<void(ProxyConnectionState)> callback) {
    callback(ProxyConnectionState::connected(std::move(client)));
}

// MARK: the CONNECT exchange

void ConnectTunnel::start() {
    // Before the client's next read: its end must not close the socket under a tunnel.
    clientHalfClose_ = client()->allowHalfClose();
    auto& evt = *this->evt();
    applySchemeForPort(evt, "https");
    scheme_ = evt.scheme;
    defaultPort_ = evt.defaultPort;
    host_ = evt.host;
    port_ = evt.port;
    server()->notifyReceivedRequestAddress(this->evt());
    // A connection of earlier plain requests is never the tunnel's: the tunnel's server must
    // not see the bytes of an HTTP exchange, nor a plain exchange those of a tunnel.
    handler_->replaceRemote(evt.overrideRemoteConnection
                                ? evt.overrideRemoteConnection
                                : makeConnectRemoteConnection(server(), this->evt()));
    auto self = shared_from_this();
    auto chosen = remote();
    handler_->connectRemote(chosen, [self, chosen](RemoteConnectionState state) {
        if (self->ended() || self->remote() != chosen)
            return;
        if (!state.isConnected()) {
            self->finish(state.error());
            return;
        }
        // Before the server's first read: its end must not close the socket under a tunnel.
        self->allowHalfClose();
        self->connectEstablished();
    });
}

void ConnectTunnel::connectEstablished() {
    if (server()->transparent()) {
        afterClientData();
        return;
    }
    auto self = shared_from_this();
    client()->outputStream()->write(toData(connectionEstablished), true,
                                    [self](OutputStreamWriteHandlerResult result) {
                                        if (self->ended())
                                            return;
                                        // `wait` means the reply was taken as well.
                                        if (result.isError())
                                            self->finish(result.error());
                                        else
                                            self->afterClientData();
                                    });
}

void ConnectTunnel::afterClientData() {
    auto self = shared_from_this();
    handler_->setTunnelClientData(remote(), [self](RemoteConnectionState state) {
        if (self->ended())
            return;
        if (!state.isConnected()) {
            // The server's side failed (its certificate did not verify, say): its own error
            // tells what happened, not a client-side reading of its status.
            self->finish(state.error());
            return;
        }
        self->wrapClient(self->remote(), self->evt(), self->client(), [self](ProxyConnectionState wrapped) {
            if (self->ended())
                return;
            if (!wrapped.isConnected()) {
                self->finish(clientSSLError(wrapped.error()));
                return;
            }
            self->handler_->replaceClient(wrapped.connection());
            self->firstBytesTest();
        });
    });
}

// MARK: first bytes

void ConnectTunnel::firstBytesTest() {
    std::weak_ptr<ConnectTunnel> weak = shared_from_this();
    peek_ = std::make_shared<TunnelPeek>();
    peekWaitingForClient_ = true;
    if (auto serverIn = remote()->remoteIn()) {
        std::weak_ptr<HttpInputStream> weakIn = serverIn;
        auto peek = peek_;
        serverIn->handler([weak, weakIn, peek](InputStreamEvent event, InputStreamReply reply) {
            if (event.isData())
                if (auto in = weakIn.lock())
                    in->unread(event.data());
            reply(InputStreamHandlerResult::done);
            if (peek->resolved)
                return;
            auto self = weak.lock();
            bool serverFirst = event.isData() && self && !self->ended() && self->peekWaitingForClient_;
            peek->resolve();
            if (serverFirst)
                self->startRawTunnel(self->remote(), true);
        });
        serverIn->read();
    } else {
        peek_->resolve();
    }
    auto clientIn = client()->inputStream();
    std::weak_ptr<HttpInputStream> weakClientIn = clientIn;
    clientIn->handler([weak, weakClientIn](InputStreamEvent event, InputStreamReply reply) {
        if (event.isData())
            if (auto in = weakClientIn.lock())
                in->unread(event.data()); // whoever reads next gets them first
        reply(InputStreamHandlerResult::done);
        if (auto self = weak.lock(); self && !self->ended())
            self->onClientFirstBytes(std::move(event));
    });
    // At most 20 bytes: a shorter first message must not wait for more.
    clientIn->read(20);
}

void ConnectTunnel::onClientFirstBytes(InputStreamEvent event) {
    peekWaitingForClient_ = false;
    if (relay_) {
        // The server spoke first and the raw tunnel is running: the client side joins now.
        startCopyOut();
        return;
    }
    if (event.isError()) {
        startTunnelRequests(HeadResult::failure(event.error()));
    } else if (event.isEof()) {
        startTunnelRequests(HeadResult::failure(makeError<InputStreamError>(InputStreamError::eof())));
    } else if (looksLikeHttp(event.data())) {
        auto self = shared_from_this();
        client()->inputStream()->readHeader([self](HeadResult head) { self->startTunnelRequests(head); });
    } else {
        startTunnelRequests(
            HeadResult::failure(makeError<HttpReaderHeaderError>(HttpReaderHeaderError::notValidHeader())));
    }
}

void ConnectTunnel::startTunnelRequests(HeadResult head) {
    if (ended())
        return;
    if (!head.isSuccess()) {
        auto error = head.error();
        if (!HttpReaderHeaderError::is(error)) {
            finish(error);
        } else if (evt()->status == ProxyEventStatus::complete ||
                   evt()->status == ProxyEventStatus::exception) {
            finish(nullptr); // nothing more to do, but the handler must still end
        } else {
            handleTunnel(remote());
        }
        return;
    }
    nextTunnelRequest(head.value(), evt(), true);
}

// MARK: errors of the client side

ErrorPtr ConnectTunnel::clientSSLError(const ErrorPtr& error) {
    auto status = tlsStatusOf(error);
    if (!status)
        return error;
    switch (*status) {
    case TlsEngine::closedAbort:
        return makeError<ProxyHandlerError>(
            ProxyHandlerError::sslClientError("Client connection closed via error"));
    case TlsEngine::peerRejectedCertificate:
        return makeError<ProxyHandlerError>(
            ProxyHandlerError::sslClientError("Client rejected SSL CA certificate"));
    default:
        return makeError<ProxyHandlerError>(
            ProxyHandlerError::sslClientError("Client error " + std::to_string(*status)));
    }
}

} // namespace pemtrox
