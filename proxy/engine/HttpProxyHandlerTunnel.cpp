// The CONNECT side of HttpProxyHandler: the tunnel reply, the first-bytes test, requests
// inside a tunnel and the raw tunnel.
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/TlsEngine.h"
#include "proxy/engine/ConnectData.h"
#include "proxy/engine/ConnectRemoteConnection.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpProxyHandler.h"
#include "proxy/engine/HttpReaderHeaderError.h"
#include "proxy/engine/HttpText.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyHandlerError.h"
#include "proxy/engine/ProxyHttp.h"
#include "proxy/engine/ProxyHttpError.h"
#include "proxy/engine/RemoteConnectionErrors.h"
#include "proxy/engine/RequestStreamCopier.h"
#include "proxy/engine/ResponseStreamCopier.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InputStreamError.h"
#include "proxy/io/SSLSocketWrapperError.h"

namespace pemtrox {

/// The read of the server's first bytes that runs while the handler waits for the
/// client's: a server that speaks first (SMTP, FTP, IMAP) sends the tunnel straight to the
/// opaque copy. Its bytes are put back into the server's stream, and whoever reads the
/// server next waits until the read has been answered.
class TunnelPeek {
public:
    bool resolved = false;
    void whenResolved(std::function<void()> then) {
        if (resolved)
            then();
        else
            waiting_.push_back(std::move(then));
    }
    void resolve() {
        resolved = true;
        auto waiting = std::move(waiting_);
        for (auto& then : waiting)
            then();
    }

private:
    std::vector<std::function<void()>> waiting_;
};

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

enum class FirstBytes { http, other };

/// Line ends, then a run of upper-case letters and a blank: an HTTP request.
FirstBytes classify(const Data& bytes) {
    bool word = false;
    for (auto b : bytes) {
        if (!word) {
            if (b == '\r' || b == '\n')
                continue;
            if (b >= 'A' && b <= 'Z') {
                word = true;
                continue;
            }
            return FirstBytes::other;
        }
        if (b >= 'A' && b <= 'Z')
            continue;
        return b == ' ' ? FirstBytes::http : FirstBytes::other;
    }
    return word ? FirstBytes::http : FirstBytes::other;
}

} // namespace

std::shared_ptr<RemoteConnection>
HttpProxyHandler::makeConnectRemoteConnection(std::shared_ptr<InternalProxyServer> server,
                                              std::shared_ptr<ProxyEvent> evt) {
    return ConnectRemoteConnection::make(std::move(server), std::move(evt));
}

void HttpProxyHandler::wrapClient(std::shared_ptr<RemoteConnection>, std::shared_ptr<ProxyEvent>,
                                  std::shared_ptr<ProxyConnection> client,
                                  std::function<void(ProxyConnectionState)> callback) {
    callback(ProxyConnectionState::connected(std::move(client)));
}

void HttpProxyHandler::handleConnect() {
    applySchemeForPort(*evt_, "https");
    tunnelScheme_ = evt_->scheme;
    tunnelDefaultPort_ = evt_->defaultPort;
    tunnelHost_ = evt_->host;
    tunnelPort_ = evt_->port;
    server_->notifyReceivedRequestAddress(evt_);
    if (evt_->overrideRemoteConnection) {
        if (remote_ && remote_ != evt_->overrideRemoteConnection)
            remote_->close();
        remote_ = evt_->overrideRemoteConnection;
    } else if (!remote_) {
        remote_ = makeConnectRemoteConnection(server_, evt_);
    } else {
        if (remote_->reconnectRequired(*evt_))
            remote_->close();
        if (auto tunnel = std::dynamic_pointer_cast<ConnectRemoteConnection>(remote_))
            tunnel->sourceEvent = evt_;
    }
    auto self = shared_from_this();
    auto remote = remote_;
    remote->connect(evt_, [self, remote](RemoteConnectionState state) {
        if (self->done_ || self->remote_ != remote)
            return;
        if (!state.isConnected()) {
            self->finish(state.error());
            return;
        }
        self->connectEstablished();
    });
}

void HttpProxyHandler::connectEstablished() {
    if (server_->transparent()) {
        afterClientData();
        return;
    }
    auto self = shared_from_this();
    client_->outputStream()->write(toData(connectionEstablished), true,
                                   [self](OutputStreamWriteHandlerResult result) {
                                       // `wait` means the reply was taken as well.
                                       if (result.isError())
                                           self->finish(result.error());
                                       else
                                           self->afterClientData();
                                   });
}

