#include "LWIPStack.h"

#include <atomic>
#include <chrono>

#include "lwip/init.h"
#include "lwip/stats.h"
#include "lwip/timeouts.h"
#include "platform/DispatchQueue.h"

namespace pemtrox {

namespace {
std::atomic<bool> initialised{false};
}

void LWIPStack::initialise() {
    if (initialised.exchange(true))
        throw LWIPStackError();
    lwip_init();
}

bool LWIPStack::isInitialised() {
    return initialised.load();
}

std::shared_ptr<RepeatingTimer> LWIPStack::startTimer(DispatchQueue& queue) {
    return queue.every(
        std::chrono::milliseconds(250), [] { sys_check_timeouts(); }, true);
}

std::size_t LWIPStack::heapUsed() {
    return lwip_stats.mem.used;
}

} // namespace pemtrox
