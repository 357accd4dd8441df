// The write side: writes made in one turn of the queue leave together in one sendmsg, and
// up to `writeAhead` unsent bytes count as written at once.

#include <array>
#include <cerrno>

#include <sys/socket.h>
#include <sys/uio.h>

#include <asio/post.hpp>

#include "platform/AsyncTcpSocketCore.h"

namespace pemtrox {

namespace {

/// Writes gathered into one system call at most.
constexpr std::size_t largestWriteBatch = 64;
/// Unsent bytes up to which a write counts as written once queued: the writer goes on while
/// the socket gathers its pieces into fewer, larger system calls. It bounds what one socket
/// holds for a peer that does not read, on top of the kernel's own buffer.
constexpr std::size_t writeAhead = 262144;

} // namespace

/// A write was queued. The flush waits for the end of the turn unless enough is gathered
/// already. Writes are reported later, never inside the call.
void AsyncTcpSocket::Core::writeRequested(std::size_t size) {
    out.plainUnsent += size;
    out.activity = true;
    if (unsentBytes() >= writeAhead)
        flushNow();
    if (reportAcceptedWrites())
        schedule();
    flushSoon();
}

/// Reports the writes, oldest first, that fit within writeAhead unsent bytes; true when
/// there is something to report.
bool AsyncTcpSocket::Core::reportAcceptedWrites() {
    if (state != State::connected || (tls.phase != TlsPhase::none && tls.phase != TlsPhase::secure))
        return !out.writtenTags.empty();
    // Reported writes are always the oldest ones, so only the rest need a look.
    std::size_t ahead = tls.cipherOut.size() - tls.cipherOutSent + out.reportedBytes;
    for (std::size_t i = out.reportedWrites; i < out.requests.size(); ++i) {
        std::size_t size = out.requests[i].data.size() - (i == 0 ? out.frontSent : 0);
        ahead += size;
        if (ahead > writeAhead)
            break;
        out.writtenTags.push_back(out.requests[i].tag);
        ++out.reportedWrites;
        out.reportedBytes += size;
    }
    return !out.writtenTags.empty();
}

/// The write at the front has left: report it unless it was already.
void AsyncTcpSocket::Core::popWrite() {
    if (out.reportedWrites > 0)
        --out.reportedWrites;
    else
        out.writtenTags.push_back(out.requests.front().tag);
    SpareBytes::local().give(std::move(out.requests.front().data));
    out.requests.pop_front();
    out.frontSent = 0;
    if (tls.phase == TlsPhase::pending)
        --tls.writesBefore;
}

void AsyncTcpSocket::Core::flushSoon() {
    if (out.flushPosted || state != State::connected || unsentBytes() == 0)
        return;
    out.flushPosted = true;
    out.activity = false;
    // A progress round already waiting on the queue ends a turn just as well: the flush
    // looks after it instead of taking a turn of its own.
    if (scheduled) {
        out.flushRides = true;
        return;
    }
    asio::post(io, [self = shared_from_this()] { self->flushTurn(); });
}

void AsyncTcpSocket::Core::flushTurn() {
    out.flushPosted = false;
    // The writer is still busy (it wrote, or heard back and may write again): give it
    // another turn to add to the batch.
    if (out.activity && unsentBytes() < writeAhead) {
        flushSoon();
        return;
    }
    flushNow();
}

/// Sends what may leave now, as far as the kernel takes it without blocking.
void AsyncTcpSocket::Core::flushNow() {
    if (out.writableWaitArmed || state != State::connected)
        return;
    if (tls.phase == TlsPhase::secure && !encryptWrites())
        return;
    bool changed = false;
    while (state == State::connected) {
        std::size_t offered = 0;
        std::array<iovec, largestWriteBatch> iov;
        std::size_t count = 0;
        if (tls.onWire()) {
            if (tls.cipherOutSent < tls.cipherOut.size()) {
                iov[0] = {tls.cipherOut.data() + tls.cipherOutSent, tls.cipherOut.size() - tls.cipherOutSent};
                offered = iov[0].iov_len;
                count = 1;
            }
        } else {
            std::size_t limit = out.requests.size();
            if (tls.phase == TlsPhase::pending)
                limit = std::min(limit, tls.writesBefore);
            limit = std::min(limit, largestWriteBatch);
            for (std::size_t i = 0; i < limit; ++i) {
                auto& data = out.requests[i].data;
                std::size_t skip = i == 0 ? out.frontSent : 0;
                if (data.size() == skip)
                    continue;
                iov[count++] = {data.data() + skip, data.size() - skip};
                offered += data.size() - skip;
            }
            if (offered == 0 && limit > 0) { // only empty writes: they leave at once
                consumeSent(0);
                changed = true;
            }
        }
        if (offered == 0)
            break;
        msghdr message{};
        message.msg_iov = iov.data();
        message.msg_iovlen = count;
        ssize_t n;
        do {
            n = ::sendmsg(socket.native_handle(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                awaitWritable();
                break;
            }
            closeWithError(makeError<AsyncSocketError>(AsyncSocketError::posix(error)));
            return;
        }
        changed = true;
        consumeSent(static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < offered) {
            awaitWritable();
            break;
        }
    }
    if (changed && (reportAcceptedWrites() || out.closeWhenWritten || tls.phase == TlsPhase::pending))
        schedule();
}

/// shutdownAfterWriting: the FIN leaves once every write has left and was reported; with
/// the peer's end already read, both sides have ended and the socket closes.
void AsyncTcpSocket::Core::shutWhenWritten() {
    if (state != State::connected || !out.shutWhenWritten || out.shut || !allWritten() ||
        !out.writtenTags.empty())
        return;
    std::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    out.shut = true;
    if (in.endReported)
        closeWithError(nullptr);
}

/// Drops what the kernel took from the front of the queued bytes.
void AsyncTcpSocket::Core::consumeSent(std::size_t n) {
    if (tls.onWire()) {
        tls.cipherOutSent += n;
        if (tls.cipherOutSent == tls.cipherOut.size()) {
            tls.cipherOut = Bytes();
            tls.cipherOutSent = 0;
        }
        return;
    }
    out.plainUnsent -= n;
    out.reportedBytes -= std::min(n, out.reportedBytes);
    while (!out.requests.empty() && !(tls.phase == TlsPhase::pending && tls.writesBefore == 0)) {
        std::size_t left = out.requests.front().data.size() - out.frontSent;
        if (n < left) {
            out.frontSent += n;
            return;
        }
        n -= left;
        popWrite();
    }
}

/// Waits until the kernel has room again; the oldest write's time-out runs meanwhile.
void AsyncTcpSocket::Core::awaitWritable() {
    if (out.writableWaitArmed || state != State::connected)
        return;
    out.writableWaitArmed = true;
    if (!out.requests.empty() && out.requests.front().timeout >= 0) {
        out.timer.expires_after(toDuration(out.requests.front().timeout));
        out.timer.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (ec || self->state != State::connected || !self->out.writableWaitArmed)
                return;
            self->closeWithError(socketError(AsyncSocketError::writeTimeout));
        });
    }
    socket.async_wait(tcp::socket::wait_write, [self = shared_from_this()](const std::error_code& ec) {
        self->out.writableWaitArmed = false;
        if (ec == asio::error::operation_aborted || self->state != State::connected)
            return;
        self->out.timer.cancel();
        self->flushNow();
        self->progress();
    });
}

} // namespace pemtrox
