// The TLS state: startTLS waits for the requests queued before it, then the engine sits
// between the wire (ciphertext) and the read and write requests (plaintext).

#include <cstring>

#include "platform/AsyncTcpSocketCore.h"

namespace pemtrox {

void AsyncTcpSocket::Core::startTls(std::shared_ptr<AsyncTcpSocketTls> engine) {
    if (state == State::closed || tls.phase != TlsPhase::none)
        return;
    tls.engine = std::move(engine);
    tls.phase = TlsPhase::pending;
    tls.readsBefore = in.requests.size();
    tls.writesBefore = out.requests.size();
    schedule();
}

void AsyncTcpSocket::Core::activateTls() {
    tls.phase = TlsPhase::handshaking;
    // Bytes read ahead past the last plaintext request are the peer's first ciphertext.
    if (in.plain.size() > 0)
        tls.cipherIn.append(in.plain.data(), in.plain.size());
    in.plain.release();
    tls.engine->attach(*this);
}

/// One handshake step; false when the socket closed.
bool AsyncTcpSocket::Core::handshakeStep() {
    ErrorPtr error;
    auto status = tls.engine->handshake(error);
    switch (status) {
    case AsyncTcpSocketTls::Status::ok:
        tls.phase = TlsPhase::secure;
        if (auto d = currentDelegate())
            d->socketDidSecure();
        return state == State::connected;
    case AsyncTcpSocketTls::Status::wouldBlock:
        if (in.wireEof && tls.cipherIn.size() == 0) {
            closeWithError(socketError(AsyncSocketError::closed));
            return false;
        }
        return true;
    case AsyncTcpSocketTls::Status::closed:
        closeWithError(socketError(AsyncSocketError::closed));
        return false;
    case AsyncTcpSocketTls::Status::failed:
        break;
    }
    closeWithError(error ? error : socketError(AsyncSocketError::other, "TLS handshake failed"));
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
        auto status = tls.engine->read(plain.back(), readUnit, count, error);
        plain.commit(count);
        if (plain.size() == 0)
            plain.release();
        if (status == AsyncTcpSocketTls::Status::ok && count > 0)
            continue;
        if (status == AsyncTcpSocketTls::Status::closed)
            tls.peerClosed = true;
        if (status == AsyncTcpSocketTls::Status::failed) {
            closeWithError(error ? error : socketError(AsyncSocketError::other, "TLS read failed"));
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
        auto& data = out.requests.front().data;
        if (tls.engine->write(data.data(), data.size(), error) != AsyncTcpSocketTls::Status::ok) {
            closeWithError(error ? error : socketError(AsyncSocketError::other, "TLS write failed"));
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
        tls.engine->close();
    }
    return true;
}

long AsyncTcpSocket::Core::receive(std::uint8_t* destination, std::size_t length) {
    if (tls.cipherIn.size() == 0)
        return in.wireEof ? -1 : 0;
    std::size_t n = std::min(length, tls.cipherIn.size());
    std::memcpy(destination, tls.cipherIn.data(), n);
    tls.cipherIn.consume(n);
    return static_cast<long>(n);
}

void AsyncTcpSocket::Core::send(const std::uint8_t* source, std::size_t length) {
    tls.cipherOut.insert(tls.cipherOut.end(), source, source + length);
}

} // namespace pemtrox
