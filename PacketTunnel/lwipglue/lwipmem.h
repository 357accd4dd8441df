#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "lwip/opt.h"
#include "lwip_hooks.h"

struct tcp_pcb;

// How the stack's resources are shared under load, the way a kernel sheds load, so that no
// client holds the tunnel from the others:
// - connections: how many exist at once (TIME_WAIT included) is a limit of the program, set
//   from the descriptors each relayed connection needs; connection records live in the
//   process's own memory, so the heap never decides it. A SYN beyond the limit is reset at
//   once, after TIME_WAIT connections, the first taken back, have made what room they can.
//   Half-open connections have a share of their own: beyond it, or while the heap is over
//   its high-water mark, a SYN is answered without keeping anything (a SYN cookie), so that a
//   flood of SYNs from nowhere costs neither memory nor places and every other SYN is answered;
// - the heap bounds queued packet data. A connection queues no more than its peer's window
//   takes, so one whose app stops reading holds (almost) nothing: the rest waits in the
//   program's own buffer. Queued output across all connections has one budget, given to
//   connections waiting for it first come, first served; once it stands still (held by
//   peers that do not answer), each connection in its first bytes may still take a small
//   share from a reserve, so that a new connection is served whatever the others hold. While memory is short,
//   a connection that has acknowledged nothing for lwipmem_silence_limit_ms, nor the stack's last
//   lwipmem_silence_retransmissions retransmissions or window probes, and whose peer has sent nothing at all
//   for as long, is reset (a user time-out, as kernels have; a live peer whose acknowledgements are late or
//   lost answers one of those retransmissions, or sends something); without pressure the stack's own
//   retransmission rules stand. New connections are answered without state above a high-water mark; the rest
//   of the heap is for what input needs (acknowledgements, resets, SYN-ACKs). Device input itself lives
//   outside the heap (netunif).
// Everything here runs on the stack's queue.

/// Heap use (queued packet data) at or above which connections stop taking more.
constexpr std::size_t lwipmem_output_budget = MEM_SIZE * 13 / 16;
/// Heap use up to which a connection in its first bytes may go beyond the budget.
constexpr std::size_t lwipmem_reserve_limit = MEM_SIZE * 14 / 16;
/// Heap use at or above which a SYN is answered without state.
constexpr std::size_t lwipmem_syn_high_water = MEM_SIZE * 15 / 16;
/// Queued output a connection in its first bytes may hold beyond the budget.
constexpr std::size_t lwipmem_connection_share = 2 * TCP_MSS;
/// A connection's output is in its first bytes up to here.
constexpr std::uint64_t lwipmem_newcomer_bytes = 16 * 1024;
/// How long the output budget must have stood still (no connection given room) before
/// newcomers may take their share of the reserve.
constexpr std::uint32_t lwipmem_stuck_after_ms = 250;
/// How long a connection may leave its output unacknowledged while memory is short.
constexpr std::uint32_t lwipmem_silence_limit_ms = 3000;
/// How many retransmissions in a row such a connection must have left unanswered as well; nor
/// may anything at all have come from its peer for the limit.
constexpr unsigned lwipmem_silence_retransmissions = 2;
/// The connection limit before one is set.
constexpr std::size_t lwipmem_default_connection_limit = 16384;

/// Measures the records' sizes. After lwip_init.
void lwipmem_init();
/// Bytes of the heap in use.
std::size_t lwipmem_heap_used();
/// TCP connections that exist, TIME_WAIT included (listeners not).
std::size_t lwipmem_connections();
/// Process memory the stack's connection records take now.
std::size_t lwipmem_connection_bytes();
/// Sets how many connections may exist at once (at least 1).
void lwipmem_set_connection_limit(std::size_t limit);
std::size_t lwipmem_connection_limit();
/// SYNs reset at the connection limit since the start.
std::size_t lwipmem_refused();
/// How many half-open connections may exist at once: a sixteenth of the connection limit,
/// between 16 and 512.
std::size_t lwipmem_half_open_share();
/// Half-open connections now.
std::size_t lwipmem_half_open();
/// SYNs answered without state since the start, and the connections their ACKs made.
std::size_t lwipmem_syn_cookies();
std::size_t lwipmem_cookie_connections();
/// Connections reset for silence under memory pressure, since the start.
std::size_t lwipmem_silent_resets();
/// True while queued output is at or over its budget.
bool lwipmem_output_short();
/// True while output is short or connections wait for memory.
bool lwipmem_under_pressure();
/// Whether a connection may queue more output now: memory is not short, and nobody waits
/// for it or the connection is being resumed in its turn.
bool lwipmem_output_open();
/// True while output is short and has given no connection room for lwipmem_stuck_after_ms.
bool lwipmem_output_stuck();
/// How many bytes `pcb` may add to its queued output now: what its send buffer and its
/// peer's window take, while output is open; beyond that, while the budget is stuck, the
/// connection is in its first bytes (`newcomer`) and its peer answers, up to its share of
/// the reserve.
std::size_t lwipmem_output_room(const tcp_pcb* pcb, bool newcomer);
/// Ends TIME_WAIT connections, oldest first, until at most `target` connections exist;
/// returns how many were ended.
std::size_t lwipmem_reclaim_timewait(std::size_t target);
/// Queues `resume` to run, in its turn, once output has room (see lwipmem_release).
void lwipmem_wait_for_room(std::function<void()> resume);
/// Runs the queued resumes, first come first served, while output has room. Call where
/// memory has been freed, outside the stack's callbacks: after device input, the stack's
/// timers, and a connection's end (lwipmem_release_soon).
void lwipmem_release();
/// Has `post` run lwipmem_release later (once, however often asked meanwhile) when
/// connections wait: for memory freed outside device input, by a connection ending.
void lwipmem_release_soon(const std::function<void(std::function<void()>)>& post);
/// Resumes still waiting.
std::size_t lwipmem_waiting();
/// The stack's timer: under memory pressure resets connections silent for longer than the
/// limit and its retransmissions, and ends the episodes of those resets and of SYNs answered
/// without state (one log line each). Outside the stack's callbacks; `now_ms` from sys_now().
void lwipmem_tick(std::uint32_t now_ms);