void HttpProxyHandler::afterClientData() {
    auto self = shared_from_this();
    auto wrap = [self] {
        if (self->done_)
            return;
        self->wrapClient(self->remote_, self->evt_, self->client_, [self](ProxyConnectionState state) {
            if (self->done_)
                return;
            if (!state.isConnected()) {
                self->finish(clientSSLError(state.error()));
                return;
            }
            self->client_ = state.connection();
            self->firstBytesTest();
        });
    };
    if (auto tunnel = std::dynamic_pointer_cast<ConnectRemoteConnection>(remote_)) {
        tunnel->setClientData(evt_, ConnectData::make(), [self, wrap](RemoteConnectionState state) {
            if (!state.isConnected())
                self->finish(clientSSLError(state.error()));
            else
                wrap();
        });
        return;
    }
    wrap();
}

// MARK: first bytes

void HttpProxyHandler::firstBytesTest() {
    auto self = shared_from_this();
    std::weak_ptr<HttpProxyHandler> weak = self;
    peek_ = std::make_shared<TunnelPeek>();
    peekWaitingForClient_ = true;
    if (auto serverIn = remote_->remoteIn()) {
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
            bool serverFirst = event.isData() && self && !self->done_ && self->peekWaitingForClient_;
            peek->resolve();
            if (serverFirst)
                self->startRawTunnel(self->remote_, true);
        });
        serverIn->read();
    } else {
        peek_->resolve();
    }
    auto clientIn = client_->inputStream();
    std::weak_ptr<HttpInputStream> weakClientIn = clientIn;
    clientIn->handler([weak, weakClientIn](InputStreamEvent event, InputStreamReply reply) {
        auto self = weak.lock();
        auto in = weakClientIn.lock();
        if (event.isData() && in)
            in->unread(event.data()); // whoever reads next gets them first
        reply(InputStreamHandlerResult::done);
        if (!self || self->done_)
            return;
        self->peekWaitingForClient_ = false;
        if (self->copyOut_) {
            // The server spoke first and the raw tunnel is running: the client side joins now.
            self->startCopyOut();
            return;
        }
        if (event.isError()) {
            self->startTunnelRequests(Result<std::shared_ptr<HttpFields>>::failure(event.error()));
        } else if (event.isEof()) {
            self->startTunnelRequests(Result<std::shared_ptr<HttpFields>>::failure(
                makeError<InputStreamError>(InputStreamError::eof())));
        } else if (classify(event.data()) == FirstBytes::http) {
            in->readHeader(
                [self](Result<std::shared_ptr<HttpFields>> head) { self->startTunnelRequests(head); });
        } else {
            self->startTunnelRequests(Result<std::shared_ptr<HttpFields>>::failure(
                makeError<HttpReaderHeaderError>(HttpReaderHeaderError::notValidHeader())));
        }
    });
    // At most 20 bytes: a shorter first message must not wait for more.
    clientIn->read(20);
}

void HttpProxyHandler::startTunnelRequests(Result<std::shared_ptr<HttpFields>> head) {
    if (done_)
        return;
    if (!head.isSuccess()) {
        auto error = head.error();
        if (!dynamic_cast<const HttpReaderHeaderError*>(error.get())) {
            finish(error);
        } else if (evt_->status == ProxyEventStatus::complete ||
                   evt_->status == ProxyEventStatus::exception) {
            finish(nullptr); // nothing more to do, but the handler must still end
        } else {
            handleTunnel(remote_);
        }
        return;
    }
    nextTunnelRequest(head.value(), evt_, true);
}

// MARK: HTTP inside the tunnel

