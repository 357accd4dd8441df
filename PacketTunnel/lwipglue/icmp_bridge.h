#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "lwip/ip_addr.h"
#include "lwip_hooks.h"

/// Takes an ICMP (ICMPv6) message from the stack: the destination of the packet that
/// carried it and the message from its ICMP header on. Both are valid only during the
/// call. Called on the stack's queue, inside the stack's ICMP input.
using IcmpBridgeReceiver =
    std::function<void(const ip_addr_t& destination, const std::uint8_t* message, std::size_t length)>;

/// Install (or, given an empty receiver, remove) the receiver of each family. While one is
/// installed the stack handles no message of that family itself. Call on the stack's
/// queue.
void icmp_bridge_set_icmp_block(IcmpBridgeReceiver receiver);
void icmp_bridge_set_icmp6_block(IcmpBridgeReceiver receiver);
