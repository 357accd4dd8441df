#include "proxy/engine/ConnectTunnel.h"

#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/engine/ByteRelay.h"
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
#include "proxy/engine/URLParser.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InputStreamError.h"

namespace pemtrox {

/// The read of the server's first bytes that runs while the tunnel waits for the
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

std::shared_ptr<ConnectTunnel> ConnectTunnel::make(std::shared_ptr<HttpProxyHandler> handler) {
    return Plumber::make<ConnectTunnel>(std::move(handler));
}

ConnectTunnel::ConnectTunnel(std::shared_ptr<HttpProxyHandler> handler) : handler_(std::move(handler)) {}

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
                self->finish(HttpProxyHandler::clientSSLError(wrapped.error()));
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

// MARK: HTTP inside the tunnel

void ConnectTunnel::nextTunnelRequest(const std::shared_ptr<HttpFields>& head,
                                      const std::shared_ptr<ProxyEvent>& previous, bool first) {
    if (first)
        server()->notifyTransactionCancelled(previous); // the inner requests are recorded instead
    auto next = ProxyEvent::makeFollowing(*previous);
    next->scheme = scheme_;
    next->defaultPort = defaultPort_;
    next->host = host_;
    next->port = port_;
    next->startTime = head->receiveTime;
    if (first) {
        next->dnsDuration = previous->dnsDuration;
        next->connectDuration = previous->connectDuration;
        next->sslDuration = previous->sslDuration;
    } else {
        next->keptAlive = true;
    }
    next->cipherSuite = previous->cipherSuite;
    next->sslProtocol = previous->sslProtocol;
    handler_->beginExchange(next);
    server()->notifyTransactionConnect(next);
    try {
        handleTunnelRequest(head, previous->attributes.contains(HttpProxyHandler::HOST_NAME_IS_RAW));
    } catch (...) {
        finish(currentError());
        return;
    }
    if (auto supplied = next->overrideRemoteConnection) {
        handleTunnelHttp(supplied);
        return;
    }
    if (remote()->reconnectRequired(*next)) {
        reconnectForRequest();
        return;
    }
    remote()->updateEvent(*next);
    handleTunnelHttp(remote());
}

// The server closed the tunnel's connection (or the request names another server): a new
// connection serves the tunnel from now on.
void ConnectTunnel::reconnectForRequest() {
    auto data = ConnectData::make();
    if (auto old = remote()->tunnelClientData())
        data->supportedProtocols = old->supportedProtocols;
    handler_->replaceRemote(makeConnectRemoteConnection(server(), evt()));
    auto fresh = remote();
    auto self = shared_from_this();
    handler_->connectRemote(fresh, [self, fresh, data](RemoteConnectionState state) {
        if (self->ended() || self->remote() != fresh)
            return;
        if (!state.isConnected()) {
            self->finish(state.error());
            return;
        }
        fresh->setClientData(self->evt(), data, [self, fresh](RemoteConnectionState set) {
            if (self->ended())
                return;
            if (!set.isConnected())
                self->finish(set.error());
            else
                self->handleTunnelHttp(fresh);
        });
    });
}

void ConnectTunnel::handleTunnelRequest(std::shared_ptr<HttpFields> header, bool) {
    auto& evt = *this->evt();
    if (auto index = header->indexOfField("Proxy-Connection")) {
        evt.addToListAttribute(ProxyEvent::NotesAttribute,
                               "Removed invalid header: Proxy-Connection: " + header->fields[*index].value);
        std::erase_if(header->fields,
                      [](const Field& f) { return equalsIgnoringCase(f.name, "Proxy-Connection"); });
    }
    evt.requestHeader = header;
    evt.requestHeaderSize = header->rawSize;
    auto target = handler_->readRequestFirstLine();
    server()->notifyReceivedRequestAddress(this->evt());
    auto url = scheme_.value_or("https") + "://" + host_.value_or("");
    if (port_)
        url += ":" + std::to_string(*port_);
    if (!target.starts_with("/"))
        url += "/";
    url += target;
    auto parsed = URLParser::parse(url);
    if (!parsed || (parsed->port && !isValidPort(*parsed->port)))
        throw ProxyHandlerError::malformedRequestURL(url);
    evt.host = parsed->host;
    evt.port = parsed->port;
    evt.setPath(target.starts_with("/") || parsed->path.empty() ? parsed->path : parsed->path.substr(1));
    evt.setQuery(parsed->query);
    server()->notifyReceivedRequestURL(this->evt());
    server()->notifyReceivedRequestHeader(this->evt());
}

void ConnectTunnel::handleTunnelHttp(std::shared_ptr<RemoteConnection> served) {
    auto self = shared_from_this();
    // A connection that is not the tunnel's own (a listener's) served this request only.
    auto endWith = [self, served](ErrorPtr error) {
        if (!self->handler_ || served != self->remote())
            served->close();
        self->finish(std::move(error));
    };
    auto header = evt()->httpRequestHeader();
    if (!header) {
        endWith(makeError<ProxyHttpError>(ProxyHttpError::nonHttpRequestHeader()));
        return;
    }
    if (*evt()->method == "CONNECT") {
        forwardConnect(served, header);
        return;
    }
    auto http = ProxyHttp::make(server(), evt(), client(), served, true);
    if (peek_ && !peek_->resolved) {
        auto peek = peek_;
        http->setResponseGate([peek](std::function<void()> then) { peek->whenResolved(std::move(then)); });
    }
    handler_->runHttp(http, header, [self, served, endWith](bool mustClose, ErrorPtr error) {
        if (!error && !mustClose && !self->ended()) {
            // As between plain requests: a listener behind on this exchange holds the next.
            std::weak_ptr<ConnectTunnel> weak = self;
            self->evt()->pause()->whenRunning([weak, served] {
                auto tunnel = weak.lock();
                if (tunnel && !tunnel->ended())
                    tunnel->readNextTunnelHead(served);
            });
            return;
        }
        endWith(std::move(error));
    });
}

// A CONNECT inside the tunnel asks the server (another proxy) for a tunnel of its own: its
// answer goes to the client, and everything after the request and the answer is opaque,
// copied both ways. The client's bytes flow from the start, so that its end always ends
// the tunnel, even while the answer is awaited.
void ConnectTunnel::forwardConnect(std::shared_ptr<RemoteConnection> served,
                                   std::shared_ptr<HttpFields> header) {
    // The raw tunnel ends with the tunnel's own connection; a listener's replaces it.
    handler_->replaceRemote(served);
    auto self = shared_from_this();
    auto answered = std::make_shared<TunnelPeek>();
    auto before = std::exchange(peek_, answered);
    served->remoteOut()->write(toData(header->headerText()), true,
                               [self, served, before, answered](OutputStreamWriteHandlerResult sent) {
                                   if (self->ended())
                                       return;
                                   if (sent.isError()) {
                                       self->finish(sent.error());
                                       return;
                                   }
                                   self->server()->notifySentRequestHeader(self->evt());
                                   self->copyRaw(served, false);
                                   before->whenResolved([self, served, answered] {
                                       if (self->ended())
                                           return;
                                       served->remoteIn()->readHeader([self, answered](HeadResult answer) {
                                           if (self->ended() || self->relay_->isOver())
                                               return;
                                           if (!answer.isSuccess()) {
                                               self->finish(answer.error());
                                               return;
                                           }
                                           auto& evt = *self->evt();
                                           evt.responseHeader = answer.value();
                                           evt.responseHeaderSize = answer.value()->rawSize;
                                           self->server()->notifyReceivedResponseHeader(self->evt());
                                           self->client()->outputStream()->write(
                                               toData(answer.value()->headerText()), true,
                                               [self, answered](OutputStreamWriteHandlerResult out) {
                                                   if (self->ended())
                                                       return;
                                                   if (out.isError())
                                                       self->finish(out.error());
                                                   else
                                                       answered->resolve();
                                               });
                                       });
                                   });
                               });
}

void ConnectTunnel::readNextTunnelHead(std::shared_ptr<RemoteConnection> served) {
    auto self = shared_from_this();
    handler_->readHead([self, served](HeadResult result) {
        if (self->ended())
            return;
        if (served != self->remote())
            served->close();
        if (!result.isSuccess()) {
            // The previous exchange is complete: a head that fails to arrive is no part of it,
            // as between plain requests.
            self->handler_->clearExchange();
            auto error = result.error();
            self->finish(InputStreamError::is(error, InputStreamError::Kind::eof) ? nullptr : error);
            return;
        }
        self->nextTunnelRequest(result.value(), self->evt(), false);
    });
}

// MARK: raw tunnel

void ConnectTunnel::handleTunnel(std::shared_ptr<RemoteConnection> to) {
    startRawTunnel(std::move(to), false);
}

void ConnectTunnel::startRawTunnel(std::shared_ptr<RemoteConnection> to, bool clientBytesPending) {
    evt()->tunnel = true;
    try {
        server()->notifyReceivedRequestURL(evt());
        server()->notifyReceivedRequestHeader(evt());
    } catch (...) {
        finish(currentError());
        return;
    }
    copyRaw(std::move(to), clientBytesPending);
}

void ConnectTunnel::copyRaw(std::shared_ptr<RemoteConnection> to, bool clientBytesPending) {
    evt()->tunnel = true;
    rawRemote_ = to;
    ByteRelay::Peer clientPeer{
        client()->inputStream(), client()->outputStream(), {}, clientHalfClose_, std::nullopt};
    if (auto socket = client()->plainSocket())
        clientPeer.sockets.push_back(socket);
    ByteRelay::Peer serverPeer{to->remoteIn(), to->remoteOut(), to->sockets(), serverHalfClose_,
                               std::nullopt};
    std::weak_ptr<ConnectTunnel> weak = shared_from_this();
    ByteRelay::Hooks hooks;
    hooks.abandoned = [weak] {
        auto self = weak.lock();
        return !self || self->ended();
    };
    hooks.ended = [weak] {
        if (auto self = weak.lock())
            self->endRawTunnel();
    };
    relay_ = ByteRelay::make(std::move(clientPeer), std::move(serverPeer), server(), evt(), std::move(hooks));
    if (!clientBytesPending)
        startCopyOut();
    peek_->whenResolved([weak] {
        auto self = weak.lock();
        if (self && !self->ended())
            self->relay_->start(ByteRelay::Direction::response);
    });
}

void ConnectTunnel::startCopyOut() {
    if (!ended() && relay_)
        relay_->start(ByteRelay::Direction::request);
}

void ConnectTunnel::allowHalfClose() {
    auto remote = this->remote();
    serverHalfClose_ = remote && remote->allowHalfClose();
}

// The relay has ended both directions (see ByteRelay for the end rules): the exchange is
// complete, unless the server's side failed before it sent anything.
void ConnectTunnel::endRawTunnel() {
    if (ended())
        return;
    auto to = rawRemote_;
    auto& evt = this->evt();
    const auto& copyIn = relay_->copier(ByteRelay::Direction::response);
    const auto& copyOut = relay_->copier(ByteRelay::Direction::request);
    auto stillRunning = [&] {
        if (!copyIn->finished())
            LOG_ERROR("copyIn is still running, probably leaking a StreamCopier");
        if (!copyOut->finished())
            LOG_ERROR("copyOut is still running, probably leaking a StreamCopier");
    };
    if (auto error = copyIn->error()) {
        if (!evt->responseSize) {
            stillRunning();
            finish(error);
            return;
        }
        LOG_VERBOSE("Ignoring copyIn error: {}", error->description());
    }
    evt->receivingBuffer.reset();
    server()->notifyReceivedRequest(evt);
    to->remoteOut()->flush();
    if (!evt->responseHeader) {
        evt->responseHeader = std::make_shared<HttpFields>();
        server()->notifyReceivedResponseHeader(evt);
    }
    evt->endTime = std::chrono::system_clock::now();
    server()->notifyReceivedResponse(evt);
    server()->notifyTransactionComplete(evt);
    client()->outputStream()->flush();
    stillRunning();
    to->close();
    if (auto own = handler_->releaseRemote(); own && own != to)
        own->close();
    handler_->complete();
}

} // namespace pemtrox
