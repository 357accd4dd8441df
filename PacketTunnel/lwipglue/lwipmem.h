#pragma once

#include <cstddef>
#include <functional>

#include "lwip/opt.h"
#include "lwip_hooks.h"

// How the stack's single heap is shared under load, the way a kernel sheds load under
// memory pressure: queued output across all connections has one budget, new connections
// are refused above a high-water mark, TIME_WAIT connections are the first memory taken
// back, and a reserve on top is left for what input needs (acknowledgements, resets, the
// pcbs of connections being accepted). Device input itself lives outside the heap
// (netunif). Everything here runs on the stack's queue.

/// Queued output (the heap less the connections' control blocks) above which the
/// connections stop taking more.
constexpr std::size_t lwipmem_output_budget = MEM_SIZE * 3 / 8;
/// Heap use above which no output is taken whatever it is made of.
constexpr std::size_t lwipmem_output_ceiling = MEM_SIZE * 7 / 8;
/// Heap use at or above which a SYN is dropped.
constexpr std::size_t lwipmem_syn_high_water = MEM_SIZE * 3 / 4;
/// Heap use above which TIME_WAIT connections are ended, oldest first.
constexpr std::size_t lwipmem_timewait_target = MEM_SIZE / 2;

/// Measures what one connection's control block takes from the heap. After lwip_init.
void lwipmem_init();
/// Bytes of the heap in use.
std::size_t lwipmem_heap_used();
/// Bytes of the heap in use less the TCP control blocks: queued segments and the rest.
std::size_t lwipmem_output_used();
/// True while queued output is over its budget or the heap over its ceiling.
bool lwipmem_output_short();
/// Ends TIME_WAIT connections, oldest first, until the heap is at or below `target`;
/// returns how many were ended.
std::size_t lwipmem_reclaim_timewait(std::size_t target);
/// Queues `resume` to run once output is no longer short (see lwipmem_release).
void lwipmem_wait_for_room(std::function<void()> resume);
/// Ends TIME_WAIT connections while the heap is over their target, then runs the queued
/// resumes, first come first served, while output is not short. Call where memory has
/// been freed, outside the stack's callbacks: after device input and the stack's timers.
void lwipmem_release();
/// Resumes still waiting.
std::size_t lwipmem_waiting();
