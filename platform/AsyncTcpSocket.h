#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace pemtrox {

class AsyncTcpSocket;
class DispatchQueue;
class TlsDriver;

/// The callbacks of an AsyncTcpSocket. They run on the socket's queue, never inside the
/// call that caused them. The socket holds its delegate weakly; a gone delegate is skipped.
class AsyncTcpSocketDelegate {
public:
    virtual ~AsyncTcpSocketDelegate() = default;
    /// The connection is up; host and port are the peer's.
    virtual void socketDidConnect(const std::string& host, std::uint16_t port) = 0;
    /// One read request is answered (exactly once, in request order).
    virtual void socketDidRead(std::vector<std::uint8_t> data, long tag) = 0;
    /// One write is taken (in write order): sent, or held among the few unsent bytes the
    /// socket gathers into one send; those still leave before a close after writing.
    virtual void socketDidWrite(long tag) = 0;
    /// The socket is closed: after a failed or ended connection, once. Error absent for a
    /// local disconnect; AsyncSocketError otherwise. Read requests still queued are dropped.
    virtual void socketDidDisconnect(ErrorPtr error) = 0;
    /// A listening socket accepted a connection; the new socket belongs to the same queue
    /// and is dropped (and closed) when nobody keeps it.
    virtual void socketDidAccept(std::shared_ptr<AsyncTcpSocket> newSocket) { (void)newSocket; }
    /// The TLS handshake that startTLS began has completed.
    virtual void socketDidSecure() {}
    /// The peer ended its stream on a socket that allows half-closing: every byte before the
    /// end was read, read requests still queued are dropped, and writing goes on. Once.
    virtual void socketDidReadToEnd() {}
};

/// An asynchronous TCP socket on one DispatchQueue: connect (optional interface, time-out),
/// listen and accept, a FIFO of read requests each answered exactly once, tagged writes
/// answered in order, disconnect now or after writing, optional TLS through startTLS.
/// Call it on its queue (calls from elsewhere are run there synchronously). Time-outs are
/// seconds; a negative time-out means none. Releasing the last reference closes the
/// socket without telling the delegate.
class AsyncTcpSocket {
public:
    using Bytes = std::vector<std::uint8_t>;

    /// A new, unconnected socket whose work and callbacks run on `queue`.
    static std::shared_ptr<AsyncTcpSocket> make(std::shared_ptr<DispatchQueue> queue);
    ~AsyncTcpSocket();
    AsyncTcpSocket(const AsyncTcpSocket&) = delete;
    AsyncTcpSocket& operator=(const AsyncTcpSocket&) = delete;

    const std::shared_ptr<DispatchQueue>& queue() const;
    /// Replaces the delegate (held weakly).
    void setDelegate(std::weak_ptr<AsyncTcpSocketDelegate> delegate);

    /// Runs on the new descriptor before connect() is called, for socket options that must
    /// be in place before the first packet (SO_MARK and the like).
    void setSocketOptionsHook(std::function<void(int fd)> hook);
    /// Runs the block on the queue with the descriptor (-1 when there is none).
    void performBlock(const std::function<void(int fd)>& block);

    /// Starts connecting to a numeric IPv4 or IPv6 address. `interface` is an interface
    /// name or a local address to connect from. Throws AsyncSocketError when the connect
    /// cannot start; otherwise exactly one of socketDidConnect / socketDidDisconnect follows.
    void connect(const std::string& host, std::uint16_t port,
                 const std::optional<std::string>& interface = {}, double timeout = -1.0);
    /// Listens on the interface (a local address, "localhost", or absent for all) and port
    /// (0 picks one); throws AsyncSocketError on failure.
    void acceptOn(const std::optional<std::string>& interface, std::uint16_t port);

    /// Reads whatever arrives, at most `maxLength` bytes (0 answers with empty data).
    void readData(double timeout, std::size_t maxLength, long tag);
    /// Reads exactly `length` bytes (0 answers with empty data).
    void readDataToLength(std::size_t length, double timeout, long tag);
    /// Reads up to and including the first occurrence of `marker`.
    void readDataToData(Bytes marker, double timeout, long tag) {
        readDataToData(std::move(marker), timeout, 0, tag);
    }
    /// The same, closing the socket with readMaxedOut when no marker ends within `maxLength`
    /// bytes (0: no limit).
    void readDataToData(Bytes marker, double timeout, std::size_t maxLength, long tag);
    /// Queues bytes for the peer; socketDidWrite(tag) follows once they are sent or gathered
    /// within the socket's limit of unsent bytes (256 KiB), never inside this call.
    void writeData(Bytes data, double timeout, long tag);

    /// Starts TLS once the reads and writes queued before this call are done: the driver
    /// then sits between the wire (ciphertext) and the read and write requests (plaintext).
    /// The owner may keep it to ask for the negotiated values once the socket is secure.
    void startTLS(std::shared_ptr<TlsDriver> tls);

    /// Closes at once; queued reads and writes are dropped.
    void disconnect();
    /// Closes once every queued write is sent; further reads and writes are ignored.
    void disconnectAfterWriting();
    /// From now on the peer's end of stream ends only the reading side (socketDidReadToEnd)
    /// instead of closing the socket. Plain connected sockets only: false, and nothing
    /// changes, once TLS was asked for or the socket is not connected.
    bool allowHalfClose();
    /// Ends the sending side (a FIN) once every queued write is sent; reading goes on. The
    /// socket closes when the peer has ended its side too.
    void shutdownAfterWriting();

    bool isConnected() const;
    bool isDisconnected() const;
    /// Whether bytes or the peer's end arrived that no read has taken yet. The socket reads
    /// ahead while nobody reads, so this sees what reached it before the current queue turn.
    bool hasUnreadInput() const;
    /// Received bytes the socket holds that no read has taken yet (not counting the kernel's).
    std::size_t bufferedInput() const;
    /// The peer's and the local address text and port; absent until connected.
    std::optional<std::string> connectedHost() const;
    std::optional<std::uint16_t> connectedPort() const;
    std::optional<std::string> localHost() const;
    std::optional<std::uint16_t> localPort() const;

    class Core;

private:
    AsyncTcpSocket(std::shared_ptr<Core> core, std::shared_ptr<DispatchQueue> queue);
    std::shared_ptr<Core> core_;
    std::shared_ptr<DispatchQueue> queue_;
};

} // namespace pemtrox
