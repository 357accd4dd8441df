#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "lwip/err.h"

struct netif;
struct pbuf;

/// Receives each packet the stack sends through the tunnel interface, as the stack's own
/// buffer chain: to be read during the call only and left unchanged (TCP keeps its segments
/// for retransmission). Called on the stack's queue.
using NetunifOutputBlock = std::function<void(const struct pbuf* packet)>;

/// Set-up callback for netif_add: names the interface "nt" and installs both output
/// callbacks. The MTU stays 0, so the stack never fragments what it sends.
extern "C" err_t netunif_init(struct netif* netif);

/// Bytes that device input may hold at once (what the stack keeps of it is out-of-order
/// segments and IPv6 fragments), outside the stack's heap.
constexpr std::size_t netunif_input_reserve = 4 * 1024 * 1024;

/// Feeds one packet into the stack through the interface's input function. The packet
/// goes into a buffer of the input reserve, never into the stack's heap, so input gets in
/// however full the heap is; when the reserve is full the stack's out-of-order segments
/// are dropped first. The stack sees the packet up to the length its IP header states
/// (IPv4: the total length; IPv6: 40 bytes and the payload length); bytes beyond it are
/// left out. Dropped, and counted as malformed: a packet that is empty, neither IPv4 nor
/// IPv6, or shorter than its IP header (IPv4: 20 bytes and its header length; IPv6: 40)
/// or than the length the header states. Also dropped: one of more than 65535 bytes, and
/// one the reserve cannot hold. Call on the stack's queue.
void netunif_input(struct netif* netif, const std::uint8_t* bytes, std::size_t length);
/// Bytes of the input reserve in use.
std::size_t netunif_input_held();
/// Packets dropped as malformed since the process began.
std::size_t netunif_input_malformed();

/// Sets (or, given an empty block, clears) the process-wide output slot. Without a block
/// the stack's packets are dropped. Call on the stack's queue.
void netunif_set_output_block(NetunifOutputBlock block);