void HttpProxyHandler::nextTunnelRequest(const std::shared_ptr<HttpFields>& head,
                                         const std::shared_ptr<ProxyEvent>& previous, bool first) {
    if (first)
        server_->notifyTransactionCancelled(previous); // the inner requests are recorded instead
    auto evt = ProxyEvent::makeFollowing(*previous);
    evt->scheme = tunnelScheme_;
    evt->defaultPort = tunnelDefaultPort_;
    evt->host = tunnelHost_;
    evt->port = tunnelPort_;
    evt->startTime = head->receiveTime;
    if (first) {
        evt->dnsDuration = previous->dnsDuration;
        evt->connectDuration = previous->connectDuration;
        evt->sslDuration = previous->sslDuration;
    } else {
        evt->keptAlive = true;
    }
    evt->cipherSuite = previous->cipherSuite;
    evt->sslProtocol = previous->sslProtocol;
    evt_ = evt;
    responseStarted_ = false;
    server_->notifyTransactionConnect(evt_);
    bool hostNameIsRaw = previous->attributes.contains(HOST_NAME_IS_RAW);
    try {
        handleTunnelRequest(head, hostNameIsRaw);
    } catch (...) {
        finish(currentError());
        return;
    }
    std::shared_ptr<RemoteConnection> remote;
    if (evt_->overrideRemoteConnection) {
        remote = evt_->overrideRemoteConnection;
    } else {
        remote = remote_;
        if (remote->reconnectRequired(*evt_)) {
            // The server closed the tunnel's connection (or the request names another
            // server): a new connection serves the tunnel from now on.
            auto old = std::dynamic_pointer_cast<ConnectRemoteConnection>(remote);
            auto data = ConnectData::make();
            if (old && old->clientData)
                data->supportedProtocols = old->clientData->supportedProtocols;
            remote->close();
            remote_ = makeConnectRemoteConnection(server_, evt_);
            auto fresh = remote_;
            auto self = shared_from_this();
            fresh->connect(evt_, [self, fresh, data](RemoteConnectionState state) {
                if (self->done_ || self->remote_ != fresh)
                    return;
                if (!state.isConnected()) {
                    self->finish(state.error());
                    return;
                }
                auto tunnel = std::dynamic_pointer_cast<ConnectRemoteConnection>(fresh);
                if (!tunnel) {
                    self->handleTunnelHttp(fresh);
                    return;
                }
                tunnel->setClientData(self->evt_, data, [self, fresh](RemoteConnectionState set) {
                    if (!set.isConnected())
                        self->finish(set.error());
                    else
                        self->handleTunnelHttp(fresh);
                });
            });
            return;
        }
        remote->updateEvent(*evt_);
    }
    handleTunnelHttp(remote);
}

void HttpProxyHandler::handleTunnelRequest(std::shared_ptr<HttpFields> header, bool) {
    if (auto index = header->indexOfField("Proxy-Connection")) {
        evt_->addToListAttribute(ProxyEvent::NotesAttribute,
                                 "Removed invalid header: Proxy-Connection: " + header->fields[*index].value);
        std::erase_if(header->fields,
                      [](const Field& f) { return equalsIgnoringCase(f.name, "Proxy-Connection"); });
    }
    evt_->requestHeader = header;
    evt_->requestHeaderSize = header->rawSize;
    auto target = readRequestFirstLine();
    server_->notifyReceivedRequestAddress(evt_);
    auto url = tunnelScheme_.value_or("https") + "://" + tunnelHost_.value_or("");
    if (tunnelPort_)
        url += ":" + std::to_string(*tunnelPort_);
    if (!target.starts_with("/"))
        url += "/";
    url += target;
    auto parsed = URLParser::parse(url);
    if (!parsed || (parsed->port && !isValidPort(*parsed->port)))
        throw ProxyHandlerError::malformedRequestURL(url);
    evt_->host = parsed->host;
    evt_->port = parsed->port;
    evt_->setPath(target.starts_with("/") || parsed->path.empty() ? parsed->path : parsed->path.substr(1));
    evt_->setQuery(parsed->query);
    server_->notifyReceivedRequestURL(evt_);
    server_->notifyReceivedRequestHeader(evt_);
}

void HttpProxyHandler::handleTunnelHttp(std::shared_ptr<RemoteConnection> remote) {
    auto self = shared_from_this();
    auto endWith = [self, remote](ErrorPtr error) {
        if (remote != self->remote_)
            remote->close();
        self->finish(std::move(error));
    };
    auto header = std::dynamic_pointer_cast<HttpFields>(evt_->requestHeader);
    if (!header) {
        endWith(makeError<ProxyHttpError>(ProxyHttpError::nonHttpRequestHeader()));
        return;
    }
    auto http = ProxyHttp::make(server_, evt_, client_, remote, true);
    if (peek_ && !peek_->resolved) {
        auto peek = peek_;
        http->setResponseGate([peek](std::function<void()> then) { peek->whenResolved(std::move(then)); });
    }
    http_ = http;
    http->start(header, [self, http, remote, endWith](bool mustClose, ErrorPtr error) {
        self->http_.reset();
        if (!error && !mustClose) {
            self->readNextTunnelHead(remote);
            return;
        }
        if (error)
            self->responseStarted_ = http->responseStarted();
        endWith(std::move(error));
    });
}

