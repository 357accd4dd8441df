#pragma once

#include <cstddef>
#include <cstdint>

namespace pemtrox {

/// The byte transport a TlsDriver runs over: a kernel socket, a connection on the stack or
/// an in-memory pipe. The transport pushes the peer's ciphertext into the driver (its
/// input() and endInput()) and takes the driver's ciphertext through send().
///
/// Contract: every call runs on the queue the driver was attached with, never from a
/// handshake worker. The driver holds its transport weakly: a transport that is gone, or
/// that detached the driver when it closed, is never called again.
class TlsTransport {
public:
    virtual ~TlsTransport() = default;
    /// Queues ciphertext for the peer; always takes all of it. May run inside any driver
    /// call (the engine writes from inside handshake, read, write and close).
    virtual void send(const std::uint8_t* source, std::size_t length) = 0;
    /// A handshake step came back from the workers and the driver took it in: the next
    /// handshake() gives its outcome. Runs in a turn of the queue of its own.
    virtual void handshakeStepReturned() = 0;
};

} // namespace pemtrox
