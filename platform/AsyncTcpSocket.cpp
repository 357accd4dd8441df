#include "platform/AsyncTcpSocket.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "platform/AsyncSocketError.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"

namespace pemtrox {

namespace {

using Bytes = AsyncTcpSocket::Bytes;
using tcp = asio::ip::tcp;

/// The read unit: TLS decrypts this much ahead of the readers.
constexpr std::size_t readUnit = 4096;
/// What one wire read may take in: one system call feeds many pieces of a flowing stream.
constexpr std::size_t readAhead = 65536;
/// A single wire read never asks for more than this, whatever the request's length.
constexpr std::size_t largestWireRead = 1 << 20;
/// How long a released socket may still spend sending what was written before its close.
constexpr std::chrono::seconds orphanLinger{30};
/// How long a connection closed after writing waits for the peer's close.
constexpr std::chrono::seconds lingerLimit{5};
/// Writes gathered into one system call at most.
constexpr std::size_t largestWriteBatch = 64;
/// Unsent bytes up to which a write counts as written once queued: the writer goes on while
/// the socket gathers its pieces into fewer, larger system calls. It bounds what one socket
/// holds for a peer that does not read, on top of the kernel's own buffer.
constexpr std::size_t writeAhead = 131072;

std::chrono::steady_clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
}

std::string addressText(const asio::ip::address& address) {
    if (address.is_v6()) {
        auto v6 = address.to_v6();
        if (v6.is_v4_mapped())
            return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
        v6.scope_id(0); // the interface is not part of the address text
        return v6.to_string();
    }
    return address.to_string();
}

ErrorPtr errorFrom(const std::error_code& ec) {
    if (ec == asio::error::eof)
        return makeError<AsyncSocketError>(AsyncSocketError::socket(AsyncSocketError::closed));
    if (ec.category() == asio::system_category() || ec.category() == std::generic_category())
        return makeError<AsyncSocketError>(AsyncSocketError::posix(ec.value()));
    return makeError<AsyncSocketError>(AsyncSocketError::socket(AsyncSocketError::other, ec.message()));
}

[[noreturn]] void throwSocket(AsyncSocketError::Code code, std::string message) {
    throw AsyncSocketError::socket(code, std::move(message));
}

/// The local address of an interface given by name or address text, in the family asked for.
std::optional<asio::ip::address> interfaceAddress(const std::string& interface, bool v6) {
    if (interface == "localhost" || interface == "loopback")
        return v6 ? asio::ip::address(asio::ip::address_v6::loopback())
                  : asio::ip::address(asio::ip::address_v4::loopback());
    std::error_code ec;
    auto numeric = asio::ip::make_address(interface, ec);
    if (!ec)
        return numeric;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    std::optional<asio::ip::address> found;
    for (ifaddrs* ifa = list; ifa && !found; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || interface != ifa->ifa_name)
            continue;
        if (!v6 && ifa->ifa_addr->sa_family == AF_INET) {
            auto* sin = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
            found = asio::ip::address_v4(ntohl(sin->sin_addr.s_addr));
        } else if (v6 && ifa->ifa_addr->sa_family == AF_INET6) {
            auto* sin6 = reinterpret_cast<const sockaddr_in6*>(ifa->ifa_addr);
            asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), sin6->sin6_addr.s6_addr, bytes.size());
            found = asio::ip::address_v6(bytes, sin6->sin6_scope_id);
        }
    }
    freeifaddrs(list);
    return found;
}

struct ReadRequest {
    enum class Kind { any, length, marker } kind;
    std::size_t length = 0;
    Bytes marker;
    double timeout = -1.0;
    long tag = 0;
    std::uint64_t serial = 0;
};

