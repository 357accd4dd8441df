#include "proxy/engine/HttpRemoteConnection.h"

#include "platform/HostResolver.h"
#include "platform/Log.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/RemoteConnectionErrors.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/InetAddress.h"
#include "proxy/io/Socket.h"
#include "proxy/io/SocketConnectionState.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {

double secondsSince(Date since) {
    return std::chrono::duration<double>(std::chrono::system_clock::now() - since).count();
}

std::shared_ptr<HttpRemoteConnection>
HttpRemoteConnection::make(std::shared_ptr<InternalProxyServer> server) {
    return Plumber::make<HttpRemoteConnection>(std::move(server));
}

HttpRemoteConnection::HttpRemoteConnection(std::shared_ptr<InternalProxyServer> server)
    : server_(std::move(server)) {}

HttpRemoteConnection::~HttpRemoteConnection() {
    if (remote_ && !remote_->isClosed())
        fatalError("HttpRemoteConnection deinited while Socket is not closed");
}

bool HttpRemoteConnection::isConnected() const {
    return remote_ && !remote_->isClosed();
}

void HttpRemoteConnection::connect(const std::shared_ptr<ProxyEvent>& evt,
                                   RemoteConnectionCallback completion) {
    resolveAndConnect(evt, std::move(completion));
}

void HttpRemoteConnection::resolveAndConnect(const std::shared_ptr<ProxyEvent>& evt,
                                             RemoteConnectionCallback completion) {
    remoteAddress_ = evt->remoteAddress;
    remotePort_ = evt->remotePort;
    overrideHost_ = evt->overrideHost;
    if (remoteAddress_) {
        connectToAddress(evt, std::move(completion));
        return;
    }
    server_->notifyResolvingRemote(evt);
    bool forOverride = evt->overrideHost.has_value();
    auto name = forOverride ? evt->overrideHost : evt->host;
    if (!name) {
        completion(RemoteConnectionState::failed(
            makeError<RemoteConnectionErrors>(RemoteConnectionErrors::noHost())));
        return;
    }
    auto started = std::chrono::system_clock::now();
    auto self = shared_from_this();
    // Held apart from the lookup, so that a close can fail the connect while it waits.
    auto pending = std::make_shared<RemoteConnectionCallback>(std::move(completion));
    lookupCompletion_ = pending;
    lookup_ = InetAddress::getByName(
        *name, server_->queue(), [self, evt, pending, started, forOverride](Result<InetAddress> result) {
            self->lookup_.reset();
            auto completion = std::exchange(*pending, nullptr);
            if (!completion)
                return;
            if (!result.isSuccess()) {
                completion(RemoteConnectionState::failed(result.error()));
                return;
            }
            evt->dnsDuration = secondsSince(started);
            auto found = result.value();
            // A spoofed address keeps the exchange's real host name.
            if (forOverride && evt->host) {
                auto text = found.address();
                if (found.interface())
                    text += "%" + *found.interface();
                found = InetAddress(*evt->host, text);
            }
            self->remoteAddress_ = std::make_shared<const InetAddress>(std::move(found));
            evt->remoteAddress = self->remoteAddress_;
            self->connectToAddress(evt, std::move(completion));
        });
}

void HttpRemoteConnection::connectToAddress(const std::shared_ptr<ProxyEvent>& evt,
                                            RemoteConnectionCallback completion) {
    if (!remotePort_)
        remotePort_ = evt->port ? evt->port : evt->defaultPort;
    evt->remotePort = remotePort_;
    server_->notifyConnectingToRemote(evt);
    connectStartTime_ = std::chrono::system_clock::now();
    if (!remoteAddress_ || !evt->host || !remotePort_) {
        completion(RemoteConnectionState::failed(
            makeError<RemoteConnectionErrors>(RemoteConnectionErrors::missingRequiredInfo())));
        return;
    }
    if (!isValidPort(*remotePort_)) {
        completion(RemoteConnectionState::failed(
            makeError<RemoteConnectionErrors>(RemoteConnectionErrors::invalidPort(*remotePort_))));
        return;
    }
    if (auto refusal = server_->refusedDestination(*remoteAddress_, static_cast<int>(*remotePort_))) {
        completion(RemoteConnectionState::failed(std::move(refusal)));
        return;
    }
    // A connection opens one socket at a time: one still open (kept alive, or still
    // connecting) is closed before it is replaced.
    close();
    // The socket may report a failure before openRemoteSocket returns it; a socket that
    // failed to connect is still open and must be closed by us.
    struct Attempt {
        bool failed = false;
    };
    auto attempt = std::make_shared<Attempt>();
    auto self = shared_from_this();
    auto socket = server_->openRemoteSocket(
        evt->scheme, *remoteAddress_, *evt->host, static_cast<int>(*remotePort_),
        [self, evt, attempt, completion = std::move(completion)](SocketConnectionState state) {
            if (!state.isConnected()) {
                attempt->failed = true;
                if (self->rawRemote_) {
                    self->rawRemote_->close();
                    self->rawRemote_.reset();
                }
                completion(RemoteConnectionState::failed(state.error()));
                return;
            }
            self->didConnect(evt);
            completion(RemoteConnectionState::connected(self));
        });
    if (attempt->failed)
        socket->close();
    else
        rawRemote_ = std::move(socket);
}

