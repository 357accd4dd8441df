#include "tests/support/HeldHandshakeWorkers.h"

#include <thread>

#include "tests/support/TestSupport.h"

namespace pemtrox::test {

void HeldHandshakeWorkers::run(Job job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
}

std::size_t HeldHandshakeWorkers::held() {
    std::lock_guard lock(mutex_);
    return jobs_.size();
}

bool HeldHandshakeWorkers::waitForHeld(std::size_t count) {
    return waitFor([&] { return held() >= count; });
}

void HeldHandshakeWorkers::releaseOne() {
    Job job;
    {
        std::lock_guard lock(mutex_);
        if (jobs_.empty())
            return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
    }
    std::thread([job = std::move(job)]() mutable {
        job();
        job = nullptr;
    }).join();
}

} // namespace pemtrox::test
