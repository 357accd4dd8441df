#pragma once

#include <cstddef>
#include <functional>

#include "lwip/opt.h"
#include "lwip_hooks.h"

// How the stack's resources are shared under load, the way a kernel sheds load:
// - connections: how many exist at once (TIME_WAIT included) is a limit of the program, set
//   from the descriptors each relayed connection needs; connection records live in the
//   process's own memory, so the heap never decides it. A SYN beyond the limit is reset at
//   once, after TIME_WAIT connections, the first taken back, have made what room they can;
// - the heap bounds queued packet data: queued output across all connections has one
//   budget, given to connections waiting for it first come, first served; new connections
//   are dropped (their SYN is retried) above a high-water mark; the rest of the heap is a
//   reserve for what input needs (acknowledgements, resets, SYN-ACKs). Device input itself
//   lives outside the heap (netunif).
// Everything here runs on the stack's queue.

/// Heap use (queued packet data) at or above which connections stop taking more.
constexpr std::size_t lwipmem_output_budget = MEM_SIZE * 13 / 16;
/// Heap use at or above which a SYN is dropped.
constexpr std::size_t lwipmem_syn_high_water = MEM_SIZE * 15 / 16;
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
/// True while queued output is at or over its budget.
bool lwipmem_output_short();
/// Whether a connection may queue more output now: memory is not short, and nobody waits
/// for it or the connection is being resumed in its turn.
bool lwipmem_output_open();
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
