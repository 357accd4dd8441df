#include "lwipmem.h"

#include <algorithm>
#include <array>
#include <deque>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lwip/ip_addr.h"
#include "lwip/memp.h"
#include "lwip/priv/tcp_priv.h"
#include "lwip/stats.h"
#include "lwip/sys.h"
#include "platform/Log.h"

namespace {

std::size_t pcbBytes = 0; // process memory of one connection record, its pool header included
std::size_t connectionLimit = lwipmem_default_connection_limit;
std::size_t refused = 0;
std::size_t refusedInBurst = 0;
bool releasePosted = false;
std::deque<std::function<void()>> waiters;
bool releasing = false;           // a resume is running: its feed is the turn's
std::uint32_t lastOutputMove = 0; // when output last had room for someone

// Half-open connections (SYN_RCVD), each from its SYN-ACK to its end or establishment.
std::unordered_set<tcp_pcb*> halfOpen;

// SYN cookies: the SYN-ACK's sequence number is a keyed hash of the connection's addresses
// and ports, the peer's sequence number and a 16 s slot (the current one and the one before
// are taken), in its upper 29 bits; bit 2 is the slot's parity and bits 0-1 the peer's MSS.
constexpr std::array<u16_t, 4> cookieMss{536, 1220, 1440, 1460};
constexpr std::uint32_t cookieSlotMs = 16000;
std::array<std::uint64_t, 2> cookieSecret{};
std::size_t cookiesSent = 0;
std::size_t cookieConnections = 0;
std::size_t cookiesInEpisode = 0;
std::uint32_t lastCookie = 0;

// Connections with output unacknowledged while memory is short: since when their last
// acknowledgement has stood still.
struct Silence {
    u32_t lastack;
    std::uint32_t since;
};
std::unordered_map<tcp_pcb*, Silence> silences;
std::uint32_t lastSilenceCheck = 0;
std::size_t silentResets = 0;
std::size_t resetsInEpisode = 0;

std::string endpoint(const ip_addr_t& address, u16_t port) {
    char text[IPADDR_STRLEN_MAX];
    ipaddr_ntoa_r(&address, text, sizeof text);
    return std::string(text) + ":" + std::to_string(port);
}

std::string peerOf(const tcp_pcb* pcb) {
    return endpoint(pcb->remote_ip, pcb->remote_port) + " -> " + endpoint(pcb->local_ip, pcb->local_port);
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
    std::uint64_t z = hash ^ (value + 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t mixAddress(std::uint64_t hash, const ip_addr_t* address) {
    if (IP_IS_V6(address)) {
        for (u32_t word : ip_2_ip6(address)->addr)
            hash = mix(hash, word);
        return mix(hash, 6);
    }
    return mix(mix(hash, ip_2_ip4(address)->addr), 4);
}

u32_t cookieOf(const ip_addr_t* local_ip, u16_t local_port, const ip_addr_t* remote_ip, u16_t remote_port,
               u32_t peer_iss, std::uint32_t slot, unsigned mssIndex) {
    std::uint64_t hash = mixAddress(mixAddress(cookieSecret[0], local_ip), remote_ip);
    hash = mix(hash, (std::uint64_t{local_port} << 16) | remote_port);
    hash = mix(mix(mix(hash, peer_iss), slot), mssIndex);
    auto upper = static_cast<u32_t>(mix(hash, cookieSecret[1]) >> 32) & ~u32_t{7};
    return upper | ((slot & 1) << 2) | mssIndex;
}

} // namespace

void lwipmem_init() {
    pcbBytes = memp_pools[MEMP_TCP_PCB]->size;
    std::random_device random;
    for (auto& word : cookieSecret)
        word = (std::uint64_t{random()} << 32) | random();
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

bool lwipmem_under_pressure() {
    return lwipmem_output_short() || !waiters.empty();
}

bool lwipmem_output_stuck() {
    return lwipmem_output_short() && sys_now() - lastOutputMove >= lwipmem_stuck_after_ms;
}

std::size_t lwipmem_output_room(const tcp_pcb* pcb, bool newcomer) {
    std::size_t queued = pcb->snd_lbb - pcb->lastack; // unsent and unacknowledged
    std::size_t window = pcb->snd_wnd > queued ? pcb->snd_wnd - queued : 0;
    std::size_t room = std::min<std::size_t>(tcp_sndbuf(pcb), window);
    if (lwipmem_output_open()) {
        lastOutputMove = sys_now();
        return room;
    }
    // While the budget moves, newcomers wait their turn like everyone else; once it has
    // stood still (held by peers that do not answer), they take their share of the reserve.
    // A peer that retransmits is not answering: the reserve is for those that move.
    if (!newcomer || pcb->nrtx > 0 || lwipmem_heap_used() >= lwipmem_reserve_limit ||
        queued >= lwipmem_connection_share || !lwipmem_output_stuck())
        return 0;
    return std::min(room, lwipmem_connection_share - queued);
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

std::size_t lwipmem_half_open_share() {
    return std::clamp<std::size_t>(connectionLimit / 16, 16, 512);
}

std::size_t lwipmem_half_open() {
    return halfOpen.size();
}

std::size_t lwipmem_syn_cookies() {
    return cookiesSent;
}

std::size_t lwipmem_cookie_connections() {
    return cookieConnections;
}

std::size_t lwipmem_silent_resets() {
    return silentResets;
}

extern "C" void lwipmem_half_open_added(struct tcp_pcb* pcb) {
    halfOpen.insert(pcb);
}

extern "C" void lwipmem_half_open_done(struct tcp_pcb* pcb) {
    halfOpen.erase(pcb);
}

namespace {

// Makes room for one more connection, or counts and reports one refused at the limit.
bool connectionAdmitted() {
    if (lwipmem_connections() >= connectionLimit) {
        // Room for a burst of new connections at once, so that the list of TIME_WAIT ones
        // is not walked for each.
        lwipmem_reclaim_timewait(connectionLimit - 1 - std::min<std::size_t>(connectionLimit / 16, 256));
        if (lwipmem_connections() >= connectionLimit) {
            ++refused;
            if (refusedInBurst++ == 0)
                LOG_WARNING("Connection limit of {} reached: new connections are reset", connectionLimit);
            return false;
        }
    }
    if (refusedInBurst > 0) {
        LOG_INFO("Connections accepted again after {} were reset at the limit", refusedInBurst);
        refusedInBurst = 0;
    }
    return true;
}

} // namespace

extern "C" int lwipmem_syn_admitted(void) {
    if (!connectionAdmitted())
        return LWIPMEM_SYN_REFUSE;
    // A flood of SYNs from addresses that never answer would hold every place and the heap
    // with their SYN-ACKs: beyond the share they cost nothing until an ACK completes them.
    if (halfOpen.size() >= lwipmem_half_open_share() || lwipmem_heap_used() >= lwipmem_syn_high_water)
        return LWIPMEM_SYN_COOKIE;
    return LWIPMEM_SYN_ADMIT;
}

extern "C" int lwipmem_cookie_admitted(void) {
    if (!connectionAdmitted())
        return 0;
    ++cookieConnections;
    return 1;
}

extern "C" u32_t lwipmem_syn_cookie(const ip_addr_t* local_ip, u16_t local_port, const ip_addr_t* remote_ip,
                                    u16_t remote_port, u32_t peer_iss, u16_t peer_mss) {
    unsigned index = cookieMss.size() - 1;
    while (index > 0 && cookieMss[index] > peer_mss)
        --index;
    if (cookiesInEpisode++ == 0)
        LOG_WARNING("Half-open connections at their share of {}, or the stack's memory short: new SYNs "
                    "are answered without keeping state (first from {})",
                    lwipmem_half_open_share(), endpoint(*remote_ip, remote_port));
    ++cookiesSent;
    lastCookie = sys_now();
    return cookieOf(local_ip, local_port, remote_ip, remote_port, peer_iss, lastCookie / cookieSlotMs, index);
}

extern "C" u16_t lwipmem_syn_cookie_check(const ip_addr_t* local_ip, u16_t local_port,
                                          const ip_addr_t* remote_ip, u16_t remote_port, u32_t peer_iss,
                                          u32_t iss) {
    if (cookiesSent == 0)
        return 0;
    std::uint32_t slot = sys_now() / cookieSlotMs;
    if ((slot & 1) != ((iss >> 2) & 1))
        --slot; // the slot before
    unsigned index = iss & 3;
    return cookieOf(local_ip, local_port, remote_ip, remote_port, peer_iss, slot, index) == iss
               ? cookieMss[index]
               : 0;
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
        lastOutputMove = sys_now();
        auto resume = std::move(waiters.front());
        waiters.pop_front();
        resume();
    }
    releasing = false;
}

namespace {

// With the budget stuck, each waiting connection is fed once more, in its turn: newcomers
// among them take their share of the reserve, the others queue again behind them.
void offerReserve() {
    if (releasing || waiters.empty() || !lwipmem_output_stuck())
        return;
    releasing = true;
    for (auto count = waiters.size(); count > 0 && !waiters.empty(); --count) {
        auto resume = std::move(waiters.front());
        waiters.pop_front();
        resume();
    }
    releasing = false;
}

} // namespace

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

void lwipmem_tick(std::uint32_t now_ms) {
    if (cookiesInEpisode > 0 && now_ms - lastCookie >= 1000) {
        LOG_INFO("SYNs answered with state again after {} were answered without", cookiesInEpisode);
        cookiesInEpisode = 0;
    }
    offerReserve();
    if (now_ms - lastSilenceCheck < 500)
        return;
    lastSilenceCheck = now_ms;
    if (!lwipmem_under_pressure()) {
        silences.clear();
        if (resetsInEpisode > 0) {
            LOG_INFO("Stack memory no longer short: {} connections that acknowledged nothing were reset",
                     resetsInEpisode);
            resetsInEpisode = 0;
        }
        return;
    }
    std::unordered_map<tcp_pcb*, Silence> next;
    std::vector<tcp_pcb*> silent;
    for (tcp_pcb* pcb = tcp_active_pcbs; pcb != nullptr; pcb = pcb->next) {
        // Half-open connections have their own share; one with nothing in flight holds no
        // memory that an acknowledgement would free. Data in flight may sit on the unsent
        // queue: a retransmission time-out puts it back there, and it stays while the peer's
        // window has shrunk below it (the stack then probes the window instead).
        if (pcb->state == SYN_RCVD || !TCP_SEQ_GT(pcb->snd_nxt, pcb->lastack))
            continue;
        auto found = silences.find(pcb);
        Silence silence = found != silences.end() && found->second.lastack == pcb->lastack
                              ? found->second
                              : Silence{pcb->lastack, now_ms};
        // The time alone would take live peers: one whose ACKs were lost at a full device queue,
        // or that waits for the stack's backed-off retransmission, answers those (or the window
        // probes that stand in for them behind a closed window); one whose packets get through
        // now and then still sends some (a closed connection no longer notes them: its time and
        // retransmissions decide).
        bool gone = pcb->nrtx + pcb->persist_probe >= lwipmem_silence_retransmissions &&
                    tcp_ticks - pcb->tmr >= lwipmem_silence_limit_ms / TCP_SLOW_INTERVAL;
        if (now_ms - silence.since >= lwipmem_silence_limit_ms && gone)
            silent.push_back(pcb);
        else
            next.emplace(pcb, silence);
    }
    silences.swap(next);
    for (tcp_pcb* pcb : silent) {
        if (resetsInEpisode++ == 0)
            LOG_WARNING("Stack memory short: connections that acknowledge nothing for {} s and {} "
                        "retransmissions are reset (first {})",
                        lwipmem_silence_limit_ms / 1000.0, lwipmem_silence_retransmissions, peerOf(pcb));
        ++silentResets;
        // A peer that shrank its window drops a reset beyond it unseen.
        if (TCP_SEQ_GT(pcb->snd_nxt, pcb->lastack + pcb->snd_wnd))
            pcb->snd_nxt = pcb->lastack + pcb->snd_wnd;
        tcp_abort(pcb); // its owner hears of it through the error callback
    }
    if (!silent.empty())
        lwipmem_release();
}
