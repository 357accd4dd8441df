#include "proxy/io/DefaultSSLSocket.h"

#include "platform/AsyncTcpSocket.h"
#include "platform/Log.h"
#include "platform/TlsDriver.h"
#include "proxy/io/GCDAsyncSocketDelegateHelper.h"
#include "proxy/io/SSLCipherSuiteName.h"
#include "proxy/io/SSLProtocolName.h"
#include "proxy/io/SocketError.h"

namespace pemtrox {

std::shared_ptr<DefaultSSLSocket>
DefaultSSLSocket::make(std::shared_ptr<Socket> plain, std::shared_ptr<AsyncTcpSocket> layer,
                       std::shared_ptr<GCDAsyncSocketSwiftDelegate> plainCallbacks,
                       const TlsSettings& settings, SocketConnectCallback callback) {
    auto ssl = makeSocket<DefaultSSLSocket>(std::move(plain), std::move(plainCallbacks), std::move(callback));
    ssl->coupleClose();
    // A socket that closed before TLS was asked for (its peer reset it while nobody read)
    // reports nothing more, so the handshake would wait for ever: it fails now.
    if (ssl->socket()->isClosed()) {
        if (auto failed = std::exchange(ssl->connectCallback_, nullptr))
            failed(SocketConnectionState::failed(makeError<SocketError>(SocketError::socketClosed())));
        return ssl;
    }
    ssl->defaultSocketDelegate_->delegate = ssl;
    layer->setDelegate(ssl->defaultSocketDelegate_);
    ssl->tls_ = TlsDriver::make(settings);
    layer->startTLS(ssl->tls_);
    return ssl;
}

DefaultSSLSocket::DefaultSSLSocket(std::shared_ptr<Socket> plain,
                                   std::shared_ptr<GCDAsyncSocketSwiftDelegate> plainCallbacks,
                                   SocketConnectCallback callback)
    : AbstractSocketWrapper(std::move(plain)), connectCallback_(std::move(callback)),
      plainCallbacks_(std::move(plainCallbacks)),
      defaultSocketDelegate_(std::make_shared<GCDAsyncSSLSocketDelegateHelper>()) {}

DefaultSSLSocket::~DefaultSSLSocket() = default;

std::shared_ptr<MyInputStream> DefaultSSLSocket::inputStream() const {
    return socket()->inputStream();
}

std::shared_ptr<MyOutputStream> DefaultSSLSocket::outputStream() const {
    return socket()->outputStream();
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
    plainCallbacks_->socketDidConnect(host, port);
}

void DefaultSSLSocket::socketDidRead(Data data, long tag) {
    plainCallbacks_->socketDidRead(std::move(data), tag);
}

void DefaultSSLSocket::socketDidWrite(long tag) {
    plainCallbacks_->socketDidWrite(tag);
}

void DefaultSSLSocket::socketDidDisconnect(ErrorPtr error) {
    auto self = selfAs(this);
    if (auto callback = std::exchange(connectCallback_, nullptr))
        callback(SocketConnectionState::failed(
            error ? error : makeError<SocketError>(SocketError::connectionClosedByPeer())));
    plainCallbacks_->socketDidDisconnect(std::move(error));
}

void DefaultSSLSocket::socketDidReadToEnd() {
    plainCallbacks_->socketDidReadToEnd();
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
