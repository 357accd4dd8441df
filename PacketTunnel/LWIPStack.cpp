#include "LWIPStack.h"

#include <atomic>
#include <chrono>

#include "PacketTunnel/lwipglue/lwipmem.h"
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
    lwipmem_init();
}

bool LWIPStack::isInitialised() {
    return initialised.load();
}

std::shared_ptr<RepeatingTimer> LWIPStack::startTimer(DispatchQueue& queue) {
    return queue.every(
        std::chrono::milliseconds(250),
        [] {
            sys_check_timeouts();
            lwipmem_release(); // expired TIME_WAIT and retransmitted-then-acked memory
        },
        true);
}

std::size_t LWIPStack::heapUsed() {
    return lwip_stats.mem.used;
}

std::size_t LWIPStack::heapPeak() {
    return lwip_stats.mem.max;
}

} // namespace pemtrox
