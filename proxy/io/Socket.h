#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "proxy/io/CloseCompletion.h"
#include "proxy/io/MyInputStream.h"
#include "proxy/io/MyOutputStream.h"

namespace pemtrox {

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
};

} // namespace pemtrox
