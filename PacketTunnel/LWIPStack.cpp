#include "LWIPStack.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "PacketTunnel/lwipglue/lwipmem.h"
#include "lwip/init.h"
#include "lwip/memp.h"
#include "lwip/stats.h"
#include "lwip/sys.h"
#include "lwip/timeouts.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"

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
            lwipmem_tick(sys_now());
            lwipmem_release(); // memory freed by retransmissions acknowledged and timed-out connections
        },
        true);
}

std::size_t LWIPStack::heapUsed() {
    return lwip_stats.mem.used;
}

std::size_t LWIPStack::heapPeak() {
    return lwip_stats.mem.max;
}

std::size_t LWIPStack::connectionLimitFor(std::uint64_t descriptors) {
    std::uint64_t udp = std::clamp<std::uint64_t>(descriptors / 4, 16, 4096);
    std::uint64_t rest = descriptors > udp + 1024 ? descriptors - udp - 1024 : 0;
    return static_cast<std::size_t>(
        std::clamp<std::uint64_t>(rest, std::max<std::uint64_t>(descriptors / 4, 1), 32768));
}

std::size_t LWIPStack::limitConnectionsByDescriptors() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        limit = {1024, 1024};
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised{limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    auto connections = connectionLimitFor(limit.rlim_cur);
    lwipmem_set_connection_limit(connections);
    LOG_INFO("Stack connections: at most {} at once ({} descriptors)", connections, limit.rlim_cur);
    return connections;
}

std::size_t LWIPStack::connections() {
    return lwipmem_connections();
}

std::size_t LWIPStack::connectionsPeak() {
    return lwip_stats.memp[MEMP_TCP_PCB]->max;
}

std::size_t LWIPStack::connectionsRefused() {
    return lwipmem_refused();
}

} // namespace pemtrox
