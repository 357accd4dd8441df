#include "relaydest.h"

#include <atomic>

#include "lwip/sys.h"
#include "platform/Log.h"

namespace {

std::atomic<std::size_t> refusedTcp{0}, refusedUdp{0};
std::optional<std::uint32_t> lastRefusal; // on the stack's queue

bool refusedIp4(const ip4_addr_t& address) {
    return ip4_addr_isloopback(&address) || ip4_addr_isany_val(address) || ip4_addr_ismulticast(&address) ||
           ip4_addr_get_u32(&address) == IPADDR_BROADCAST;
}

// Counts the refusal and warns at the first of a burst.
void note(std::atomic<std::size_t>& counter, const char* what, const ip_addr_t& destination) {
    ++counter;
    std::uint32_t now = sys_now();
    bool begins = relaydest_burst_begins(lastRefusal, now);
    lastRefusal = now;
    if (!begins)
        return;
    char text[IPADDR_STRLEN_MAX];
    LOG_WARNING("Tunnel input: {} to {} refused: loopback, unspecified, multicast and broadcast "
                "destinations are not relayed (refusals are counted until the tunnel stops)",
                what, ipaddr_ntoa_r(&destination, text, sizeof text));
}

} // namespace

bool relaydest_refused(const ip_addr_t& destination) {
    if (IP_IS_V4_VAL(destination))
        return refusedIp4(*ip_2_ip4(&destination));
    const ip6_addr_t& address = *ip_2_ip6(&destination);
    if (ip6_addr_isloopback(&address) || ip6_addr_isany_val(address) || ip6_addr_ismulticast(&address))
        return true;
    if (!ip6_addr_isipv4mappedipv6(&address))
        return false;
    ip4_addr_t mapped;
    ip4_addr_set_u32(&mapped, address.addr[3]);
    return refusedIp4(mapped);
}

RelaydestRefusals relaydest_refusals() {
    return {refusedTcp, refusedUdp};
}

bool relaydest_udp_refused(const ip_addr_t& destination) {
    if (!relaydest_refused(destination))
        return false;
    note(refusedUdp, "a UDP datagram", destination);
    return true;
}

bool relaydest_burst_begins(std::optional<std::uint32_t> last, std::uint32_t now) {
    return !last || static_cast<std::uint32_t>(now - *last) >= relaydest_burst_gap_ms;
}

extern "C" int relaydest_tcp_refused(const struct ip_addr* destination) {
    if (!relaydest_refused(*destination))
        return 0;
    note(refusedTcp, "a TCP segment", *destination);
    return 1;
}
