#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Error.h"

namespace pemtrox {

class DispatchQueue;
class RepeatingTimer;

/// The embedded TCP/IP stack as a whole. Everything that touches the stack after
/// initialisation runs on one serial queue (the "Proxying" queue).
class LWIPStack {
public:
    /// Initialises the stack. Once per process: a second initialisation would rebuild the
    /// heap under the pcbs and timeouts still listed, so it throws LWIPStackError.
    static void initialise();
    static bool isInitialised();
    /// Runs the stack's timeouts on the queue every 250 ms, the first tick at once.
    static std::shared_ptr<RepeatingTimer> startTimer(DispatchQueue& queue);
    /// Bytes of the stack's heap in use. Call on the stack's queue.
    static std::size_t heapUsed();
    /// The most bytes of the heap ever in use. Call on the stack's queue.
    static std::size_t heapPeak();

    /// How many stack connections may exist at once with this many descriptors: each relayed
    /// connection needs a socket to its server, beside the UDP relay's share (a quarter, at
    /// most 4096) and 1024 for everything else; a quarter of them at least, and at most
    /// 32768 whatever the descriptors (each connection costs the process memory as well).
    static std::size_t connectionLimitFor(std::uint64_t descriptors);
    /// Raises the soft descriptor limit to the hard one and sets the connection limit from
    /// it; returns the limit. Before the stack's queue runs anything.
    static std::size_t limitConnectionsByDescriptors();
    /// Connections that exist now and at most so far, TIME_WAIT included; SYNs reset at the
    /// limit. Call on the stack's queue.
    static std::size_t connections();
    static std::size_t connectionsPeak();
    static std::size_t connectionsRefused();
};

/// The stack could not be initialised.
class LWIPStackError : public ErrorBase<LWIPStackError> {
public:
    std::string description() const override { return "The TCP/IP stack is already initialised"; }
};

} // namespace pemtrox
