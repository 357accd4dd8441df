#include "platform/TlsSocketLayer.h"

#include "platform/AsyncSocketError.h"
#include "platform/HandshakeWorkers.h"

namespace pemtrox {

std::shared_ptr<TlsSocketLayer> TlsSocketLayer::make(const TlsSettings& settings) {
    auto engine = TlsEngine::make(settings.isServer ? TlsEngine::Side::server : TlsEngine::Side::client);
    if (!engine)
        return std::make_shared<TlsSocketLayer>(
            nullptr, makeError<TlsError>(TlsError::Kind::configuration, "Cannot create SSL context"));
    TlsEngine::Status status = TlsEngine::noErr;
    if (settings.certificates)
        status = engine->setCertificate(settings.certificates);
    if (status == TlsEngine::noErr && !settings.isServer && settings.peerName)
        status = engine->setPeerName(*settings.peerName);
    ErrorPtr setupError;
    if (status != TlsEngine::noErr)
        setupError = makeError<TlsError>(TlsError::Kind::configuration,
                                         "SSL context error (" + std::to_string(status) + ")", status);
    return std::make_shared<TlsSocketLayer>(std::move(engine), std::move(setupError));
}

TlsSocketLayer::TlsSocketLayer(std::unique_ptr<TlsEngine> engine, ErrorPtr setupError)
    : engine_(std::move(engine)), setupError_(std::move(setupError)), workers_(HandshakeWorkers::shared()) {
    if (!engine_)
        return;
    // The callbacks are set once and follow transport_, which attach moves between the
    // socket and a handshake step's own transport.
    engine_->setIOFuncs(
        [this](std::uint8_t* destination, std::size_t& length) {
            long received = transport_ ? transport_->receive(destination, length) : -1;
            if (received < 0) {
                length = 0;
                return TlsEngine::ioErr;
            }
            bool all = static_cast<std::size_t>(received) == length;
            length = static_cast<std::size_t>(received);
            return all ? TlsEngine::noErr : TlsEngine::wouldBlock;
        },
        [this](const std::uint8_t* source, std::size_t& length) {
            if (!transport_)
                return TlsEngine::ioErr;
            transport_->send(source, length);
            return TlsEngine::noErr;
        });
}

void TlsSocketLayer::attach(AsyncTcpSocketTlsTransport& transport) {
    transport_ = &transport;
}

AsyncTcpSocketTls::Status TlsSocketLayer::translate(TlsEngine::Status status, ErrorPtr& error,
                                                    const char* what) {
    switch (status) {
    case TlsEngine::noErr:
        return Status::ok;
    case TlsEngine::wouldBlock:
        return Status::wouldBlock;
    case TlsEngine::closedGraceful:
    case TlsEngine::closedAbort:
    case TlsEngine::closedNoNotify:
    case TlsEngine::ioErr: // the peer ended the TCP stream
        return Status::closed;
    default:
        error = engine_->lastError();
        if (!error)
            error = makeError<AsyncSocketError>(AsyncSocketError::socket(
                AsyncSocketError::other, std::string(what) + " (" + std::to_string(status) + ")"));
        return Status::failed;
    }
}

AsyncTcpSocketTls::Status TlsSocketLayer::handshake(ErrorPtr& error) {
    if (setupError_ || !engine_) {
        error = setupError_;
        return Status::failed;
    }
    return translate(engine_->handshake(), error, "Handshake failed");
}

AsyncTcpSocketTls::Status TlsSocketLayer::read(std::uint8_t* destination, std::size_t length,
                                               std::size_t& count, ErrorPtr& error) {
    count = 0;
    if (!engine_)
        return Status::closed;
    return translate(engine_->read(destination, length, count), error, "SSL read error");
}

AsyncTcpSocketTls::Status TlsSocketLayer::write(const std::uint8_t* source, std::size_t length,
                                                ErrorPtr& error) {
    if (!engine_)
        return Status::closed;
    std::size_t processed = 0;
    return translate(engine_->write(source, length, processed), error, "SSL write error");
}

void TlsSocketLayer::close() {
    if (engine_)
        engine_->close();
}

} // namespace pemtrox
