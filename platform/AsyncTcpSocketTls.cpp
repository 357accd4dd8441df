// The TLS state: startTLS waits for the requests queued before it, then the engine sits
// between the wire (ciphertext) and the read and write requests (plaintext).

#include <algorithm>
#include <cstring>

#include "platform/AsyncTcpSocketCore.h"
#include "platform/HandshakeWorkers.h"

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

/// One handshake step away from the socket: the ciphertext received before it, what the
/// layer sent during it, and its outcome. The worker owns it and the layer from the run
/// until the socket's queue takes them back.
struct HandshakeStep final : AsyncTcpSocketTlsTransport {
    std::shared_ptr<AsyncTcpSocketTls> layer;
    AsyncTcpSocket::Bytes input;
    std::size_t taken = 0;
    bool inputEnded = false;
    AsyncTcpSocket::Bytes output;
    AsyncTcpSocketTls::Status status = AsyncTcpSocketTls::Status::wouldBlock;
    ErrorPtr error;

    long receive(std::uint8_t* destination, std::size_t length) override {
        std::size_t left = input.size() - taken;
        if (left == 0)
            return inputEnded ? -1 : 0;
        std::size_t n = std::min(length, left);
        std::memcpy(destination, input.data() + taken, n);
        taken += n;
        return static_cast<long>(n);
    }
    void send(const std::uint8_t* source, std::size_t length) override {
        output.insert(output.end(), source, source + length);
    }
};

/// One handshake step; false when the socket closed.
bool AsyncTcpSocket::Core::handshakeStep() {
    if (tls.stepAway)
        return true;
    if (auto step = std::move(tls.returned)) {
        if (!handshakeOutcome(step->status, std::move(step->error)))
            return false;
        // Ciphertext that arrived while the step was away waits for the next one.
        if (tls.phase == TlsPhase::handshaking && tls.cipherIn.size() > 0)
            progressAgain = true;
        return true;
    }
    // The costly step of either side answers the peer's first flight (key exchange and
    // signature on the server side, the chain check and key exchange on the client side): the
    // steps with the peer's bytes go to the workers until one answered. The rest (a client's
    // hello, a server's check of the client's last message) is cheaper than the round trip.
    if (!tls.answered && tls.cipherIn.size() > 0) {
        if (auto workers = tls.engine->handshakeWorkers()) {
            sendStepAway(std::move(workers));
            return true;
        }
    }
    ErrorPtr error;
    auto status = tls.engine->handshake(error);
    return handshakeOutcome(status, std::move(error));
}

void AsyncTcpSocket::Core::sendStepAway(std::shared_ptr<HandshakeWorkers> workers) {
    auto step = std::make_shared<HandshakeStep>();
    step->layer = tls.engine;
    step->input = tls.cipherIn.take(tls.cipherIn.size());
    step->inputEnded = in.wireEof;
    tls.engine->attach(*step);
    tls.stepAway = true;
    // The step comes back through the queue (the hand-over back to it) and only to a core
    // that still exists; one whose queue is gone lets the step go on the worker.
    workers->run([step, core = weak_from_this(), queue = queueRef]() mutable {
        step->status = step->layer->handshake(step->error);
        if (auto q = queue.lock())
            q->async([step = std::move(step), core = std::move(core)] {
                if (auto self = core.lock())
                    self->stepReturned(step);
            });
    });
}

void AsyncTcpSocket::Core::stepReturned(const std::shared_ptr<HandshakeStep>& step) {
    tls.stepAway = false;
    step->layer->attach(*this);
    if (state != State::connected)
        return;
    // Bytes the step left come before those that arrived meanwhile.
    if (step->taken < step->input.size()) {
        InBuffer merged;
        merged.append(step->input.data() + step->taken, step->input.size() - step->taken);
        merged.append(tls.cipherIn.data(), tls.cipherIn.size());
        tls.cipherIn.release();
        tls.cipherIn = std::move(merged);
    }
    if (step->taken > 0 && !step->output.empty())
        tls.answered = true;
    tls.cipherOut.insert(tls.cipherOut.end(), step->output.begin(), step->output.end());
    tls.returned = step;
    progress();
}

/// Acts on a handshake step's outcome; false when the socket closed.
bool AsyncTcpSocket::Core::handshakeOutcome(AsyncTcpSocketTls::Status status, ErrorPtr error) {
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
