#include "proxy/io/DefaultSSLSocket.h"

#include "platform/Log.h"
#include "platform/TlsDriver.h"
#include "proxy/io/DefaultSocket.h"
#include "proxy/io/GCDAsyncSocketDelegateHelper.h"
#include "proxy/io/SSLCipherSuiteName.h"
#include "proxy/io/SSLProtocolName.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {

std::shared_ptr<DefaultSSLSocket> DefaultSSLSocket::make(std::shared_ptr<DefaultSocket> socket,
                                                         const TlsSettings& settings,
                                                         SocketConnectCallback callback) {
    auto ssl = makeSocket<DefaultSSLSocket>(std::move(socket), std::move(callback));
    ssl->coupleClose();
    // A socket that closed before TLS was asked for (its peer reset it while nobody read)
    // reports nothing more, so the handshake would wait for ever: it fails now.
    if (ssl->defaultSocket_->isClosed()) {
        if (auto failed = std::exchange(ssl->connectCallback_, nullptr))
            failed(SocketConnectionState::failed(makeError<SocketError>(SocketError::socketClosed())));
        return ssl;
    }
    ssl->defaultSocketDelegate_->delegate = ssl;
    auto layer = ssl->defaultSocket_->socket();
    layer->setDelegate(ssl->defaultSocketDelegate_);
    ssl->tls_ = TlsDriver::make(settings);
    layer->startTLS(ssl->tls_);
    return ssl;
}

DefaultSSLSocket::DefaultSSLSocket(std::shared_ptr<DefaultSocket> socket, SocketConnectCallback callback)
    : AbstractSocketWrapper(socket), connectCallback_(std::move(callback)), defaultSocket_(std::move(socket)),
      defaultSocketDelegate_(std::make_shared<GCDAsyncSSLSocketDelegateHelper>()) {}

DefaultSSLSocket::~DefaultSSLSocket() = default;

std::shared_ptr<MyInputStream> DefaultSSLSocket::inputStream() const {
    return defaultSocket_->inputStream();
}

std::shared_ptr<MyOutputStream> DefaultSSLSocket::outputStream() const {
    return defaultSocket_->outputStream();
}

std::optional<std::string> DefaultSSLSocket::negotiatedCipher() const {
    return negotiatedCipherName(tls_ ? tls_->engine() : nullptr);
}

std::optional<std::string> DefaultSSLSocket::negotiatedProtocol() const {
    return negotiatedProtocolName(tls_ ? tls_->engine() : nullptr);
}

void DefaultSSLSocket::withSSLContext(const std::function<void(TlsEngine&)>& body) const {
    TlsEngine* engine = tls_ ? tls_->engine() : nullptr;
    if (!engine)
        fatalError("DefaultSSLSocket.withSSLContext: no SSL context");
    body(*engine);
}

void DefaultSSLSocket::socketDidConnect(const std::string& host, int port) {
    defaultSocket_->socketDidConnect(host, port);
}

void DefaultSSLSocket::socketDidRead(Data data, long tag) {
    defaultSocket_->socketDidRead(std::move(data), tag);
}

void DefaultSSLSocket::socketDidWrite(long tag) {
    defaultSocket_->socketDidWrite(tag);
}

void DefaultSSLSocket::socketDidDisconnect(ErrorPtr error) {
    auto self = selfAs(this);
    if (auto callback = std::exchange(connectCallback_, nullptr))
        callback(SocketConnectionState::failed(
            error ? error : makeError<SocketError>(SocketError::connectionClosedByPeer())));
    defaultSocket_->socketDidDisconnect(std::move(error));
}

void DefaultSSLSocket::socketDidReadToEnd() {
    defaultSocket_->socketDidReadToEnd();
}

void DefaultSSLSocket::socketDidSecure() {
    auto self = selfAs(this);
    if (const TlsEngine* engine = tls_->engine()) {
        auto certificates = engine->peerCertificates();
        if (!certificates.empty())
            trust_ = std::move(certificates);
    }
    if (auto callback = std::exchange(connectCallback_, nullptr))
        callback(SocketConnectionState::connected(selfSocket()));
}

} // namespace pemtrox
