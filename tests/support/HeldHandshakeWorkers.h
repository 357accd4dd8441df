#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/HandshakeWorkers.h"

namespace pemtrox::test {

/// Handshake workers that hold every step they are given until the test lets it run, on a
/// thread of its own as a real worker would: the test acts while a step is away.
class HeldHandshakeWorkers : public HandshakeWorkers {
public:
    static std::shared_ptr<HeldHandshakeWorkers> make() { return std::make_shared<HeldHandshakeWorkers>(); }

    void run(Job job) override;
    /// Steps given and not yet run.
    std::size_t held();
    /// Waits until `count` steps are held; false when the time ran out.
    bool waitForHeld(std::size_t count);
    /// Runs the oldest held step on a thread of its own and waits for it to end (its answer
    /// is then on the way to its queue).
    void releaseOne();

private:
    std::mutex mutex_;
    std::deque<Job> jobs_;
};

} // namespace pemtrox::test
