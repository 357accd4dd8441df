#include "lwipmem.h"

#include <deque>
#include <vector>

#include "lwip/memp.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/stats.h"

namespace {

std::size_t pcbCost = 0;       // heap bytes of one TCP pcb, allocation header included
std::size_t listenPcbCost = 0; // the same for a listening pcb
std::deque<std::function<void()>> waiters;

std::size_t measure(memp_t type) {
    auto before = lwip_stats.mem.used;
    void* element = memp_malloc(type);
    if (element == nullptr)
        return 0;
    auto cost = static_cast<std::size_t>(lwip_stats.mem.used - before);
    memp_free(type, element);
    return cost;
}

} // namespace

void lwipmem_init() {
    pcbCost = measure(MEMP_TCP_PCB);
    listenPcbCost = measure(MEMP_TCP_PCB_LISTEN);
}

std::size_t lwipmem_heap_used() {
    return lwip_stats.mem.used;
}

std::size_t lwipmem_output_used() {
    std::size_t blocks = lwip_stats.memp[MEMP_TCP_PCB]->used * pcbCost +
                         lwip_stats.memp[MEMP_TCP_PCB_LISTEN]->used * listenPcbCost;
    std::size_t used = lwipmem_heap_used();
    return used > blocks ? used - blocks : 0;
}

bool lwipmem_output_short() {
    return lwipmem_output_used() >= lwipmem_output_budget || lwipmem_heap_used() >= lwipmem_output_ceiling;
}

std::size_t lwipmem_reclaim_timewait(std::size_t target) {
    if (tcp_tw_pcbs == nullptr || lwipmem_heap_used() <= target)
        return 0;
    // New TIME_WAIT connections enter at the front of the list: the oldest are at its end.
    static std::vector<tcp_pcb*> list;
    list.clear();
    for (tcp_pcb* pcb = tcp_tw_pcbs; pcb != nullptr; pcb = pcb->next)
        list.push_back(pcb);
    std::size_t ended = 0;
    while (!list.empty() && lwipmem_heap_used() > target) {
        tcp_abort(list.back()); // a TIME_WAIT pcb is freed without a reset
        list.pop_back();
        ++ended;
    }
    return ended;
}

extern "C" int lwipmem_syn_admitted(void) {
    if (lwipmem_heap_used() > lwipmem_timewait_target)
        lwipmem_reclaim_timewait(lwipmem_timewait_target);
    return lwipmem_heap_used() < lwipmem_syn_high_water ? 1 : 0;
}

void lwipmem_wait_for_room(std::function<void()> resume) {
    waiters.push_back(std::move(resume));
}

void lwipmem_release() {
    // Outside the stack's callbacks: the time to take back what TIME_WAIT holds.
    lwipmem_reclaim_timewait(lwipmem_timewait_target);
    // Only those waiting now: one that finds output short again queues itself at the end.
    for (auto count = waiters.size(); count > 0 && !waiters.empty() && !lwipmem_output_short(); --count) {
        auto resume = std::move(waiters.front());
        waiters.pop_front();
        resume();
    }
}

std::size_t lwipmem_waiting() {
    return waiters.size();
}