void HttpProxyHandler::readNextTunnelHead(std::shared_ptr<RemoteConnection> served) {
    headReadPending_ = true;
    headReadStart_ = std::chrono::steady_clock::now();
    armReadTimeout();
    auto self = shared_from_this();
    client_->inputStream()->readHeader([self, served](Result<std::shared_ptr<HttpFields>> result) {
        self->headReadPending_ = false;
        if (self->done_)
            return;
        if (!result.isSuccess()) {
            if (served != self->remote_)
                served->close();
            // The previous exchange is complete: a head that fails to arrive is no part of it,
            // as between plain requests.
            self->evt_.reset();
            auto error = result.error();
            self->finish(InputStreamError::is(error, InputStreamError::Kind::eof) ? nullptr : error);
            return;
        }
        if (served != self->remote_)
            served->close();
        self->nextTunnelRequest(result.value(), self->evt_, false);
    });
}

// MARK: raw tunnel

void HttpProxyHandler::startRawTunnel(std::shared_ptr<RemoteConnection> remote, bool clientBytesPending) {
    evt_->tunnel = true;
    try {
        server_->notifyReceivedRequestURL(evt_);
        server_->notifyReceivedRequestHeader(evt_);
    } catch (...) {
        finish(currentError());
        return;
    }
    std::weak_ptr<HttpProxyHandler> weak = shared_from_this();
    auto onEnd = [weak](StreamCopierStatus status) {
        if (status != StreamCopierStatus::finished)
            return;
        // Later, so that the copier has left its own handler before the streams close.
        if (auto self = weak.lock())
            self->server_->queue()->async([self] { self->endRawTunnel(); });
    };
    copyOut_ = RequestStreamCopier::make(client_->inputStream(), remote->remoteOut(), server_, evt_);
    copyIn_ = ResponseStreamCopier::make(remote->remoteIn(), client_->outputStream(), server_, evt_);
    copyEnd_ = onEnd;
    if (!clientBytesPending)
        startCopyOut();
    peek_->whenResolved([weak] {
        auto self = weak.lock();
        if (self && !self->done_ && !self->tunnelDone_)
            self->copyIn_->start(self->copyEnd_);
    });
}

void HttpProxyHandler::handleTunnel(std::shared_ptr<RemoteConnection> remote) {
    startRawTunnel(std::move(remote), false);
}

void HttpProxyHandler::startCopyOut() {
    if (!done_ && !tunnelDone_ && copyOut_ && !copyOutStarted_) {
        copyOutStarted_ = true;
        copyOut_->start(copyEnd_);
    }
}

void HttpProxyHandler::endRawTunnel() {
    if (tunnelDone_ || done_)
        return;
    tunnelDone_ = true;
    auto remote = remote_;
    copyIn_->stop();
    copyOut_->stop();
    client_->inputStream()->close();
    remote->remoteIn()->close();
    auto stillRunning = [this] {
        if (!copyIn_->finished())
            LOG_ERROR("copyIn is still running, probably leaking a StreamCopier");
        if (!copyOut_->finished())
            LOG_ERROR("copyOut is still running, probably leaking a StreamCopier");
    };
    if (auto error = copyIn_->error()) {
        if (!evt_->responseSize) {
            stillRunning();
            finish(error);
            return;
        }
        LOG_VERBOSE("Ignoring copyIn error: {}", error->description());
    }
    evt_->receivingBuffer.reset();
    server_->notifyReceivedRequest(evt_);
    remote->remoteOut()->flush();
    evt_->responseHeader = std::make_shared<HttpFields>();
    server_->notifyReceivedResponseHeader(evt_);
    evt_->endTime = std::chrono::system_clock::now();
    server_->notifyReceivedResponse(evt_);
    server_->notifyTransactionComplete(evt_);
    client_->outputStream()->flush();
    stillRunning();
    remote->close();
    remote_.reset();
    complete();
}

// MARK: errors of the client side

ErrorPtr HttpProxyHandler::clientSSLError(const ErrorPtr& error) {
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
