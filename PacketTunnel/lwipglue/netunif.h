#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "lwip/err.h"

struct netif;

/// Receives each packet the stack sends through the tunnel interface; the packet is the
/// receiver's to keep. Called on the stack's queue.
using NetunifOutputBlock = std::function<void(std::vector<std::uint8_t> packet)>;

/// Set-up callback for netif_add: names the interface "nt" and installs both output
/// callbacks. The MTU stays 0, so the stack never fragments what it sends.
extern "C" err_t netunif_init(struct netif* netif);

/// Feeds one packet into the stack through the interface's input function. Packets of
/// 0 or more than 65535 bytes are dropped, as is one the stack has no buffers for.
/// Call on the stack's queue.
void netunif_input(struct netif* netif, const std::uint8_t* bytes, std::size_t length);

/// Sets (or, given an empty block, clears) the process-wide output slot. Without a block
/// the stack's packets are dropped. Call on the stack's queue.
void netunif_set_output_block(NetunifOutputBlock block);
