#pragma once

#include <functional>
#include <memory>

namespace pemtrox {

/// Threads that run the costly steps of TLS handshakes (key exchange, signatures, chain
/// checks) so that the queue serving the connections is not held up by them.
///
/// Contract: run() may be called from any thread; every job runs once, on one of the
/// workers, never inside run(). Jobs given one after another may run in any order and at
/// the same time: a caller that needs an order gives the next job only once the previous
/// one is done. A job owns what it touches until it hands it back (through a queue).
class HandshakeWorkers {
public:
    using Job = std::function<void()>;
    virtual ~HandshakeWorkers() = default;

    virtual void run(Job job) = 0;

    /// The program's workers: two threads, started on first use; at exit the jobs under
    /// way end and the others are dropped unrun.
    static std::shared_ptr<HandshakeWorkers> shared();
};

} // namespace pemtrox