/// A first-in-first-out queue that holds no memory while it has never been used (a deque
/// allocates a block up front, which every idle socket would pay three times).
template <class T> class Fifo {
public:
    bool empty() const { return head_ == items_.size(); }
    std::size_t size() const { return items_.size() - head_; }
    T& front() { return items_[head_]; }
    const T& front() const { return items_[head_]; }
    T& operator[](std::size_t i) { return items_[head_ + i]; }
    void push_back(T item) { items_.push_back(std::move(item)); }
    void pop_front() {
        items_[head_] = T();
        if (++head_ == items_.size()) {
            clear();
        } else if (head_ >= 32 && head_ * 2 >= items_.size()) {
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    void clear() {
        items_.clear();
        head_ = 0;
    }

private:
    std::vector<T> items_;
    std::size_t head_ = 0;
};

struct WriteRequest {
    Bytes data;
    double timeout = -1.0;
    long tag = 0;
};

/// Blocks of `readAhead` bytes given back by drained buffers, for the next wire read on the
/// same thread: a busy socket takes and returns one per burst of data.
class SpareBlocks {
public:
    static constexpr std::size_t kept = 8;
    std::unique_ptr<std::uint8_t[]> take() {
        if (blocks_.empty())
            return std::make_unique_for_overwrite<std::uint8_t[]>(readAhead);
        auto block = std::move(blocks_.back());
        blocks_.pop_back();
        return block;
    }
    void give(std::unique_ptr<std::uint8_t[]> block) {
        if (blocks_.size() < kept)
            blocks_.push_back(std::move(block));
    }

private:
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
};

SpareBlocks& spareBlocks() {
    thread_local SpareBlocks spares;
    return spares;
}

/// Byte vectors whose writes have left, for the next read answered on the same thread: a body
/// moving through the proxy then reuses the vectors it frees instead of allocating one per piece.
class SpareBytes {
public:
    // Enough for the pieces one flush of writeAhead bytes frees at once.
    static constexpr std::size_t kept = 40;
    static constexpr std::size_t largest = 8192; // bigger ones go back to the allocator
    Bytes take() {
        if (vectors_.empty())
            return {};
        Bytes bytes = std::move(vectors_.back());
        vectors_.pop_back();
        return bytes;
    }
    void give(Bytes bytes) {
        if (bytes.capacity() == 0 || bytes.capacity() > largest || vectors_.size() >= kept)
            return;
        bytes.clear();
        vectors_.push_back(std::move(bytes));
    }

private:
    std::vector<Bytes> vectors_;
};

SpareBytes& spareBytes() {
    thread_local SpareBytes spares;
    return spares;
}

/// Bytes received and not yet handed on: one block, filled at the back and consumed from the
/// front. An empty buffer holds no block, so an idle socket costs no buffer memory.
struct InBuffer {
    std::unique_ptr<std::uint8_t[]> block;
    std::size_t capacity = 0, start = 0, end = 0;

    std::size_t size() const { return end - start; }
    const std::uint8_t* data() const { return block.get() + start; }
    /// Free space at the back after making room for at least `room` bytes.
    std::size_t reserve(std::size_t room) {
        if (capacity - end >= room)
            return capacity - end;
        std::size_t held = size();
        if (held > 0 && capacity - held >= room) {
            std::memmove(block.get(), data(), held);
        } else {
            std::size_t wanted = std::max(readAhead, held + room);
            auto fresh = wanted == readAhead ? spareBlocks().take()
                                             : std::make_unique_for_overwrite<std::uint8_t[]>(wanted);
            if (held > 0)
                std::memcpy(fresh.get(), data(), held);
            release();
            block = std::move(fresh);
            capacity = wanted;
        }
        start = 0;
        end = held;
        return capacity - end;
    }
    std::uint8_t* back() { return block.get() + end; }
    void commit(std::size_t count) { end += count; }
    void append(const std::uint8_t* bytes, std::size_t count) {
        reserve(count);
        std::memcpy(back(), bytes, count);
        commit(count);
    }
    /// Drops `count` bytes from the front.
    void consume(std::size_t count) {
        start += count;
        if (start == end)
            release();
    }
    Bytes take(std::size_t count) {
        Bytes out = count <= SpareBytes::largest ? spareBytes().take() : Bytes();
        out.assign(data(), data() + count);
        consume(count);
        return out;
    }
    void release() {
        if (block && capacity == readAhead)
            spareBlocks().give(std::move(block));
        block.reset();
        capacity = start = end = 0;
    }
    void clear() { release(); }
};

} // namespace

class AsyncTcpSocket::Core : public std::enable_shared_from_this<Core>, private AsyncTcpSocketTlsTransport {
public:
    enum class State { idle, connecting, connected, listening, closed };
    enum class TlsPhase { none, pending, handshaking, secure };

    explicit Core(std::shared_ptr<DispatchQueue> q)
        : queue(std::move(q)), socket(queue->ioContext()), connectTimer(queue->ioContext()),
          readTimer(queue->ioContext()), writeTimer(queue->ioContext()) {}

    std::shared_ptr<DispatchQueue> queue;
    tcp::socket socket;
    std::unique_ptr<tcp::acceptor> acceptor;
    tcp::endpoint acceptedPeer; // filled in by the accept in progress
    asio::steady_timer connectTimer, readTimer, writeTimer;
    std::weak_ptr<AsyncTcpSocketDelegate> delegate;
    std::function<void(int)> socketOptionsHook;

    State state = State::idle;
    bool started = false; // a connect or listen began: the delegate hears of the end
    bool disconnectWhenWritten = false;
    std::optional<std::string> peerHost, localHostText;
    std::optional<std::uint16_t> peerPort, localPortNumber;

    Fifo<ReadRequest> reads;
    Fifo<WriteRequest> writes;
    std::uint64_t nextSerial = 1;
    std::uint64_t readTimerSerial = 0;
    InBuffer plain; // received plaintext (all bytes when there is no TLS)
    bool wireEof = false;
    bool wireQuiet = false;         // the last wire read emptied the socket
    bool readableWaitArmed = false; // waiting for the socket to turn readable
    bool receivePosted = false;     // a wire read waits for the next progress round
    bool receivedThisRound = false; // this progress round has read from the wire
    std::size_t frontSent = 0;      // bytes of writes.front() already sent
    std::size_t plainUnsent = 0;    // queued plaintext not yet sent (or encrypted)
    std::size_t reportedWrites = 0; // writes at the front already reported as written
    std::size_t reportedBytes = 0;  // their bytes not yet sent
    bool writableWaitArmed = false; // the kernel took no more: waiting for room
    bool flushPosted = false;       // a flush waits at the end of the queue's turn
    bool flushRides = false;        // that flush runs after the progress round already posted
    bool writeActivity = false;     // a write came or was reported since the flush was posted
    Fifo<long> writtenTags;         // written writes not yet reported

    std::shared_ptr<AsyncTcpSocketTls> tls;
    TlsPhase tlsPhase = TlsPhase::none;
    std::size_t readsBeforeTls = 0, writesBeforeTls = 0;
    InBuffer cipherIn;
    Bytes cipherOut;
    std::size_t cipherOutSent = 0;
    bool tlsPeerClosed = false, tlsCloseSent = false;

    bool inProgress = false, progressAgain = false, scheduled = false;

    // Runs on the queue, synchronously from other threads.
    template <class F> auto onQueue(F&& f) {
        if (queue->isCurrent())
            return f();
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            queue->sync([&] { f(); });
        } else {
            std::optional<R> result;
            queue->sync([&] { result.emplace(f()); });
            return std::move(*result);
        }
    }

    std::shared_ptr<AsyncTcpSocketDelegate> currentDelegate() const { return delegate.lock(); }

    /// Takes both endpoints; the peer's comes from connect or accept when known there.
    void recordAddresses(const std::optional<tcp::endpoint>& knownPeer = std::nullopt) {
        std::error_code ec;
        auto remote = knownPeer ? *knownPeer : socket.remote_endpoint(ec);
        if (!ec) {
            peerHost = addressText(remote.address());
            peerPort = remote.port();
        }
        auto local = socket.local_endpoint(ec);
        if (!ec) {
            localHostText = addressText(local.address());
            localPortNumber = local.port();
        }
    }

    // ---- progress: the one place that answers requests and starts I/O ----

    /// Asks for progress later on the queue (never inside the caller's call).
    void schedule() {
        if (inProgress) {
            progressAgain = true;
            return;
        }
        if (scheduled)
            return;
        scheduled = true;
        asio::post(queue->ioContext(), [self = shared_from_this()] {
            self->scheduled = false;
            self->progress();
            if (self->flushRides) {
                self->flushRides = false;
                self->flushTurn();
            }
        });
    }

    /// A read request was queued. When nothing can answer it yet, the wire read starts at
    /// once instead of a round trip through the queue; nothing is delivered inside the call.
    void readRequested() {
        if (inProgress) {
            progressAgain = true;
            return;
        }
        if (state == State::connected && tlsPhase == TlsPhase::none && reads.size() == 1 &&
            plain.size() == 0 && !wireEof && !satisfiable(reads.front())) {
            readFromWireIfNeeded();
            armReadTimer();
            return;
        }
        schedule();
    }

    /// A write was queued. Writes made in one turn of the queue leave together: the flush
    /// waits for the end of the turn unless enough is gathered already. Up to writeAhead
    /// unsent bytes count as written at once (reported later, never inside the call).
    void writeRequested(std::size_t size) {
        plainUnsent += size;
        writeActivity = true;
        if (unsentBytes() >= writeAhead)
            flushNow();
        if (reportAcceptedWrites())
            schedule();
        flushSoon();
    }

    /// Reports the writes, oldest first, that fit within writeAhead unsent bytes; true when
    /// there is something to report.
    std::size_t unsentBytes() const { return plainUnsent + cipherOut.size() - cipherOutSent; }

    bool reportAcceptedWrites() {
        if (state != State::connected || (tlsPhase != TlsPhase::none && tlsPhase != TlsPhase::secure))
            return !writtenTags.empty();
        // Reported writes are always the oldest ones, so only the rest need a look.
        std::size_t ahead = cipherOut.size() - cipherOutSent + reportedBytes;
        for (std::size_t i = reportedWrites; i < writes.size(); ++i) {
            std::size_t size = writes[i].data.size() - (i == 0 ? frontSent : 0);
            ahead += size;
            if (ahead > writeAhead)
                break;
            writtenTags.push_back(writes[i].tag);
            ++reportedWrites;
            reportedBytes += size;
        }
        return !writtenTags.empty();
    }

    /// The write at the front has left: report it unless it was already.
    void popWrite() {
        if (reportedWrites > 0)
            --reportedWrites;
        else
            writtenTags.push_back(writes.front().tag);
        spareBytes().give(std::move(writes.front().data));
        writes.pop_front();
        frontSent = 0;
        if (tlsPhase == TlsPhase::pending)
            --writesBeforeTls;
    }

    void flushSoon() {
        if (flushPosted || state != State::connected || unsentBytes() == 0)
            return;
        flushPosted = true;
        writeActivity = false;
        // A progress round already waiting on the queue ends a turn just as well: the flush
        // looks after it instead of taking a turn of its own.
        if (scheduled) {
            flushRides = true;
            return;
        }
        asio::post(queue->ioContext(), [self = shared_from_this()] { self->flushTurn(); });
    }

    void flushTurn() {
        flushPosted = false;
        // The writer is still busy (it wrote, or heard back and may write again): give it
        // another turn to add to the batch.
        if (writeActivity && unsentBytes() < writeAhead) {
            flushSoon();
            return;
        }
        flushNow();
    }

    void progress() {
        if (inProgress) {
            progressAgain = true;
            return;
        }
        auto self = shared_from_this(); // a delegate may drop the last owner
        inProgress = true;
        receivedThisRound = false;
        do {
            progressAgain = false;
            step();
        } while (progressAgain && state == State::connected);
        inProgress = false;
    }

    void step() {
        if (state != State::connected)
            return;
        while (!writtenTags.empty()) {
            long tag = writtenTags.front();
            writtenTags.pop_front();
            writeActivity = true;
            if (auto d = currentDelegate())
                d->socketDidWrite(tag);
            if (state != State::connected)
                return;
        }
        if (tlsPhase == TlsPhase::pending && readsBeforeTls == 0 && writesBeforeTls == 0)
            activateTls();
        if (tlsPhase == TlsPhase::handshaking && !handshakeStep())
            return;
        if (tlsPhase == TlsPhase::secure && !decrypt())
            return;
        if (!serveReads())
            return;
        if (plainEnded() && (reads.empty() ? plain.size() == 0 : !satisfiable(reads.front()))) {
            // The peer closed: what could be answered was; the rest cannot be.
            closeWithError(makeError<AsyncSocketError>(AsyncSocketError::socket(AsyncSocketError::closed)));
            return;
        }
        readFromWireIfNeeded();
        armReadTimer();
        // Nothing more will be written after a close, and handshake messages need no batching.
        if (disconnectWhenWritten || tlsPhase == TlsPhase::handshaking)
            flushNow();
        else
            flushSoon();
        if (state == State::connected && disconnectWhenWritten && writes.empty() && cipherOut.empty() &&
            !writableWaitArmed) {
            // Writes that left in this very step are reported before the close.
            if (!writtenTags.empty()) {
                progressAgain = true;
                return;
            }
            closeWithError(nullptr, true);
        }
    }

    bool plainEnded() const {
        if (tlsPhase == TlsPhase::none || tlsPhase == TlsPhase::pending)
            return wireEof;
        return tlsPeerClosed || (wireEof && cipherIn.size() == 0);
    }

    bool servingBlocked() const {
        return tlsPhase == TlsPhase::handshaking || (tlsPhase == TlsPhase::pending && readsBeforeTls == 0);
    }

    std::optional<std::size_t> markerEnd(const Bytes& marker) const {
        if (plain.size() < marker.size())
            return std::nullopt;
        const void* hit = memmem(plain.data(), plain.size(), marker.data(), marker.size());
        if (!hit)
            return std::nullopt;
        return static_cast<const std::uint8_t*>(hit) - plain.data() + marker.size();
    }

    bool satisfiable(const ReadRequest& r) const {
        switch (r.kind) {
        case ReadRequest::Kind::any:
            return r.length == 0 || plain.size() > 0;
        case ReadRequest::Kind::length:
            return plain.size() >= r.length;
        case ReadRequest::Kind::marker:
            return r.marker.empty() || markerEnd(r.marker).has_value();
        }
        return false;
    }

    /// Answers the requests at the head that can be answered. False when the socket closed.
    bool serveReads() {
        while (!reads.empty() && !servingBlocked()) {
            ReadRequest& r = reads.front();
            Bytes out;
            switch (r.kind) {
            case ReadRequest::Kind::any:
                if (r.length > 0) {
                    if (plain.size() == 0)
                        return true;
                    out = plain.take(std::min(plain.size(), r.length));
                }
                break;
            case ReadRequest::Kind::length:
                if (plain.size() < r.length)
                    return true;
                out = plain.take(r.length);
                break;
            case ReadRequest::Kind::marker:
                if (!r.marker.empty()) {
                    auto end = markerEnd(r.marker);
                    if (r.length > 0 && (end ? *end > r.length : plain.size() >= r.length)) {
                        closeWithError(makeError<AsyncSocketError>(
                            AsyncSocketError::socket(AsyncSocketError::readMaxedOut)));
                        return false;
                    }
                    if (!end)
                        return true;
                    out = plain.take(*end);
                }
                break;
            }
            long tag = r.tag;
            reads.pop_front();
            if (tlsPhase == TlsPhase::pending)
                --readsBeforeTls;
            if (readTimerSerial) {
                readTimerSerial = 0;
                readTimer.cancel();
            }
            if (auto d = currentDelegate())
                d->socketDidRead(std::move(out), tag);
            if (state != State::connected)
                return false;
            if (tlsPhase == TlsPhase::secure && !decrypt())
                return false;
        }
        return true;
    }

    bool wantsWireData() const {
        if (tlsPhase == TlsPhase::handshaking)
            return true;
        if (!reads.empty() && !servingBlocked())
            return !satisfiable(reads.front());
        if (!reads.empty())
            return false; // waiting for TLS to start: read nothing that belongs to it yet
        // Read ahead one unit so that a peer's close is noticed while nobody reads.
        return plain.size() == 0 && cipherIn.size() == 0;
    }

    /// Reads from the wire when a reader (or the read-ahead) wants bytes: at once while the
    /// peer's bytes are likely waiting, else once the socket turns readable. One progress round
    /// reads at most once inline, so a busy socket leaves the queue to the others in between.
    void readFromWireIfNeeded() {
        // A handshake still under way needs the peer's answer before queued writes can leave.
        bool closing = disconnectWhenWritten && tlsPhase != TlsPhase::handshaking;
        if (receivePosted || wireEof || state != State::connected || closing || !wantsWireData())
            return;
        if (wireQuiet) {
            awaitReadable();
            return;
        }
        if (inProgress && receivedThisRound) {
            receivePosted = true;
            asio::post(queue->ioContext(), [self = shared_from_this()] {
                self->receivePosted = false;
                self->progress();
            });
            return;
        }
        receivedThisRound = inProgress;
        if (!receive())
            return;
        if (inProgress)
            progressAgain = true;
        else
            schedule();
    }

    /// One non-blocking wire read into the read-ahead; true when the readers have something new
    /// to look at (bytes or the end of the stream).
    bool receive() {
        bool cipher = tlsPhase == TlsPhase::handshaking || tlsPhase == TlsPhase::secure;
        InBuffer& target = cipher ? cipherIn : plain;
        std::size_t wanted = readAhead;
        if (!cipher && !reads.empty() && reads.front().kind == ReadRequest::Kind::length &&
            reads.front().length > plain.size())
            wanted = std::clamp(reads.front().length - plain.size(), readAhead, largestWireRead);
        std::size_t room = target.reserve(wanted);
        ssize_t n;
        do {
            n = ::recv(socket.native_handle(), target.back(), room, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            target.commit(static_cast<std::size_t>(n));
            // A read that found less than it had room for emptied the socket: the next one
            // would most likely fail, so it waits for readiness instead.
            if (static_cast<std::size_t>(n) < room) {
                wireQuiet = true;
                awaitReadable();
            }
            return true;
        }
        int error = errno;
        if (target.size() == 0)
            target.release();
        if (n == 0) {
            wireEof = true;
            return true;
        }
        if (error == EAGAIN || error == EWOULDBLOCK) {
            wireQuiet = true;
            awaitReadable();
            return false;
        }
        closeWithError(makeError<AsyncSocketError>(AsyncSocketError::posix(error)));
        return false;
    }

    /// Waits for the socket to turn readable. Armed whenever the socket was found empty, so
    /// that readiness reported meanwhile is never missed.
    void awaitReadable() {
        if (readableWaitArmed || state != State::connected)
            return;
        readableWaitArmed = true;
        socket.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const std::error_code& ec) {
            self->readableWaitArmed = false;
            if (ec == asio::error::operation_aborted || self->state != State::connected)
                return;
            self->wireQuiet = false;
            self->progress();
        });
    }

    void armReadTimer() {
        if (reads.empty() || servingBlocked() || state != State::connected)
            return;
        const ReadRequest& r = reads.front();
        if (r.timeout < 0 || readTimerSerial == r.serial)
            return;
        readTimerSerial = r.serial;
        readTimer.expires_after(toDuration(r.timeout));
        readTimer.async_wait([self = shared_from_this(), serial = r.serial](const std::error_code& ec) {
            if (ec || self->state != State::connected || self->readTimerSerial != serial)
                return;
            self->closeWithError(
                makeError<AsyncSocketError>(AsyncSocketError::socket(AsyncSocketError::readTimeout)));
        });
    }

    /// Sends what may leave now, as far as the kernel takes it without blocking.
    void flushNow() {
        if (writableWaitArmed || state != State::connected)
            return;
        if (tlsPhase == TlsPhase::secure && !encryptWrites())
            return;
        bool changed = false;
        while (state == State::connected) {
            std::size_t offered = 0;
            std::array<iovec, largestWriteBatch> iov;
            std::size_t count = 0;
            if (tlsPhase == TlsPhase::handshaking || tlsPhase == TlsPhase::secure) {
                if (cipherOutSent < cipherOut.size()) {
                    iov[0] = {cipherOut.data() + cipherOutSent, cipherOut.size() - cipherOutSent};
                    offered = iov[0].iov_len;
                    count = 1;
                }
            } else {
                std::size_t limit = writes.size();
                if (tlsPhase == TlsPhase::pending)
                    limit = std::min(limit, writesBeforeTls);
                limit = std::min(limit, largestWriteBatch);
                for (std::size_t i = 0; i < limit; ++i) {
                    auto& data = writes[i].data;
                    std::size_t skip = i == 0 ? frontSent : 0;
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
        if (changed && (reportAcceptedWrites() || disconnectWhenWritten || tlsPhase == TlsPhase::pending))
            schedule();
    }

    /// Drops what the kernel took from the front of the queued bytes.
    void consumeSent(std::size_t n) {
        if (tlsPhase == TlsPhase::handshaking || tlsPhase == TlsPhase::secure) {
            cipherOutSent += n;
            if (cipherOutSent == cipherOut.size()) {
                cipherOut = Bytes();
                cipherOutSent = 0;
            }
            return;
        }
        plainUnsent -= n;
        reportedBytes -= std::min(n, reportedBytes);
        while (!writes.empty() && !(tlsPhase == TlsPhase::pending && writesBeforeTls == 0)) {
            std::size_t left = writes.front().data.size() - frontSent;
            if (n < left) {
                frontSent += n;
                return;
            }
            n -= left;
            popWrite();
        }
    }

    /// Encrypts every queued write; the written plaintext is gone, its ciphertext waits to
    /// be sent. False when the socket closed.
    bool encryptWrites() {
        while (!writes.empty()) {
            ErrorPtr error;
            auto& data = writes.front().data;
            if (tls->write(data.data(), data.size(), error) != AsyncTcpSocketTls::Status::ok) {
                closeWithError(error ? error
                                     : makeError<AsyncSocketError>(AsyncSocketError::socket(
                                           AsyncSocketError::other, "TLS write failed")));
                return false;
            }
            plainUnsent -= data.size();
            if (reportedWrites > 0)
                reportedBytes -= data.size();
            popWrite();
        }
        // The close alert follows the last queued plaintext: the engine takes no plaintext
        // after it, so it waits until every write has been encrypted.
        if (disconnectWhenWritten && !tlsCloseSent) {
            tlsCloseSent = true;
            tls->close();
        }
        return true;
    }

    /// Waits until the kernel has room again; the oldest write's time-out runs meanwhile.
    void awaitWritable() {
        if (writableWaitArmed || state != State::connected)
            return;
        writableWaitArmed = true;
        if (!writes.empty() && writes.front().timeout >= 0) {
            writeTimer.expires_after(toDuration(writes.front().timeout));
            writeTimer.async_wait([self = shared_from_this()](const std::error_code& ec) {
                if (ec || self->state != State::connected || !self->writableWaitArmed)
                    return;
                self->closeWithError(
                    makeError<AsyncSocketError>(AsyncSocketError::socket(AsyncSocketError::writeTimeout)));
            });
        }
        socket.async_wait(tcp::socket::wait_write, [self = shared_from_this()](const std::error_code& ec) {
            self->writableWaitArmed = false;
            if (ec == asio::error::operation_aborted || self->state != State::connected)
                return;
            self->writeTimer.cancel();
            self->flushNow();
            self->progress();
        });
    }

    // ---- TLS ----

    void activateTls() {
        tlsPhase = TlsPhase::handshaking;
        // Bytes read ahead past the last plaintext request are the peer's first ciphertext.
        if (plain.size() > 0)
            cipherIn.append(plain.data(), plain.size());
        plain.release();
        tls->attach(*this);
    }

    /// One handshake step; false when the socket closed.
    bool handshakeStep() {
        ErrorPtr error;
        auto status = tls->handshake(error);
        switch (status) {
        case AsyncTcpSocketTls::Status::ok:
            tlsPhase = TlsPhase::secure;
            if (auto d = currentDelegate())
                d->socketDidSecure();
            return state == State::connected;
        case AsyncTcpSocketTls::Status::wouldBlock:
            if (wireEof && cipherIn.size() == 0) {
                closeWithError(
                    makeError<AsyncSocketError>(AsyncSocketError::socket(AsyncSocketError::closed)));
                return false;
            }
            return true;
        case AsyncTcpSocketTls::Status::closed:
            closeWithError(makeError<AsyncSocketError>(AsyncSocketError::socket(AsyncSocketError::closed)));
            return false;
        case AsyncTcpSocketTls::Status::failed:
            break;
        }
        closeWithError(error ? error
                             : makeError<AsyncSocketError>(AsyncSocketError::socket(AsyncSocketError::other,
                                                                                    "TLS handshake failed")));
        return false;
    }

    /// Decrypts what the engine can give while a reader may want it (a unit ahead, or all the
    /// oldest request needs); false when closed.
    bool decrypt() {
        while (!tlsPeerClosed &&
               (plain.size() < readUnit || (!reads.empty() && !satisfiable(reads.front())))) {
            plain.reserve(readUnit);
            std::size_t count = 0;
            ErrorPtr error;
            auto status = tls->read(plain.back(), readUnit, count, error);
            plain.commit(count);
            if (plain.size() == 0)
                plain.release();
            if (status == AsyncTcpSocketTls::Status::ok && count > 0)
                continue;
            if (status == AsyncTcpSocketTls::Status::closed)
                tlsPeerClosed = true;
            if (status == AsyncTcpSocketTls::Status::failed) {
                closeWithError(error ? error
                                     : makeError<AsyncSocketError>(AsyncSocketError::socket(
                                           AsyncSocketError::other, "TLS read failed")));
                return false;
            }
            break;
        }
        return true;
    }

    long receive(std::uint8_t* destination, std::size_t length) override {
        if (cipherIn.size() == 0)
            return wireEof ? -1 : 0;
        std::size_t n = std::min(length, cipherIn.size());
        std::memcpy(destination, cipherIn.data(), n);
        cipherIn.consume(n);
        return static_cast<long>(n);
    }

    void send(const std::uint8_t* source, std::size_t length) override {
        cipherOut.insert(cipherOut.end(), source, source + length);
    }

    // ---- closing ----

    /// Closes; `afterWriting` ends the connection gracefully (see lingerClose).
    void closeWithError(ErrorPtr error, bool afterWriting = false) {
        if (state == State::closed)
            return;
        bool notify = started;
        state = State::closed;
        std::error_code ignored;
        connectTimer.cancel();
        readTimer.cancel();
        writeTimer.cancel();
        if (acceptor)
            acceptor->close(ignored);
        if (afterWriting && socket.is_open() && !abortsOnClose())
            lingerClose();
        else
            socket.close(ignored);
        reads.clear();
        writtenTags.clear();
        plain.clear();
        cipherIn.clear();
        cipherOut.clear();
        writes.clear();
        cipherOutSent = frontSent = plainUnsent = reportedWrites = reportedBytes = 0;
        if (!notify)
            return;
        asio::post(queue->ioContext(), [self = shared_from_this(), error = std::move(error)] {
            if (auto d = self->currentDelegate())
                d->socketDidDisconnect(error);
        });
    }

    /// SO_LINGER with a zero time-out, set through performBlock: the owner asks for a reset.
    bool abortsOnClose() {
        asio::socket_base::linger option;
        std::error_code ec;
        socket.get_option(option, ec);
        return !ec && option.enabled() && option.timeout() == 0;
    }

    /// Closing a descriptor with received bytes unread (or receiving bytes after the close)
    /// makes the kernel reset the connection and drop what is still queued for the peer. So
    /// a close after writing only ends our direction, then reads and discards until the peer
    /// closes too, for at most `lingerLimit`. The descriptor lives on in its own handlers,
    /// apart from this socket, which is closed for its owner from now on.
    void lingerClose() {
        struct Linger {
            explicit Linger(tcp::socket s) : socket(std::move(s)), timer(socket.get_executor()) {}
            tcp::socket socket;
            asio::steady_timer timer;
            std::array<std::uint8_t, readUnit> discard;
            void readOn(const std::shared_ptr<Linger>& self) {
                socket.async_read_some(asio::buffer(discard), [self](const std::error_code& ec, std::size_t) {
                    if (!ec) {
                        self->readOn(self);
                        return;
                    }
                    std::error_code ignored;
                    self->timer.cancel();
                    self->socket.close(ignored);
                });
            }
        };
        std::error_code ignored;
        socket.cancel(ignored); // our own waits end now, as after any close
        socket.shutdown(tcp::socket::shutdown_send, ignored);
        auto linger = std::make_shared<Linger>(std::move(socket));
        socket = tcp::socket(queue->ioContext());
        linger->timer.expires_after(lingerLimit);
        linger->timer.async_wait([linger](const std::error_code& ec) {
            std::error_code ignored;
            if (!ec)
                linger->socket.close(ignored);
        });
        linger->readOn(linger);
    }

    void ownerGone() {
        delegate.reset();
        // A socket told to close after writing keeps going until its bytes are out, but a
        // peer that stops reading must not keep it for ever.
        if (state == State::connected && disconnectWhenWritten) {
            // Most often the last bytes can leave at once: then no timer is needed.
            flushNow();
            if (state != State::connected)
                return;
            if (writes.empty() && cipherOut.empty() && !writableWaitArmed) {
                closeWithError(nullptr);
                return;
            }
            connectTimer.expires_after(orphanLinger);
            connectTimer.async_wait([self = shared_from_this()](const std::error_code& ec) {
                if (!ec)
                    self->closeWithError(nullptr);
            });
            return;
        }
        closeWithError(nullptr);
    }

    // ---- connect and accept ----

    void connect(const std::string& host, std::uint16_t port, const std::optional<std::string>& interface,
                 double timeout) {
        if (state != State::idle)
            throwSocket(AsyncSocketError::badConfig,
                        "Attempting to connect while connected or accepting connections. Disconnect first.");
        std::error_code ec;
        auto address = asio::ip::make_address(host, ec);
        if (ec)
            throwSocket(AsyncSocketError::badParam,
                        "Invalid host parameter (not a numeric address): " + host);
        tcp::endpoint endpoint(address, port);
        std::optional<tcp::endpoint> local;
        if (interface) {
            auto ifaceAddress = interfaceAddress(*interface, address.is_v6());
            if (!ifaceAddress)
                throwSocket(AsyncSocketError::badParam, "Unknown interface: " + *interface);
            if (address.is_v6() && address.to_v6().is_link_local()) {
                auto v6 = address.to_v6();
                unsigned index = if_nametoindex(interface->c_str());
                v6.scope_id(index ? index : ifaceAddress->to_v6().scope_id());
                endpoint.address(v6);
            }
            local = tcp::endpoint(*ifaceAddress, 0);
        }
        socket.open(endpoint.protocol(), ec);
        if (!ec && local)
            socket.bind(*local, ec);
        if (ec) {
            std::error_code ignored;
            socket.close(ignored);
            throw AsyncSocketError::posix(ec.value());
        }
        if (socketOptionsHook)
            socketOptionsHook(socket.native_handle());
        state = State::connecting;
        started = true;
        if (timeout >= 0) {
            connectTimer.expires_after(toDuration(timeout));
            connectTimer.async_wait([self = shared_from_this()](const std::error_code& ec) {
                if (ec || self->state != State::connecting)
                    return;
                self->closeWithError(
                    makeError<AsyncSocketError>(AsyncSocketError::socket(AsyncSocketError::connectTimeout)));
            });
        }
        socket.async_connect(endpoint, [self = shared_from_this(), endpoint](const std::error_code& ec) {
            if (self->state != State::connecting)
                return;
            self->connectTimer.cancel();
            if (ec) {
                self->closeWithError(errorFrom(ec));
                return;
            }
            self->state = State::connected;
            self->wireQuiet = true; // the peer has had nothing to answer yet
            self->awaitReadable();
            std::error_code ignored;
            self->socket.set_option(tcp::no_delay(true), ignored);
            self->recordAddresses(endpoint);
            self->inProgress = true; // requests queued meanwhile wait until the delegate returns
            if (auto d = self->currentDelegate())
                d->socketDidConnect(self->peerHost.value_or(""), self->peerPort.value_or(0));
            self->inProgress = false;
            self->progress();
        });
    }

    void acceptOn(const std::optional<std::string>& interface, std::uint16_t port) {
        if (state != State::idle)
            throwSocket(AsyncSocketError::badConfig,
                        "Attempting to accept while connected or accepting connections. Disconnect first.");
        tcp::endpoint endpoint;
        bool dualStack = false;
        if (interface) {
            auto address = interfaceAddress(*interface, false);
            if (!address)
                address = interfaceAddress(*interface, true);
            if (!address)
                throwSocket(AsyncSocketError::badParam, "Unknown interface: " + *interface);
            endpoint = tcp::endpoint(*address, port);
        } else {
            endpoint = tcp::endpoint(tcp::v6(), port);
            dualStack = true;
        }
        auto a = std::make_unique<tcp::acceptor>(queue->ioContext());
        std::error_code ec;
        a->open(endpoint.protocol(), ec);
        if (ec && dualStack) { // no IPv6 on this host
            endpoint = tcp::endpoint(tcp::v4(), port);
            dualStack = false;
            a->open(endpoint.protocol(), ec);
        }
        if (!ec && dualStack)
            a->set_option(asio::ip::v6_only(false), ec);
        if (!ec)
            a->set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec)
            a->bind(endpoint, ec);
        if (!ec)
            a->listen(asio::socket_base::max_listen_connections, ec);
        if (ec)
            throw AsyncSocketError::posix(ec.value());
        auto bound = a->local_endpoint(ec);
        if (!ec) {
            localHostText = addressText(bound.address());
            localPortNumber = bound.port();
        }
        acceptor = std::move(a);
        state = State::listening;
        started = true;
        acceptNext();
    }

    void acceptNext() {
        acceptor->async_accept(
            acceptedPeer, [self = shared_from_this()](const std::error_code& ec, tcp::socket peer) {
                if (self->state != State::listening)
                    return;
                if (ec) {
                    // Out of descriptors and the like: try again shortly rather than spin.
                    LOG_WARNING("Accept failed: {}", ec.message());
                    auto timer = std::make_shared<asio::steady_timer>(self->queue->ioContext());
                    timer->expires_after(std::chrono::milliseconds(100));
                    timer->async_wait([self, timer](const std::error_code&) {
                        if (self->state == State::listening)
                            self->acceptNext();
                    });
                    return;
                }
                auto core = std::make_shared<Core>(self->queue);
                core->socket = std::move(peer);
                // Heads and body pieces can leave in separate sends; with Nagle each would
                // wait for the peer's delayed acknowledgement of the one before.
                std::error_code ignored;
                core->socket.set_option(tcp::no_delay(true), ignored);
                core->state = State::connected;
                core->started = true;
                core->recordAddresses(self->acceptedPeer);
                std::shared_ptr<AsyncTcpSocket> accepted(new AsyncTcpSocket(core));
                if (auto d = self->currentDelegate())
                    d->socketDidAccept(accepted);
                core->schedule();
                accepted.reset();
                if (self->state == State::listening)
                    self->acceptNext();
            });
    }
};

AsyncTcpSocket::AsyncTcpSocket(std::shared_ptr<Core> core) : core_(std::move(core)) {}

std::shared_ptr<AsyncTcpSocket> AsyncTcpSocket::make(std::shared_ptr<DispatchQueue> queue) {
    return std::shared_ptr<AsyncTcpSocket>(new AsyncTcpSocket(std::make_shared<Core>(std::move(queue))));
}

AsyncTcpSocket::~AsyncTcpSocket() {
    auto core = core_;
    if (core->queue->isCurrent())
        core->ownerGone();
    else
        core->queue->async([core] { core->ownerGone(); });
}

const std::shared_ptr<DispatchQueue>& AsyncTcpSocket::queue() const {
    return core_->queue;
}

void AsyncTcpSocket::setDelegate(std::weak_ptr<AsyncTcpSocketDelegate> delegate) {
    core_->onQueue([&] { core_->delegate = std::move(delegate); });
}

void AsyncTcpSocket::setSocketOptionsHook(std::function<void(int fd)> hook) {
    core_->onQueue([&] { core_->socketOptionsHook = std::move(hook); });
}

void AsyncTcpSocket::performBlock(const std::function<void(int fd)>& block) {
    core_->onQueue([&] { block(core_->socket.is_open() ? core_->socket.native_handle() : -1); });
}

void AsyncTcpSocket::connect(const std::string& host, std::uint16_t port,
                             const std::optional<std::string>& interface, double timeout) {
    core_->onQueue([&] { core_->connect(host, port, interface, timeout); });
}

void AsyncTcpSocket::acceptOn(const std::optional<std::string>& interface, std::uint16_t port) {
    core_->onQueue([&] { core_->acceptOn(interface, port); });
}

void AsyncTcpSocket::readData(double timeout, std::size_t maxLength, long tag) {
    core_->onQueue([&] {
        if (core_->state == Core::State::closed || core_->disconnectWhenWritten)
            return;
        core_->reads.push_back({ReadRequest::Kind::any, maxLength, {}, timeout, tag, core_->nextSerial++});
        core_->readRequested();
    });
}

void AsyncTcpSocket::readDataToLength(std::size_t length, double timeout, long tag) {
    core_->onQueue([&] {
        if (core_->state == Core::State::closed || core_->disconnectWhenWritten)
            return;
        core_->reads.push_back({ReadRequest::Kind::length, length, {}, timeout, tag, core_->nextSerial++});
        core_->readRequested();
    });
}

void AsyncTcpSocket::readDataToData(Bytes marker, double timeout, std::size_t maxLength, long tag) {
    core_->onQueue([&] {
        if (core_->state == Core::State::closed || core_->disconnectWhenWritten)
            return;
        core_->reads.push_back(
            {ReadRequest::Kind::marker, maxLength, std::move(marker), timeout, tag, core_->nextSerial++});
        core_->readRequested();
    });
}

void AsyncTcpSocket::writeData(Bytes data, double timeout, long tag) {
    core_->onQueue([&] {
        if (core_->state == Core::State::closed || core_->disconnectWhenWritten)
            return;
        std::size_t size = data.size();
        core_->writes.push_back({std::move(data), timeout, tag});
        core_->writeRequested(size);
    });
}

void AsyncTcpSocket::startTLS(std::shared_ptr<AsyncTcpSocketTls> tls) {
    core_->onQueue([&] {
        if (core_->state == Core::State::closed || core_->tlsPhase != Core::TlsPhase::none)
            return;
        core_->tls = std::move(tls);
        core_->tlsPhase = Core::TlsPhase::pending;
        core_->readsBeforeTls = core_->reads.size();
        core_->writesBeforeTls = core_->writes.size();
        core_->schedule();
    });
}

void AsyncTcpSocket::disconnect() {
    core_->onQueue([&] { core_->closeWithError(nullptr); });
}

void AsyncTcpSocket::disconnectAfterWriting() {
    core_->onQueue([&] {
        auto& c = *core_;
        if (c.state == Core::State::closed)
            return;
        if (c.state != Core::State::connected) {
            c.closeWithError(nullptr);
            return;
        }
        c.disconnectWhenWritten = true;
        c.reads.clear();
        if (c.tlsPhase == Core::TlsPhase::pending)
            c.readsBeforeTls = 0; // the dropped reads must not hold TLS back
        c.schedule();
    });
}

bool AsyncTcpSocket::isConnected() const {
    return core_->onQueue([&] { return core_->state == Core::State::connected; });
}

bool AsyncTcpSocket::isDisconnected() const {
    return core_->onQueue(
        [&] { return core_->state == Core::State::closed || core_->state == Core::State::idle; });
}

std::optional<std::string> AsyncTcpSocket::connectedHost() const {
    return core_->onQueue([&] { return core_->peerHost; });
}

std::optional<std::uint16_t> AsyncTcpSocket::connectedPort() const {
    return core_->onQueue([&] { return core_->peerPort; });
}

std::optional<std::string> AsyncTcpSocket::localHost() const {
    return core_->onQueue([&] { return core_->localHostText; });
}

std::optional<std::uint16_t> AsyncTcpSocket::localPort() const {
    return core_->onQueue([&] { return core_->localPortNumber; });
}

} // namespace pemtrox
