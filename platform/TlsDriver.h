#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/AsyncTcpSocketBuffers.h"
#include "platform/Error.h"
#include "platform/TlsEngine.h"
#include "platform/TlsTransport.h"

namespace pemtrox {

class DispatchQueue;
class HandshakeWorkers;

/// One TLS connection over a byte transport: the engine set up from the TLS settings, its
/// handshake steps (the costly ones on the handshake workers), reads, writes and the close
/// alert. Every TLS connection of the program runs through one of these, whatever carries
/// its ciphertext (TlsTransport).
///
/// Contract:
/// - Belongs to the queue given to attach(); every call is made there.
/// - Until the peer's first flight has been answered, a handshake step that has the peer's
///   bytes goes to the workers with the engine: stepAway() is then true, handshake() answers
///   wouldBlock without touching anything, and no other engine call may be made (read,
///   write, close and the negotiated values wait; the owner does not call them). One step is
///   away at a time. When it comes back the driver sends what it wrote and tells the
///   transport (handshakeStepReturned); the next handshake() gives its outcome.
/// - A step that comes back to a transport that is gone or that detached the driver (the
///   socket closed), or that finds its queue gone, touches nothing; the driver is freed
///   with it once nobody else holds it.
class TlsDriver : public std::enable_shared_from_this<TlsDriver> {
public:
    enum class Status {
        ok,         ///< done (handshake complete, bytes read or written)
        wouldBlock, ///< needs more ciphertext from the peer, or a step is away
        closed,     ///< the peer closed the TLS connection, or its stream ended (ioErr)
        failed,     ///< a fatal TLS error
    };

    /// A driver for the settings, its steps on the program's handshake workers. A set-up
    /// failure is reported by the first handshake step (and by setupFailed()).
    static std::shared_ptr<TlsDriver> make(const TlsSettings& settings);
    ~TlsDriver();
    TlsDriver(const TlsDriver&) = delete;
    TlsDriver& operator=(const TlsDriver&) = delete;

    /// Other workers for the handshake steps, or null to run every step on the queue.
    /// Before the first handshake step.
    void setHandshakeWorkers(std::shared_ptr<HandshakeWorkers> workers) { workers_ = std::move(workers); }

    /// Binds the driver to its transport (held weakly) and to the queue both belong to.
    /// Before any other call but the set-up getters.
    void attach(std::weak_ptr<TlsTransport> transport, std::weak_ptr<DispatchQueue> queue);
    /// The transport closed: it is not called again, and a step away comes back to nothing.
    void detach();

    /// The peer's ciphertext not yet taken by the engine: the transport appends to it (or
    /// receives into it) as bytes arrive.
    InBuffer& input() { return input_; }
    const InBuffer& input() const { return input_; }
    /// The peer ended its stream: once the input is used up the engine reads its end.
    void endInput() { inputEnded_ = true; }
    bool inputEnded() const { return inputEnded_; }

    /// The most of the peer's ciphertext a transport keeps while a step is away: the largest
    /// TLS record with its header. A peer that sends more meanwhile waits for the step (its
    /// transport reads no further), however much it sends.
    static constexpr std::size_t heldWhileAway = 16384 + 2048 + 5;

    /// One handshake step (see the contract for steps away). `error` gets the engine's
    /// reason when it failed, or the set-up failure; it may stay null.
    Status handshake(ErrorPtr& error);
    bool stepAway() const { return away_; }
    /// Decrypts up to `length` bytes into `destination`; `count` is what was produced.
    Status read(std::uint8_t* destination, std::size_t length, std::size_t& count, ErrorPtr& error);
    /// Encrypts the plaintext; its records go to the transport before this returns.
    /// `processed` gets the count taken (all of it on ok).
    Status write(const std::uint8_t* source, std::size_t length, std::size_t& processed, ErrorPtr& error);
    /// Sends the close alert (once the connection is established; once).
    void close();

    /// The engine's own status of the last handshake, read or write (what texts like
    /// "Handshake failed (-9806)" carry).
    TlsEngine::Status engineStatus() const { return engineStatus_; }
    static bool isClosedStatus(TlsEngine::Status status) {
        return status == TlsEngine::closedGraceful || status == TlsEngine::closedAbort ||
               status == TlsEngine::closedNoNotify;
    }

    /// Set-up failed: no engine could be made (status 0), or the engine refused the
    /// settings (its status).
    bool setupFailed() const { return setupError_ != nullptr; }
    std::int32_t setupStatus() const { return setupStatus_; }

    /// The engine, for the negotiated values and the peer's certificates; null while a step
    /// is away or when none could be made.
    const TlsEngine* engine() const { return away_ ? nullptr : engine_.get(); }
    TlsEngine* engine() { return away_ ? nullptr : engine_.get(); }

    explicit TlsDriver(std::unique_ptr<TlsEngine> engine);

private:
    struct Step;
    Status translate(TlsEngine::Status status, ErrorPtr& error);
    void sendStepAway();
    void stepReturned(Step& step);
    TlsEngine::Status receive(std::uint8_t* destination, std::size_t& length);
    TlsEngine::Status sendOut(const std::uint8_t* source, std::size_t length);

    std::unique_ptr<TlsEngine> engine_;
    ErrorPtr setupError_;
    std::int32_t setupStatus_ = 0;
    std::shared_ptr<HandshakeWorkers> workers_;
    std::weak_ptr<TlsTransport> transport_;
    /// The attached transport while it is attached; the engine's callbacks use it.
    TlsTransport* sink_ = nullptr;
    std::weak_ptr<DispatchQueue> queue_;
    InBuffer input_;
    bool inputEnded_ = false;
    TlsEngine::Status engineStatus_ = TlsEngine::noErr;
    /// A step is on a worker with the engine; `step_` is its own transport meanwhile.
    bool away_ = false;
    Step* step_ = nullptr;
    /// A step away answered the peer's bytes: the costly step of either side is done, what
    /// is left is cheaper than the round trip through a worker.
    bool answered_ = false;
    /// The outcome of the step that came back, for the next handshake().
    std::optional<std::pair<TlsEngine::Status, ErrorPtr>> returned_;
};

} // namespace pemtrox
