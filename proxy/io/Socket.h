#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "proxy/io/CloseCompletion.h"
#include "proxy/io/MyInputStream.h"
#include "proxy/io/MyOutputStream.h"

namespace pemtrox {

class SSLSocket;
class SocketConnectionState;
struct TlsSettings;
class Socket;

/// A close block: gets the socket, the error so far and the continuation, which it must call
/// (with the same or another error) for the close to go on.
using SocketCloseBlock =
    std::function<void(std::shared_ptr<Socket> socket, ErrorPtr error, CloseCompletion next)>;

/// A connection as the engine sees it, whatever carries it: one input stream, one output
/// stream, the two endpoints and an asynchronous close.
///
/// Contract: a socket and its streams belong to one queue and are called only there.
/// close() closes once; its completion runs exactly once per call (also when the socket was
/// already closed, then with that call's error), on the socket's queue, possibly inside the
/// call. A socket must be closed before its last reference goes. Captures follow the one
/// rule written at MyInputStream.
class Socket {
public:
    virtual ~Socket() = default;

    /// The stream the received bytes are read from.
    virtual std::shared_ptr<MyInputStream> inputStream() const = 0;
    /// The stream the bytes to send are written into.
    virtual std::shared_ptr<MyOutputStream> outputStream() const = 0;
    /// The remote host or address text, absent until known.
    virtual std::optional<std::string> host() const = 0;
    /// The remote port, absent until known.
    virtual std::optional<int> port() const = 0;
    virtual std::optional<std::string> localHost() const = 0;
    virtual std::optional<int> localPort() const = 0;
    virtual bool isClosed() const = 0;
    /// Closes the socket once; the completion gets the error the close sequence ends with.
    virtual void close(ErrorPtr error = nullptr, CloseCompletion completion = nullptr) = 0;
    /// Asks that from now on the peer's end of stream end only the input stream, and that
    /// closing the output stream alone end our side. False where the socket cannot do it.
    virtual bool allowHalfClose() { return false; }
    /// Whether the peer has left: reset, closed, or ended its side. With `unreadKeepsIt`, a
    /// peer that ended its side with bytes still unread, here or (`unreadAbove`) in a reader
    /// above, counts as there: it may still wait for an answer. False where the socket
    /// cannot tell.
    virtual bool peerHasLeft(bool unreadKeepsIt, bool unreadAbove) {
        (void)unreadKeepsIt, (void)unreadAbove;
        return false;
    }
    /// Whether bytes have arrived that nobody has read yet (in the socket or the kernel).
    /// False where the socket cannot tell.
    virtual bool hasUnreadInput() const { return false; }
    /// Resets the connection at once, dropping what is still queued for the peer; the
    /// socket's own close sequence follows. Does nothing where the socket cannot.
    virtual void resetConnection() {}
    /// Starts TLS on this connection with the socket's own TLS, where it runs one: returns
    /// the TLS socket to use from now on, whose callback follows SSLSocketWrapper's contract.
    /// Null where the socket has none (the callback is then never called): TLS then goes
    /// over its streams (secureSocket does either).
    virtual std::shared_ptr<SSLSocket> startTLS(const TlsSettings& settings,
                                                std::function<void(SocketConnectionState)> callback) {
        (void)settings, (void)callback;
        return nullptr;
    }
    /// Adds a block that runs first when the socket closes (AbstractBaseSocket's will-close
    /// blocks): how a socket presented over this one couples its close to it. False where the
    /// socket has no close blocks.
    virtual bool addWillCloseBlock(SocketCloseBlock block) {
        (void)block;
        return false;
    }
    /// The socket's number among the sockets of this process (AbstractSocket's globalIndex),
    /// recorded with the exchanges it carries. Absent for a socket presented over another one.
    virtual std::optional<std::int64_t> connectionIndex() const { return std::nullopt; }
    /// The seconds a connect of this socket may take, where it has a limit of its own.
    virtual std::optional<double> connectTimeout() const { return std::nullopt; }
};

} // namespace pemtrox
