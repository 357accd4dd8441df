#pragma once

// The inside of AsyncTcpSocket, shared by its parts: AsyncTcpSocket.cpp (the owner's calls,
// progress rounds and closing), AsyncTcpSocketConnect.cpp (connect and accept),
// AsyncTcpSocketRead.cpp (read requests and wire reads), AsyncTcpSocketWrite.cpp (write
// batching) and AsyncTcpSocketTls.cpp (the TLS driver between the wire and the requests).

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "platform/AsyncSocketError.h"
#include "platform/AsyncTcpSocket.h"
#include "platform/AsyncTcpSocketBuffers.h"
#include "platform/DispatchQueue.h"
#include "platform/ReactorSocket.h"
#include "platform/TlsDriver.h"

namespace pemtrox {

using tcp = asio::ip::tcp;

/// The read unit: TLS decrypts this much ahead of the readers.
inline constexpr std::size_t readUnit = 4096;

inline std::chrono::steady_clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
}

inline ErrorPtr socketError(AsyncSocketError::Code code) {
    return makeError<AsyncSocketError>(AsyncSocketError::socket(code));
}
inline ErrorPtr socketError(AsyncSocketError::Code code, std::string message) {
    return makeError<AsyncSocketError>(AsyncSocketError::socket(code, std::move(message)));
}

/// A timer made on first use: most sockets never time anything, and an idle one should hold
/// little.
class LazyTimer {
public:
    explicit LazyTimer(asio::io_context& io) : io_(&io) {}
    void cancel() {
        if (timer_)
            timer_->cancel();
    }
    void expires_after(std::chrono::steady_clock::duration d) {
        if (!timer_)
            timer_ = std::make_unique<asio::steady_timer>(*io_);
        timer_->expires_after(d);
    }
    /// After expires_after.
    template <class Handler> void async_wait(Handler&& handler) {
        timer_->async_wait(std::forward<Handler>(handler));
    }

private:
    asio::io_context* io_;
    std::unique_ptr<asio::steady_timer> timer_;
};

struct ReadRequest {
    enum class Kind { any, length, marker } kind;
    std::size_t length = 0; // any: the most; length: exactly; marker: the most (0: no limit)
    AsyncTcpSocket::Bytes marker;
    double timeout = -1.0;
    long tag = 0;
    std::uint64_t serial = 0;
};

struct WriteRequest {
    AsyncTcpSocket::Bytes data;
    double timeout = -1.0;
    long tag = 0;
};

class AsyncTcpSocket::Core : public std::enable_shared_from_this<Core>, private TlsTransport {
public:
    enum class State { idle, connecting, connected, listening, closed };
    enum class TlsPhase { none, pending, handshaking, secure };

    explicit Core(DispatchQueue& q);

    /// Read requests and the received bytes that answer them.
    struct ReadSide {
        explicit ReadSide(asio::io_context& io) : timer(io) {}
        Fifo<ReadRequest> requests;
        std::uint64_t nextSerial = 1;
        LazyTimer timer;
        std::uint64_t timerSerial = 0; // the request whose time-out runs
        InBuffer plain;                // received plaintext (all bytes when there is no TLS)
        bool wireEof = false;
        bool wireQuiet = false;         // the last wire read emptied the socket
        bool readableWaitArmed = false; // waiting for the socket to turn readable
        bool receivePosted = false;     // a wire read waits for the next progress round
        bool receivedThisRound = false; // this progress round has read from the wire
        bool halfClose = false;         // the peer's end ends reading only
        bool endReported = false;       // socketDidReadToEnd was sent
    };

    /// Writes, gathered into few system calls, and reported as written in order.
    struct WriteSide {
        explicit WriteSide(asio::io_context& io) : timer(io) {}
        Fifo<WriteRequest> requests;
        LazyTimer timer;                // the oldest write's time-out while the kernel is full
        std::size_t frontSent = 0;      // bytes of requests.front() already sent
        std::size_t plainUnsent = 0;    // queued plaintext not yet sent (or encrypted)
        std::size_t reportedWrites = 0; // writes at the front already reported as written
        std::size_t reportedBytes = 0;  // their bytes not yet sent
        Fifo<long> writtenTags;         // written writes not yet reported
        bool writableWaitArmed = false; // the kernel took no more: waiting for room
        bool flushPosted = false;       // a flush waits at the end of the queue's turn
        bool flushRides = false;        // that flush runs after the progress round already posted
        bool activity = false;          // a write came or was reported since the flush was posted
        bool closeWhenWritten = false;  // disconnectAfterWriting: close once all has left
        bool shutWhenWritten = false;   // shutdownAfterWriting: send a FIN once all has left
        bool shut = false;              // the FIN was sent
    };

