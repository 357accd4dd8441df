// The TLS state: startTLS waits for the requests queued before it, then the TLS driver sits
// between the wire (ciphertext) and the read and write requests (plaintext).

#include <cstring>

#include "platform/AsyncTcpSocketCore.h"

namespace pemtrox {

void AsyncTcpSocket::Core::startTls(std::shared_ptr<TlsDriver> driver) {
    if (state == State::closed || tls.phase != TlsPhase::none)
        return;
    tls.driver = std::move(driver);
    tls.phase = TlsPhase::pending;
    tls.readsBefore = in.requests.size();
    tls.writesBefore = out.requests.size();
    schedule();
}

void AsyncTcpSocket::Core::activateTls() {
    tls.phase = TlsPhase::handshaking;
    auto self = shared_from_this();
    tls.driver->attach(std::weak_ptr<TlsTransport>(std::shared_ptr<TlsTransport>(self, this)), queueRef);
    // Bytes read ahead past the last plaintext request are the peer's first ciphertext.
    if (in.plain.size() > 0)
        tls.driver->input().append(in.plain.data(), in.plain.size());
    in.plain.release();
    if (in.wireEof)
        tls.driver->endInput();
}

/// One handshake step; false when the socket closed.
bool AsyncTcpSocket::Core::handshakeStep() {
    ErrorPtr error;
    auto status = tls.driver->handshake(error);
    if (tls.driver->stepAway())
        return true;
    return handshakeOutcome(status, std::move(error));
}

void AsyncTcpSocket::Core::handshakeStepReturned() {
    progress();
}

/// Acts on a handshake step's outcome; false when the socket closed.
bool AsyncTcpSocket::Core::handshakeOutcome(TlsDriver::Status status, ErrorPtr error) {
    switch (status) {
    case TlsDriver::Status::ok:
        tls.phase = TlsPhase::secure;
        if (auto d = currentDelegate())
            d->socketDidSecure();
        return state == State::connected;
    case TlsDriver::Status::wouldBlock:
        if (in.wireEof && tls.cipherIn() == 0) {
            closeWithError(socketError(AsyncSocketError::closed));
            return false;
        }
        return true;
    case TlsDriver::Status::closed:
        closeWithError(socketError(AsyncSocketError::closed));
        return false;
    case TlsDriver::Status::failed:
        break;
    }
    closeWithError(
        error ? error
              : socketError(AsyncSocketError::other,
                            "Handshake failed (" + std::to_string(tls.driver->engineStatus()) + ")"));
    return false;
}

/// Decrypts what the engine can give while a reader may want it (a unit ahead, or all the
/// oldest request needs); false when closed.
bool AsyncTcpSocket::Core::decrypt() {
    auto& plain = in.plain;
    while (!tls.peerClosed &&
           (plain.size() < readUnit || (!in.requests.empty() && !satisfiable(in.requests.front())))) {
        plain.reserve(readUnit);
        std::size_t count = 0;
        ErrorPtr error;
        auto status = tls.driver->read(plain.back(), readUnit, count, error);
        plain.commit(count);
        if (plain.size() == 0)
            plain.release();
        if (status == TlsDriver::Status::ok && count > 0)
            continue;
        if (status == TlsDriver::Status::closed)
            tls.peerClosed = true;
        if (status == TlsDriver::Status::failed) {
            closeWithError(
                error ? error
                      : socketError(AsyncSocketError::other,
                                    "SSL read error (" + std::to_string(tls.driver->engineStatus()) + ")"));
            return false;
        }
        break;
    }
    return true;
}

/// Encrypts every queued write; the written plaintext is gone, its ciphertext waits to
/// be sent. False when the socket closed.
bool AsyncTcpSocket::Core::encryptWrites() {
    while (!out.requests.empty()) {
        ErrorPtr error;
        std::size_t processed = 0;
        auto& data = out.requests.front().data;
        auto status = tls.driver->write(data.data(), data.size(), processed, error);
        if (status != TlsDriver::Status::ok) {
            closeWithError(
                error ? error
                      : socketError(AsyncSocketError::other,
                                    "SSL write error (" + std::to_string(tls.driver->engineStatus()) + ")"));
            return false;
        }
        out.plainUnsent -= data.size();
        if (out.reportedWrites > 0)
            out.reportedBytes -= data.size();
        popWrite();
    }
    // The close alert follows the last queued plaintext: the engine takes no plaintext
    // after it, so it waits until every write has been encrypted.
    if (out.closeWhenWritten && !tls.closeSent) {
        tls.closeSent = true;
        tls.driver->close();
    }
    return true;
}

void AsyncTcpSocket::Core::send(const std::uint8_t* source, std::size_t length) {
    tls.cipherOut.insert(tls.cipherOut.end(), source, source + length);
}

} // namespace pemtrox
