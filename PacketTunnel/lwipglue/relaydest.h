#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "lwip/ip_addr.h"
#include "lwip_hooks.h"

// Destinations the relay never dials. A packet from the tunnel addressed to one of them
// is one a kernel drops as a martian when it arrives on any interface but loopback:
// relayed, it would reach the services of the machine running the program that listen on
// its loopback for that machine alone (a socket dialling 0.0.0.0 or :: reaches loopback
// too). Multicast and broadcast are no single host to dial. TCP and UDP to a loopback
// address, and echo requests to one, are answered with an ICMP (ICMPv6) destination
// unreachable, so the app learns at once: an answer from the loopback address itself (a
// reset) would be a martian to the app's kernel. The rest, no single host, is dropped
// unanswered, as no error is ever sent for a packet to a broadcast or multicast address. All
// of it is counted.

/// Whether the relay refuses the destination: loopback (127.0.0.0/8, ::1), unspecified
/// (0.0.0.0, ::), multicast (224.0.0.0/4, ff00::/8) and the limited broadcast
/// (255.255.255.255), the IPv4 ones in their IPv4-mapped IPv6 form as well. A subnet's
/// directed broadcast is not knowable here (the tunnel's only subnet is its own address),
/// so it is relayed as the unicast address it is to the stack.
bool relaydest_refused(const ip_addr_t& destination);

/// Packets refused since the process began.
struct RelaydestRefusals {
    std::size_t tcp = 0, udp = 0, icmp = 0;
};
RelaydestRefusals relaydest_refusals();

/// For the UDP relay: whether the datagram's destination is refused (and then counted, with
/// one warning per burst, and answered; the caller drops the datagram). `header`: its UDP
/// header. Call inside the stack's UDP input.
bool relaydest_udp_refused(const ip_addr_t& destination, const std::uint8_t* header);
/// For the ICMP bridge: whether the message is an echo request to a refused destination
/// (then counted and answered like a datagram; the bridge drops it). Other messages are
/// left to the handlers, which send only echo requests. Call inside the stack's ICMP input.
bool relaydest_icmp_refused(const std::uint8_t* message, std::size_t length);

/// Refusals closer than this (ms) to the one before are one burst, with one warning.
constexpr std::uint32_t relaydest_burst_gap_ms = 10000;
/// Whether a refusal at `now` (the stack's ms clock) begins a new burst after the last
/// one's at `last` (none yet: nullopt). The clock wraps around.
bool relaydest_burst_begins(std::optional<std::uint32_t> last, std::uint32_t now);
