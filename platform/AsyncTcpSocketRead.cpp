// The read side: read requests answered in order from the received bytes, and wire reads
// made only while a reader (or the one-unit read-ahead) wants bytes.

#include <algorithm>
#include <cerrno>
#include <limits>

#include <sys/socket.h>

#include <asio/post.hpp>

#include "platform/AsyncTcpSocketCore.h"
#include "platform/MarkerScan.h"

namespace pemtrox {

namespace {

/// A single wire read never asks for more than this, whatever the request's length.
constexpr std::size_t largestWireRead = 1 << 20;

MarkerScan scanFor(const ReadRequest& r, const InBuffer& plain) {
    return MarkerScan::scan(plain.view(), r.marker,
                            r.length > 0 ? r.length : std::numeric_limits<std::size_t>::max());
}

} // namespace

/// A read request was queued. When nothing can answer it yet, the wire read starts at
/// once instead of a round trip through the queue; nothing is delivered inside the call.
void AsyncTcpSocket::Core::readRequested() {
    if (inProgress) {
        progressAgain = true;
        return;
    }
    if (state == State::connected && tls.phase == TlsPhase::none && in.requests.size() == 1 &&
        in.plain.size() == 0 && !in.wireEof && !satisfiable(in.requests.front())) {
        readFromWireIfNeeded();
        armReadTimer();
        return;
    }
    schedule();
}

bool AsyncTcpSocket::Core::plainEnded() const {
    if (tls.phase == TlsPhase::none || tls.phase == TlsPhase::pending)
        return in.wireEof;
    // A step away may still have the peer's last handshake bytes to answer.
    if (tls.stepAway())
        return false;
    return tls.peerClosed || (in.wireEof && tls.cipherIn() == 0);
}

bool AsyncTcpSocket::Core::servingBlocked() const {
    return tls.phase == TlsPhase::handshaking || (tls.phase == TlsPhase::pending && tls.readsBefore == 0);
}

/// True when the request can be answered now: with bytes, or (a marker read past its limit)
/// by closing the socket.
bool AsyncTcpSocket::Core::satisfiable(const ReadRequest& r) const {
    switch (r.kind) {
    case ReadRequest::Kind::any:
        return r.length == 0 || in.plain.size() > 0;
    case ReadRequest::Kind::length:
        return in.plain.size() >= r.length;
    case ReadRequest::Kind::marker:
        return scanFor(r, in.plain).outcome != MarkerScan::Outcome::needMore;
    }
    return false;
}

/// The peer ended a half-closable stream and every byte before the end was answered: the
/// reading side ends (once), writing goes on. False when the socket closed meanwhile.
bool AsyncTcpSocket::Core::reportReadEnd() {
    if (in.endReported)
        return true;
    in.endReported = true;
    in.requests.clear();
    in.timer.cancel();
    if (auto d = currentDelegate())
        d->socketDidReadToEnd();
    return state == State::connected;
}

/// Answers the requests at the head that can be answered. False when the socket closed.
bool AsyncTcpSocket::Core::serveReads() {
    auto& plain = in.plain;
    while (!in.requests.empty() && !servingBlocked()) {
        ReadRequest& r = in.requests.front();
        Bytes answer;
        switch (r.kind) {
        case ReadRequest::Kind::any:
            if (r.length > 0) {
                if (plain.size() == 0)
                    return true;
                answer = plain.take(std::min(plain.size(), r.length));
            }
            break;
        case ReadRequest::Kind::length:
            if (plain.size() < r.length)
                return true;
            answer = plain.take(r.length);
            break;
        case ReadRequest::Kind::marker: {
            auto scan = scanFor(r, plain);
            if (scan.outcome == MarkerScan::Outcome::tooLong) {
                closeWithError(socketError(AsyncSocketError::readMaxedOut));
                return false;
            }
            if (!scan.found())
                return true;
            answer = plain.take(scan.end);
            break;
        }
        }
        long tag = r.tag;
        in.requests.pop_front();
        if (tls.phase == TlsPhase::pending)
            --tls.readsBefore;
        if (in.timerSerial) {
            in.timerSerial = 0;
            in.timer.cancel();
        }
        if (auto d = currentDelegate())
            d->socketDidRead(std::move(answer), tag);
        if (state != State::connected)
            return false;
        if (tls.phase == TlsPhase::secure && !decrypt())
            return false;
    }
    return true;
}

bool AsyncTcpSocket::Core::wantsWireData() const {
    // Ciphertext arriving while a step is away is the next step's work; a peer that floods
    // meanwhile is held back once a record's worth waits.
    if (tls.phase == TlsPhase::handshaking)
        return !tls.stepAway() || tls.cipherIn() < TlsDriver::heldWhileAway;
    if (!in.requests.empty() && !servingBlocked())
        return !satisfiable(in.requests.front());
    if (!in.requests.empty())
        return false; // waiting for TLS to start: read nothing that belongs to it yet
    // Read ahead one unit so that a peer's close is noticed while nobody reads.
    return in.plain.size() == 0 && tls.cipherIn() == 0;
}

/// Reads from the wire when a reader (or the read-ahead) wants bytes: at once while the
/// peer's bytes are likely waiting, else once the socket turns readable. One progress round
/// reads at most once inline, so a busy socket leaves the queue to the others in between.
void AsyncTcpSocket::Core::readFromWireIfNeeded() {
    // A handshake still under way needs the peer's answer before queued writes can leave.
    bool closing = out.closeWhenWritten && tls.phase != TlsPhase::handshaking;
    if (in.receivePosted || in.wireEof || state != State::connected || closing || !wantsWireData())
        return;
    if (in.wireQuiet) {
        awaitReadable();
        return;
    }
    if (inProgress && in.receivedThisRound) {
        in.receivePosted = true;
        asio::post(io, [self = shared_from_this()] {
            self->in.receivePosted = false;
            self->progress();
        });
        return;
    }
    in.receivedThisRound = inProgress;
    if (!readWire())
        return;
    if (inProgress)
        progressAgain = true;
    else
        schedule();
}

/// One non-blocking wire read into the read-ahead; true when the readers have something new
/// to look at (bytes or the end of the stream).
bool AsyncTcpSocket::Core::readWire() {
    bool cipher = tls.onWire();
    InBuffer& target = cipher ? tls.driver->input() : in.plain;
    std::size_t wanted = readAhead;
    if (!cipher && !in.requests.empty() && in.requests.front().kind == ReadRequest::Kind::length &&
        in.requests.front().length > in.plain.size())
        wanted = std::clamp(in.requests.front().length - in.plain.size(), readAhead, largestWireRead);
    std::size_t room = target.reserve(wanted);
    // While a step is away, no more than the room left below a record's worth.
    if (cipher && tls.stepAway())
        room = std::min(room, TlsDriver::heldWhileAway - target.size());
    ssize_t n;
    do {
        n = ::recv(socket.native_handle(), target.back(), room, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        target.commit(static_cast<std::size_t>(n));
        noteTraffic(io);
        // A read that found less than it had room for emptied the socket: the next one
        // would most likely fail, so it waits for readiness instead.
        if (static_cast<std::size_t>(n) < room) {
            in.wireQuiet = true;
            awaitReadable();
        }
        return true;
    }
    int error = errno;
    if (target.size() == 0)
        target.release();
    if (n == 0) {
        in.wireEof = true;
        if (cipher)
            tls.driver->endInput();
        return true;
    }
    if (error == EAGAIN || error == EWOULDBLOCK) {
        in.wireQuiet = true;
        awaitReadable();
        return false;
    }
    closeWithError(makeError<AsyncSocketError>(AsyncSocketError::posix(error)));
    return false;
}

/// Waits for the socket to turn readable. Armed whenever the socket was found empty, so
/// that readiness reported meanwhile is never missed.
void AsyncTcpSocket::Core::awaitReadable() {
    if (in.readableWaitArmed || state != State::connected)
        return;
    in.readableWaitArmed = true;
    socket.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const std::error_code& ec) {
        self->in.readableWaitArmed = false;
        if (ec == asio::error::operation_aborted || self->state != State::connected)
            return;
        self->in.wireQuiet = false;
        self->progress();
    });
}

void AsyncTcpSocket::Core::armReadTimer() {
    if (in.requests.empty() || servingBlocked() || state != State::connected)
        return;
    const ReadRequest& r = in.requests.front();
    if (r.timeout < 0 || in.timerSerial == r.serial)
        return;
    in.timerSerial = r.serial;
    in.timer.expires_after(toDuration(r.timeout));
    in.timer.async_wait([self = shared_from_this(), serial = r.serial](const std::error_code& ec) {
        if (ec || self->state != State::connected || self->in.timerSerial != serial)
            return;
        self->closeWithError(socketError(AsyncSocketError::readTimeout));
    });
}

} // namespace pemtrox