    /// The TLS started by startTLS, once the requests queued before it are done. The
    /// driver holds the ciphertext received and not yet decrypted.
    struct TlsState {
        std::shared_ptr<TlsDriver> driver;
        TlsPhase phase = TlsPhase::none;
        std::size_t readsBefore = 0, writesBefore = 0; // requests still to go in the clear
        AsyncTcpSocket::Bytes cipherOut;
        std::size_t cipherOutSent = 0;
        bool peerClosed = false, closeSent = false;
        bool onWire() const { return phase == TlsPhase::handshaking || phase == TlsPhase::secure; }
        /// A handshake step is on a worker: it may still bring bytes to send or answer.
        bool stepAway() const { return driver && driver->stepAway(); }
        std::size_t cipherIn() const { return driver && onWire() ? driver->input().size() : 0; }
    };

    // Not owned: the owner's handle keeps the queue, so a core whose pending work sits in the
    // queue's event loop is freed with that loop instead of keeping the queue alive for ever.
    // Only the accept handler, which runs before any delegate could let the queue go, uses it;
    // the rest reaches the event loop through `io`, which outlives a queue released from its
    // own work.
    DispatchQueue* queue;
    /// The same queue for a TLS driver that hands a handshake step back: it learns there
    /// whether the queue still exists.
    std::weak_ptr<DispatchQueue> queueRef;
    asio::io_context& io;
    ReactorSocket socket;
    std::unique_ptr<tcp::acceptor> acceptor;
    tcp::endpoint acceptedPeer; // filled in by the accept in progress
    LazyTimer connectTimer;
    std::weak_ptr<AsyncTcpSocketDelegate> delegate;
    std::function<void(int)> socketOptionsHook;
    State state = State::idle;
    bool started = false; // a connect or listen began: the delegate hears of the end
    std::optional<std::string> peerHost, localHostText;
    std::optional<std::uint16_t> peerPort, localPortNumber;

    ReadSide in;
    WriteSide out;
    TlsState tls;

    // A progress round is running / must run again / is posted.
    bool inProgress = false, progressAgain = false, scheduled = false;

    std::shared_ptr<AsyncTcpSocketDelegate> currentDelegate() const { return delegate.lock(); }

    // ---- AsyncTcpSocket.cpp: progress rounds and closing ----
    void schedule();
    void progress();
    void step();
    /// Closes; `afterWriting` ends the connection gracefully (see lingerClose).
    void closeWithError(ErrorPtr error, bool afterWriting = false);
    void lingerClose();
    bool abortsOnClose();
    void ownerGone();

    // ---- AsyncTcpSocketConnect.cpp ----
    void connect(const std::string& host, std::uint16_t port, const std::optional<std::string>& interface,
                 double timeout);
    void acceptOn(const std::optional<std::string>& interface, std::uint16_t port);
    void acceptNext();
    void recordAddresses(const std::optional<tcp::endpoint>& knownPeer = std::nullopt);

    // ---- AsyncTcpSocketRead.cpp ----
    void readRequested();
    bool plainEnded() const;
    bool servingBlocked() const;
    bool satisfiable(const ReadRequest& r) const;
    bool serveReads();
    bool reportReadEnd();
    bool wantsWireData() const;
    void readFromWireIfNeeded();
    bool readWire();
    void awaitReadable();
    void armReadTimer();

    // ---- AsyncTcpSocketWrite.cpp ----
    void writeRequested(std::size_t size);
    std::size_t unsentBytes() const { return out.plainUnsent + tls.cipherOut.size() - tls.cipherOutSent; }
    bool reportAcceptedWrites();
    void popWrite();
    void flushSoon();
    void flushTurn();
    void flushNow();
    void consumeSent(std::size_t n);
    void shutWhenWritten();
    void awaitWritable();
    bool allWritten() const {
        // A handshake step away may still bring bytes to send.
        return out.requests.empty() && tls.cipherOut.empty() && !out.writableWaitArmed && !tls.stepAway();
    }

    // ---- AsyncTcpSocketTls.cpp ----
    void startTls(std::shared_ptr<TlsDriver> driver);
    void activateTls();
    bool handshakeStep();
    bool handshakeOutcome(TlsDriver::Status status, ErrorPtr error);
    bool decrypt();
    bool encryptWrites();
    void send(const std::uint8_t* source, std::size_t length) override;
    void handshakeStepReturned() override;
};

} // namespace pemtrox
