// HTTP inside a tunnel: each request read from the client is forwarded as an exchange of
// its own, and a CONNECT inside the tunnel is passed on to the server.
#include "proxy/engine/ConnectTunnel.h"

#include "proxy/engine/ByteRelay.h"
#include "proxy/engine/ConnectData.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpText.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyConnection.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ProxyHandlerError.h"
#include "proxy/engine/ProxyHttp.h"
#include "proxy/engine/ProxyHttpError.h"
#include "proxy/engine/RemoteConnection.h"
#include "proxy/engine/RemoteConnectionErrors.h"
#include "proxy/engine/TunnelHandler.h"
#include "proxy/engine/TunnelPeek.h"
#include "proxy/engine/URLParser.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InputStreamError.h"

namespace pemtrox {

namespace {

using HeadResult = Result<std::shared_ptr<HttpFields>>;

} // namespace

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
        handleTunnelRequest(head, previous->attributes.contains(TunnelHandler::HOST_NAME_IS_RAW));
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
            self->handler_->afterExchange(self->evt(), [weak, served] {
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

} // namespace pemtrox
