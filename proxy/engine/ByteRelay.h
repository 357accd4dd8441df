#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Error.h"
#include "proxy/engine/StreamCopier.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

class DispatchQueue;
class InternalProxyServer;
class MyInputStream;
class MyOutputStream;
class ProxyEvent;
class Socket;

/// The bytes of one opaque exchange, copied both ways between its client and its server
/// (a CONNECT tunnel's raw copy, a connection the tunnel's stack relays). The end rules:
/// - a direction whose source ends cleanly passes the end on (the output stream toward the
///   other peer closes: a FIN on TCP) while the other direction runs on to its own end, when
///   both peers can end one direction alone; otherwise that end ends the relay;
/// - an error in either direction resets both peers' connections and ends the relay: neither
///   peer may take a cut stream for a whole one;
/// - the relay ends once both directions have ended.
/// The relay ends once: both copies stop, both input streams close, then `ended` runs, where
/// the owner closes the peers and completes the exchange.
///
/// The copies count the bytes into the exchange and report them to the server's listeners,
/// and read on only while the exchange is not paused (see StreamCopier).
///
/// Runs on the server's queue. The owner holds the relay; the copies hold it weakly. The
/// relay holds its hooks until it has ended and neither copy runs any more, then lets them go.
class ByteRelay : public PlumberTracked, public std::enable_shared_from_this<ByteRelay> {
public:
    using Direction = StreamCopier::Direction;

    /// One side of the exchange as the relay sees it.
    struct Peer {
        /// The bytes the peer sends.
        std::shared_ptr<MyInputStream> in;
        /// Where the bytes for the peer go.
        std::shared_ptr<MyOutputStream> out;
        /// The connections that carry the peer, each reset on an error (a TLS socket and the
        /// TCP socket under it).
        std::vector<std::shared_ptr<Socket>> sockets;
        /// Whether the peer's end ends only `in`, and closing `out` alone ends our side.
        bool halfCloses = false;
        /// The most bytes one read of `in` asks for; unset: the stream's own piece size.
        std::optional<std::uint64_t> readLength;

        /// A socket's own streams. Asks the socket to let its peer end one direction alone,
        /// so it must come before the socket's first read.
        static Peer of(const std::shared_ptr<Socket>& socket);
    };

    struct Hooks {
        /// Each copy's status as its copier reports it (`started` with its first bytes,
        /// `finished` at its end), at once, also after the relay has ended.
        std::function<void(Direction, StreamCopierStatus)> copyStatus;
        /// Whether the owner has let the exchange go: no end rule applies any more, and the
        /// relay never ends. Null: never.
        std::function<bool()> abandoned;
        /// The relay has ended. Once.
        std::function<void()> ended;
    };

    static std::shared_ptr<ByteRelay> make(Peer client, Peer server,
                                           const std::shared_ptr<InternalProxyServer>& proxyServer,
                                           std::shared_ptr<ProxyEvent> evt, Hooks hooks);
    ByteRelay(Peer client, Peer server, const std::shared_ptr<InternalProxyServer>& proxyServer,
              std::shared_ptr<ProxyEvent> evt, Hooks hooks);
    ~ByteRelay() override;

    /// Starts the copy of one direction (request: client to server). Again, or once the relay
    /// has ended, it does nothing.
    void start(Direction direction);
    /// Starts both directions.
    void start();

    /// Whether the relay has ended.
    bool isOver() const { return over_; }
    /// The copy of one direction.
    const std::shared_ptr<StreamCopier>& copier(Direction direction) const {
        return copiers_[index(direction)];
    }
    /// The error that ended a direction's copy; null while it runs and after a clean end.
    ErrorPtr error(Direction direction) const { return copier(direction)->error(); }

private:
    static std::size_t index(Direction direction) { return direction == Direction::request ? 0 : 1; }
    bool abandoned() const { return hooks_.abandoned && hooks_.abandoned(); }
    void copyReported(Direction direction, StreamCopierStatus status);
    void directionEnded(Direction direction);
    void resetPeers();
    void end();
    /// Lets the hooks (and whatever they hold) go once nothing can call them any more.
    void releaseHooksWhenDone();

    Peer client_, server_;
    std::shared_ptr<DispatchQueue> queue_;
    Hooks hooks_;
    std::array<std::shared_ptr<StreamCopier>, 2> copiers_;
    std::array<bool, 2> started_{false, false};
    std::array<bool, 2> directionOver_{false, false};
    bool over_ = false;
    bool endedRun_ = false;
};

} // namespace pemtrox
