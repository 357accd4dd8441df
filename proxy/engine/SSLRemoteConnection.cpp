#include "proxy/engine/SSLRemoteConnection.h"

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/TlsEngine.h"
#include "platform/TlsError.h"
#include "proxy/engine/HttpInputStream.h"
#include "proxy/engine/HttpText.h"
#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/RefusedCertificateLog.h"
#include "proxy/engine/RemoteConnectionErrors.h"
#include "proxy/io/HttpOutputStream.h"
#include "proxy/io/ProxySocket.h"
#include "proxy/io/SSLSocket.h"
#include "proxy/io/SecureSocket.h"
#include "proxy/io/SocketConnectionState.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {

namespace {

/// The client sees only its connection fail and the recording alone says why: the log names
/// the server and the reason, within the refusal log's bounds.
void reportRefusedCertificate(const ProxyEvent& evt, const ErrorPtr& error) {
    auto* tls = dynamic_cast<const TlsError*>(error.get());
    if (!tls || tls->kind() != TlsError::Kind::certificateVerifyFailed)
        return;
    auto port = evt.port.value_or(evt.defaultPort.value_or(443));
    RefusedCertificateLog::shared().report(evt.host.value_or("") + ":" + std::to_string(port),
                                           tls->description());
}

} // namespace

std::shared_ptr<SSLRemoteConnection> SSLRemoteConnection::make(std::shared_ptr<InternalProxyServer> server,
                                                               std::shared_ptr<ProxyEvent> sourceEvent) {
    return Plumber::make<SSLRemoteConnection>(std::move(server), std::move(sourceEvent));
}

SSLRemoteConnection::SSLRemoteConnection(std::shared_ptr<InternalProxyServer> server,
                                         std::shared_ptr<ProxyEvent> sourceEvent)
    : ConnectRemoteConnection(std::move(server), std::move(sourceEvent)) {}

void SSLRemoteConnection::connect(const std::shared_ptr<ProxyEvent>& evt,
                                  RemoteConnectionCallback completion) {
    ssl_ =
        evt->scheme && (equalsIgnoringCase(*evt->scheme, "https") || equalsIgnoringCase(*evt->scheme, "wss"));
    if (!ssl_) {
        ConnectRemoteConnection::connect(evt, std::move(completion));
        return;
    }
    auto self = thisConnection();
    if (remote_ && !remote_->isClosed()) {
        updateEvent(*evt);
        remoteIn_.reset();
        remoteOut_.reset();
        completion(RemoteConnectionState::connected(self));
        return;
    }
    resolveAndConnect(evt, [self, completion = std::move(completion)](RemoteConnectionState state) {
        self->remoteIn_.reset();
        self->remoteOut_.reset();
        completion(std::move(state));
    });
}

void SSLRemoteConnection::setClientData(const std::shared_ptr<ProxyEvent>& evt,
                                        std::shared_ptr<ConnectData> data,
                                        RemoteConnectionCallback completion) {
    clientData = std::move(data);
    auto self = thisConnection();
    if (ssl_ && !negotiatingConnect) {
        std::weak_ptr<SSLRemoteConnection> weak = self; // the TLS socket keeps this completion
        startTLS(evt, [weak, completion = std::move(completion)](RemoteConnectionState state) {
            if (auto self = weak.lock(); self && !state.isConnected())
                self->closeSockets();
            completion(std::move(state));
        });
        return;
    }
    completion(RemoteConnectionState::connected(self));
}

