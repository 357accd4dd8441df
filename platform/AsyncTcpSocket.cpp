#include "platform/AsyncTcpSocket.h"

#include <array>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "platform/AsyncTcpSocketCore.h"

namespace pemtrox {

namespace {

/// How long a released socket may still spend sending what was written before its close.
constexpr std::chrono::seconds orphanLinger{30};
/// How long a connection closed after writing waits for the peer's close.
constexpr std::chrono::seconds lingerLimit{5};

} // namespace

AsyncTcpSocket::Core::Core(DispatchQueue& q)
    : queue(&q), queueRef(q.weak_from_this()), io(q.ioContext()), socket(io), connectTimer(io), in(io),
      out(io) {}

// ---- progress: the one place that answers requests and starts I/O ----

/// Asks for progress later on the queue (never inside the caller's call).
void AsyncTcpSocket::Core::schedule() {
    if (inProgress) {
        progressAgain = true;
        return;
    }
    if (scheduled)
        return;
    scheduled = true;
    asio::post(io, [self = shared_from_this()] {
        self->scheduled = false;
        self->progress();
        if (self->out.flushRides) {
            self->out.flushRides = false;
            self->flushTurn();
        }
    });
}

void AsyncTcpSocket::Core::progress() {
    if (inProgress) {
        progressAgain = true;
        return;
    }
    auto self = shared_from_this(); // a delegate may drop the last owner
    inProgress = true;
    in.receivedThisRound = false;
    do {
        progressAgain = false;
        step();
    } while (progressAgain && state == State::connected);
    inProgress = false;
}

void AsyncTcpSocket::Core::step() {
    if (state != State::connected)
        return;
    while (!out.writtenTags.empty()) {
        long tag = out.writtenTags.front();
        out.writtenTags.pop_front();
        out.activity = true;
        if (auto d = currentDelegate())
            d->socketDidWrite(tag);
        if (state != State::connected)
            return;
    }
    if (tls.phase == TlsPhase::pending && tls.readsBefore == 0 && tls.writesBefore == 0)
        activateTls();
    if (tls.phase == TlsPhase::handshaking && !handshakeStep())
        return;
    if (tls.phase == TlsPhase::secure && !decrypt())
        return;
    if (!serveReads())
        return;
    if (plainEnded() && (in.requests.empty() ? in.plain.size() == 0 : !satisfiable(in.requests.front()))) {
        // The peer closed: what could be answered was; the rest cannot be.
        if (!in.halfClose || out.shut) {
            closeWithError(out.shut ? nullptr : socketError(AsyncSocketError::closed));
            return;
        }
        if (!reportReadEnd())
            return;
    } else {
        readFromWireIfNeeded();
        armReadTimer();
    }
    // Nothing more will be written after a close, and handshake messages need no batching.
    if (out.closeWhenWritten || tls.phase == TlsPhase::handshaking)
        flushNow();
    else
        flushSoon();
    if (state == State::connected && out.closeWhenWritten && allWritten()) {
        // Writes that left in this very step are reported before the close.
        if (!out.writtenTags.empty()) {
            progressAgain = true;
            return;
        }
        closeWithError(nullptr, true);
        return;
    }
    shutWhenWritten();
}

// ---- closing ----

void AsyncTcpSocket::Core::closeWithError(ErrorPtr error, bool afterWriting) {
    if (state == State::closed)
        return;
    bool notify = started;
    state = State::closed;
    std::error_code ignored;
    connectTimer.cancel();
    in.timer.cancel();
    out.timer.cancel();
    if (acceptor)
        acceptor->close(ignored);
    if (afterWriting && socket.is_open() && !abortsOnClose())
        lingerClose();
    else
        socket.close(ignored);
    in.requests.clear();
    in.plain.release();
    out.requests.clear();
    out.writtenTags.clear();
    out.frontSent = out.plainUnsent = out.reportedWrites = out.reportedBytes = 0;
    if (tls.driver)
        tls.driver->detach(); // a handshake step away comes back to nothing
    tls.cipherOut.clear();
    tls.cipherOutSent = 0;
    if (!notify)
        return;
    asio::post(io, [self = shared_from_this(), error = std::move(error)] {
        if (auto d = self->currentDelegate())
            d->socketDidDisconnect(error);
    });
}

/// SO_LINGER with a zero time-out, set through performBlock: the owner asks for a reset.
bool AsyncTcpSocket::Core::abortsOnClose() {
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
void AsyncTcpSocket::Core::lingerClose() {
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
    socket = tcp::socket(io);
    linger->timer.expires_after(lingerLimit);
    linger->timer.async_wait([linger](const std::error_code& ec) {
        std::error_code ignored;
        if (!ec)
            linger->socket.close(ignored);
    });
    linger->readOn(linger);
}

void AsyncTcpSocket::Core::ownerGone() {
    delegate.reset();
    // A socket told to close after writing keeps going until its bytes are out, but a
    // peer that stops reading must not keep it for ever.
    if (state == State::connected && out.closeWhenWritten) {
        // Most often the last bytes can leave at once: then no timer is needed.
        flushNow();
        if (state != State::connected)
            return;
        if (allWritten()) {
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

// ---- the owner's calls ----

AsyncTcpSocket::AsyncTcpSocket(std::shared_ptr<Core> core, std::shared_ptr<DispatchQueue> queue)
    : core_(std::move(core)), queue_(std::move(queue)) {}

std::shared_ptr<AsyncTcpSocket> AsyncTcpSocket::make(std::shared_ptr<DispatchQueue> queue) {
    auto core = std::make_shared<Core>(*queue);
    return std::shared_ptr<AsyncTcpSocket>(new AsyncTcpSocket(std::move(core), std::move(queue)));
}

AsyncTcpSocket::~AsyncTcpSocket() {
    auto core = core_;
    if (queue_->isCurrent())
        core->ownerGone();
    else
        queue_->async([core] { core->ownerGone(); });
}

const std::shared_ptr<DispatchQueue>& AsyncTcpSocket::queue() const {
    return queue_;
}

void AsyncTcpSocket::setDelegate(std::weak_ptr<AsyncTcpSocketDelegate> delegate) {
    queue_->onQueue([&] { core_->delegate = std::move(delegate); });
}

void AsyncTcpSocket::setSocketOptionsHook(std::function<void(int fd)> hook) {
    queue_->onQueue([&] { core_->socketOptionsHook = std::move(hook); });
}

void AsyncTcpSocket::performBlock(const std::function<void(int fd)>& block) {
    queue_->onQueue([&] { block(core_->socket.is_open() ? core_->socket.native_handle() : -1); });
}

void AsyncTcpSocket::connect(const std::string& host, std::uint16_t port,
                             const std::optional<std::string>& interface, double timeout) {
    queue_->onQueue([&] { core_->connect(host, port, interface, timeout); });
}

void AsyncTcpSocket::acceptOn(const std::optional<std::string>& interface, std::uint16_t port) {
    queue_->onQueue([&] { core_->acceptOn(interface, port); });
}

void AsyncTcpSocket::readData(double timeout, std::size_t maxLength, long tag) {
    queue_->onQueue([&] {
        if (core_->state == Core::State::closed || core_->out.closeWhenWritten)
            return;
        core_->in.requests.push_back(
            {ReadRequest::Kind::any, maxLength, {}, timeout, tag, core_->in.nextSerial++});
        core_->readRequested();
    });
}

void AsyncTcpSocket::readDataToLength(std::size_t length, double timeout, long tag) {
    queue_->onQueue([&] {
        if (core_->state == Core::State::closed || core_->out.closeWhenWritten)
            return;
        core_->in.requests.push_back(
            {ReadRequest::Kind::length, length, {}, timeout, tag, core_->in.nextSerial++});
        core_->readRequested();
    });
}

void AsyncTcpSocket::readDataToData(Bytes marker, double timeout, std::size_t maxLength, long tag) {
    queue_->onQueue([&] {
        if (core_->state == Core::State::closed || core_->out.closeWhenWritten)
            return;
        core_->in.requests.push_back(
            {ReadRequest::Kind::marker, maxLength, std::move(marker), timeout, tag, core_->in.nextSerial++});
        core_->readRequested();
    });
}

void AsyncTcpSocket::writeData(Bytes data, double timeout, long tag) {
    queue_->onQueue([&] {
        if (core_->state == Core::State::closed || core_->out.closeWhenWritten)
            return;
        std::size_t size = data.size();
        core_->out.requests.push_back({std::move(data), timeout, tag});
        core_->writeRequested(size);
    });
}

void AsyncTcpSocket::startTLS(std::shared_ptr<TlsDriver> tls) {
    queue_->onQueue([&] { core_->startTls(std::move(tls)); });
}

void AsyncTcpSocket::disconnect() {
    queue_->onQueue([&] { core_->closeWithError(nullptr); });
}

void AsyncTcpSocket::disconnectAfterWriting() {
    queue_->onQueue([&] {
        auto& c = *core_;
        if (c.state == Core::State::closed)
            return;
        if (c.state != Core::State::connected) {
            c.closeWithError(nullptr);
            return;
        }
        c.out.closeWhenWritten = true;
        c.in.requests.clear();
        if (c.tls.phase == Core::TlsPhase::pending)
            c.tls.readsBefore = 0; // the dropped reads must not hold TLS back
        c.schedule();
    });
}

bool AsyncTcpSocket::allowHalfClose() {
    return queue_->onQueue([&] {
        auto& c = *core_;
        if (c.state != Core::State::connected || c.tls.phase != Core::TlsPhase::none)
            return false;
        c.in.halfClose = true;
        return true;
    });
}

void AsyncTcpSocket::shutdownAfterWriting() {
    queue_->onQueue([&] {
        auto& c = *core_;
        if (c.state != Core::State::connected || !c.in.halfClose)
            return;
        c.out.shutWhenWritten = true;
        c.schedule();
    });
}

bool AsyncTcpSocket::isConnected() const {
    return queue_->onQueue([&] { return core_->state == Core::State::connected; });
}

bool AsyncTcpSocket::isDisconnected() const {
    return queue_->onQueue(
        [&] { return core_->state == Core::State::closed || core_->state == Core::State::idle; });
}

std::size_t AsyncTcpSocket::bufferedInput() const {
    return core_->queue->onQueue([&] { return core_->in.plain.size() + core_->tls.cipherIn(); });
}

bool AsyncTcpSocket::hasUnreadInput() const {
    // No system call: while nobody reads, the socket reads one unit ahead anyway.
    return queue_->onQueue([&] {
        const auto& c = *core_;
        return c.in.plain.size() > 0 || c.in.wireEof || c.tls.cipherIn() > 0 || c.tls.peerClosed;
    });
}

std::optional<std::string> AsyncTcpSocket::connectedHost() const {
    return queue_->onQueue([&] { return core_->peerHost; });
}

std::optional<std::uint16_t> AsyncTcpSocket::connectedPort() const {
    return queue_->onQueue([&] { return core_->peerPort; });
}

std::optional<std::string> AsyncTcpSocket::localHost() const {
    return queue_->onQueue([&] { return core_->localHostText; });
}

std::optional<std::uint16_t> AsyncTcpSocket::localPort() const {
    return queue_->onQueue([&] { return core_->localPortNumber; });
}

} // namespace pemtrox
