#pragma once

#include <cstddef>
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
};

/// The stack could not be initialised.
class LWIPStackError : public ErrorBase<LWIPStackError> {
public:
    std::string description() const override { return "The TCP/IP stack is already initialised"; }
};

} // namespace pemtrox