void SSLRemoteConnection::startTLS(const std::shared_ptr<ProxyEvent>& evt,
                                   RemoteConnectionCallback completion) {
    if (!rawRemote_)
        fatalError("no remote");
    auto peerName = evt->host.value_or("");
    if (peerName.ends_with('.'))
        peerName.pop_back();
    TlsSettings settings;
    settings.peerName = peerName;
    auto started = std::chrono::system_clock::now();
    auto self = thisConnection();
    struct Attempt {
        bool failed = false;
        bool ended = false; // the handshake's end or its time-out, whichever came first
        std::shared_ptr<RepeatingTimer> limit;
    };
    auto attempt = std::make_shared<Attempt>();
    // The TLS socket keeps its callback: a weak reference keeps the two from holding each other.
    std::weak_ptr<SSLRemoteConnection> weak = self;
    auto outcome = [weak, evt, started, attempt,
                    completion = std::move(completion)](SocketConnectionState state) {
        if (std::exchange(attempt->ended, true))
            return;
        if (auto limit = std::exchange(attempt->limit, nullptr))
            limit->cancel();
        auto self = weak.lock();
        if (!self)
            return;
        attempt->failed = !state.isConnected() || !self->sslRemote_;
        self->handshakeComplete_ = true;
        auto waiting = std::exchange(self->handshakeCompleteCallback_, nullptr);
        if (state.isConnected() && self->sslRemote_) {
            evt->sslDuration = secondsSince(started);
            evt->cipherSuite = self->sslRemote_->negotiatedCipher();
            evt->sslProtocol = self->sslRemote_->negotiatedProtocol();
            self->remote_ = self->sslRemote_;
            self->remoteIn_ = HttpInputStream::make(self->sslRemote_->inputStream());
            self->remoteOut_ = HttpOutputStream::make(self->sslRemote_->outputStream());
        }
        auto result = state.isConnected() && self->sslRemote_ ? RemoteConnectionState::connected(self)
                                                              : RemoteConnectionState::failed(state.error());
        self->handshakeSucceeded_ = result.isConnected();
        self->handshakeError_ = result.error();
        if (!result.isConnected())
            reportRefusedCertificate(*evt, result.error());
        completion(result);
        if (waiting)
            waiting(result);
    };
    // Held by the TLS socket until it reports; the time-out only looks it up.
    auto shared = std::make_shared<std::function<void(SocketConnectionState)>>(std::move(outcome));
    auto report = [shared](SocketConnectionState state) { (*shared)(std::move(state)); };
    auto socket = secureSocket(rawRemote_, server_->queue(), settings, report);
    sslRemote_ = socket;
    if (attempt->failed) {
        socket->close(); // set-up failed before make returned
        return;
    }
    if (attempt->ended)
        return;
    // A server that accepts and then never finishes its handshake (or speaks something else
    // on the port) gets the time a connect gets, then the handshake fails.
    double limit = rawRemote_->connectTimeout().value_or(ProxySocket::defaultConnectTimeout());
    std::weak_ptr<std::function<void(SocketConnectionState)>> pending = shared;
    attempt->limit = server_->queue()->after(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(limit)),
        [pending] {
            if (auto outcome = pending.lock()) {
                LOG_DEBUG("The server's TLS handshake did not end within the connect time-out");
                (*outcome)(SocketConnectionState::failed(makeError<SocketError>(SocketError::timeout())));
            }
        });
}

void SSLRemoteConnection::whenHandshakeEnds(RemoteConnectionCallback then) {
    if (handshakeComplete_) {
        auto self = thisConnection();
        then(handshakeSucceeded_ ? RemoteConnectionState::connected(self)
                                 : RemoteConnectionState::failed(handshakeError_));
        return;
    }
    if (sslRemote_ && sslRemote_->isClosed()) {
        then(RemoteConnectionState::failed(
            makeError<RemoteConnectionErrors>(RemoteConnectionErrors::connectionClosedDuringHandshake())));
        return;
    }
    handshakeCompleteCallback_ = std::move(then);
}

void SSLRemoteConnection::closeSockets() {
    auto self = shared_from_this();
    cancelLookup();
    if (remote_)
        remote_->close();
    if (sslRemote_)
        sslRemote_->close();
    if (rawRemote_ && rawRemote_ != remote_)
        rawRemote_->close();
}

} // namespace pemtrox
