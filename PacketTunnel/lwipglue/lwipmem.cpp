#include "lwipmem.h"

#include <algorithm>
#include <deque>
#include <vector>

#include "lwip/memp.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/stats.h"
#include "platform/Log.h"

namespace {

std::size_t pcbBytes = 0; // process memory of one connection record, its pool header included
std::size_t connectionLimit = lwipmem_default_connection_limit;
std::size_t refused = 0;
std::size_t refusedInBurst = 0;
bool releasePosted = false;
std::deque<std::function<void()>> waiters;
bool releasing = false; // a resume is running: its feed is the turn's

} // namespace

void lwipmem_init() {
    pcbBytes = memp_pools[MEMP_TCP_PCB]->size;
}

std::size_t lwipmem_heap_used() {
    return lwip_stats.mem.used;
}

std::size_t lwipmem_connections() {
    return lwip_stats.memp[MEMP_TCP_PCB]->used;
}

std::size_t lwipmem_connection_bytes() {
    return lwipmem_connections() * pcbBytes;
}

void lwipmem_set_connection_limit(std::size_t limit) {
    connectionLimit = limit > 0 ? limit : 1;
}

std::size_t lwipmem_connection_limit() {
    return connectionLimit;
}

std::size_t lwipmem_refused() {
    return refused;
}

bool lwipmem_output_short() {
    return lwipmem_heap_used() >= lwipmem_output_budget;
}

bool lwipmem_output_open() {
    return !lwipmem_output_short() && (releasing || waiters.empty());
}

std::size_t lwipmem_reclaim_timewait(std::size_t target) {
    if (tcp_tw_pcbs == nullptr || lwipmem_connections() <= target)
        return 0;
    // New TIME_WAIT connections enter at the front of the list: the oldest are at its end.
    static std::vector<tcp_pcb*> list;
    list.clear();
    for (tcp_pcb* pcb = tcp_tw_pcbs; pcb != nullptr; pcb = pcb->next)
        list.push_back(pcb);
    std::size_t ended = 0;
    while (!list.empty() && lwipmem_connections() > target) {
        tcp_abort(list.back()); // a TIME_WAIT pcb is freed without a reset
        list.pop_back();
        ++ended;
    }
    return ended;
}

extern "C" int lwipmem_syn_admitted(void) {
    if (lwipmem_connections() >= connectionLimit) {
        // Room for a burst of new connections at once, so that the list of TIME_WAIT ones
        // is not walked for each.
        lwipmem_reclaim_timewait(connectionLimit - 1 - std::min<std::size_t>(connectionLimit / 16, 256));
        if (lwipmem_connections() >= connectionLimit) {
            ++refused;
            if (refusedInBurst++ == 0)
                LOG_WARNING("Connection limit of {} reached: new connections are reset", connectionLimit);
            return LWIPMEM_SYN_REFUSE;
        }
    }
    if (lwipmem_heap_used() >= lwipmem_syn_high_water)
        return LWIPMEM_SYN_DROP;
    if (refusedInBurst > 0) {
        LOG_INFO("Connections accepted again after {} were reset at the limit", refusedInBurst);
        refusedInBurst = 0;
    }
    return LWIPMEM_SYN_ADMIT;
}

void lwipmem_wait_for_room(std::function<void()> resume) {
    waiters.push_back(std::move(resume));
}

void lwipmem_release() {
    if (releasing)
        return;
    releasing = true;
    // Only those waiting now: one that finds output short again queues itself at the end.
    for (auto count = waiters.size(); count > 0 && !waiters.empty() && !lwipmem_output_short(); --count) {
        auto resume = std::move(waiters.front());
        waiters.pop_front();
        resume();
    }
    releasing = false;
}

void lwipmem_release_soon(const std::function<void(std::function<void()>)>& post) {
    if (releasePosted || waiters.empty())
        return;
    releasePosted = true;
    post([] {
        releasePosted = false;
        lwipmem_release();
    });
}

std::size_t lwipmem_waiting() {
    return waiters.size();
}