void HttpRemoteConnection::didConnect(const std::shared_ptr<ProxyEvent>& evt) {
    remote_ = rawRemote_;
    recordConnectionAttribute(*evt);
    if (auto port = remote_->localPort())
        evt->remoteLocalPort = *port;
    evt->keptAlive = false;
    if (connectStartTime_)
        evt->connectDuration = secondsSince(*connectStartTime_);
    server_->notifyConnectedToRemote(evt);
    remoteOutRaw_ = remote_->outputStream();
    remoteInRaw_ = remote_->inputStream();
    remoteOut_ = HttpOutputStream::make(remoteOutRaw_);
    remoteIn_ = HttpInputStream::make(remoteInRaw_);
}

void HttpRemoteConnection::recordConnectionAttribute(ProxyEvent& evt) {
    if (auto index = rawRemote_ ? rawRemote_->connectionIndex() : std::nullopt)
        evt.addConnectionAttribute("Connection", "#" + std::to_string(*index));
}

bool HttpRemoteConnection::allowHalfClose() {
    return rawRemote_ && remote_ == rawRemote_ && rawRemote_->allowHalfClose();
}

void HttpRemoteConnection::updateEvent(ProxyEvent& evt) {
    if (!evt.remoteAddress)
        evt.remoteAddress = remoteAddress_;
    if (!evt.remotePort)
        evt.remotePort = remotePort_;
    if (remote_ && !evt.remoteLocalPort)
        if (auto port = remote_->localPort())
            evt.remoteLocalPort = *port;
    recordConnectionAttribute(evt);
}

namespace {

// Bytes from the server that no request asked for (say, after a bodiless response) would
// be read as the answer to the next request; an end of stream makes the connection stale.
// Either way it is not reused.
bool holdsUnreadBytes(const std::shared_ptr<HttpInputStream>& in, const std::shared_ptr<Socket>& raw) {
    if (in && in->hasPushedData())
        return true;
    return raw && raw->hasUnreadInput();
}

} // namespace

bool HttpRemoteConnection::reconnectRequired(const ProxyEvent& evt) {
    if (!remote_ || remote_->isClosed() || holdsUnreadBytes(remoteIn_, rawRemote_))
        return true;
    auto port = evt.remotePort ? evt.remotePort : evt.portOrDefault();
    if (port != remotePort_)
        return true;
    if (evt.remoteAddress) {
        if (!remoteAddress_)
            return true;
        return !(evt.remoteAddress->host() == remoteAddress_->host() &&
                 evt.remoteAddress->address() == remoteAddress_->address());
    }
    if (evt.overrideHost != overrideHost_)
        return true;
    if (!evt.host && !remoteAddress_)
        return false;
    if (evt.host && remoteAddress_ && *evt.host == remoteAddress_->host())
        return false;
    LOG_WARNING("Fell through in reconnectRequired");
    return true;
}

void HttpRemoteConnection::reconnect(const std::shared_ptr<ProxyEvent>& evt,
                                     RemoteConnectionCallback completion) {
    if (remote_)
        remote_->close();
    connect(evt, std::move(completion));
}

void HttpRemoteConnection::cancelLookup() {
    if (auto lookup = std::exchange(lookup_, nullptr))
        lookup->cancel();
    // The connect that waited for it still completes, once, as a failure.
    if (auto pending = std::exchange(lookupCompletion_, nullptr))
        if (auto completion = std::exchange(*pending, nullptr))
            server_->queue()->async([completion] {
                completion(
                    RemoteConnectionState::failed(makeError<SocketError>(SocketError::socketClosed())));
            });
}

void HttpRemoteConnection::close() {
    // Closing ends the exchange that uses this connection, whose owner may then let it go.
    auto self = shared_from_this();
    cancelLookup(); // nobody waits for its answer any more
    if (remote_)
        remote_->close();
    // A socket still connecting is open too and must not be released open.
    if (rawRemote_ && rawRemote_ != remote_)
        rawRemote_->close();
}

} // namespace pemtrox
