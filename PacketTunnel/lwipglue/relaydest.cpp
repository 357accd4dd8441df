#include "relaydest.h"

#include <atomic>
#include <cstring>

#include "lwip/icmp.h"
#include "lwip/icmp6.h"
#include "lwip/inet_chksum.h"
#include "lwip/ip.h"
#include "lwip/pbuf.h"
#include "lwip/prot/icmp6.h"
#include "lwip/prot/tcp.h"
#include "lwip/sys.h"
#include "platform/Log.h"

namespace {

std::atomic<std::size_t> refusedTcp{0}, refusedUdp{0}, refusedIcmp{0};
std::optional<std::uint32_t> lastRefusal; // on the stack's queue

bool refusedIp4(const ip4_addr_t& address) {
    return ip4_addr_isloopback(&address) || ip4_addr_isany_val(address) || ip4_addr_ismulticast(&address) ||
           ip4_addr_get_u32(&address) == IPADDR_BROADCAST;
}

// The IPv4 address an IPv4-mapped IPv6 address stands for.
bool mapped(const ip_addr_t& address, ip4_addr_t& ip4) {
    if (!IP_IS_V6_VAL(address) || !ip6_addr_isipv4mappedipv6(ip_2_ip6(&address)))
        return false;
    ip4_addr_set_u32(&ip4, ip_2_ip6(&address)->addr[3]);
    return true;
}

bool loopback(const ip_addr_t& address) {
    ip4_addr_t ip4;
    if (mapped(address, ip4))
        return ip4_addr_isloopback(&ip4);
    return IP_IS_V4_VAL(address) ? ip4_addr_isloopback(ip_2_ip4(&address))
                                 : ip6_addr_isloopback(ip_2_ip6(&address));
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

// Answers the packet now in the stack's input, whose transport header begins at `transport`,
// with a destination unreachable: port unreachable for TCP and UDP (the app's connect or
// send fails with "connection refused", as at a closed port), administratively prohibited
// for an echo request. It comes from the tunnel's far end as the app's kernel sees it: for
// IPv4 the proxy's address, since that kernel drops as a martian an IPv4 packet from its own
// address (the tunnel's, which the stack's interface holds) arriving on the tunnel; IPv6 has
// only the tunnel's address, and a packet from it is accepted. The message quotes the
// packet's IP headers and the transport's first 8 bytes (ports, and TCP's sequence number),
// all the app's kernel needs to find its socket.
void answer(const std::uint8_t* transport, bool echo) {
    constexpr std::size_t transportQuoted = 8, icmpHeader = 8;
    constexpr std::uint8_t prohibited4 = 13; // communication administratively prohibited
    bool v6 = ip_current_is_v6();
    const auto* header = v6 ? static_cast<const void*>(ip6_current_header()) : ip4_current_header();
    std::size_t headerLength = ip_current_header_tot_len();
    std::size_t length = icmpHeader + headerLength + transportQuoted;
    if (length > IP6_MIN_MTU_LENGTH - IP6_HLEN) // an ICMPv6 error fits the smallest MTU
        return;
    struct pbuf* q = pbuf_alloc(PBUF_IP, static_cast<u16_t>(length), PBUF_RAM);
    if (q == nullptr) // memory is short: unanswered, as a dropped packet is
        return;
    auto* message = static_cast<std::uint8_t*>(q->payload);
    std::memset(message, 0, icmpHeader);
    message[0] = v6 ? std::uint8_t{ICMP6_TYPE_DUR} : std::uint8_t{ICMP_DUR};
    if (v6)
        message[1] = echo ? std::uint8_t{ICMP6_DUR_PROHIBITED} : std::uint8_t{ICMP6_DUR_PORT};
    else
        message[1] = echo ? prohibited4 : std::uint8_t{ICMP_DUR_PORT};
    std::memcpy(message + icmpHeader, header, headerLength);
    std::memcpy(message + icmpHeader + headerLength, transport, transportQuoted);
    struct netif* netif = ip_current_input_netif();
    u16_t checksum;
    if (v6) {
        ip6_addr_t source;
        IP6_ADDR(&source, PP_HTONL(0xfd921d98UL), PP_HTONL(0xae72f4caUL), PP_HTONL(0x12341234UL),
                 PP_HTONL(0x12341234UL));
        checksum = ip6_chksum_pseudo(q, IP6_NEXTH_ICMP6, q->tot_len, &source, ip6_current_src_addr());
        std::memcpy(message + 2, &checksum, sizeof checksum);
        ip6_output_if(q, &source, ip6_current_src_addr(), LWIP_ICMP6_HL, 0, IP6_NEXTH_ICMP6, netif);
    } else {
        ip4_addr_t source;
        IP4_ADDR(&source, 198, 18, 72, 253);
        checksum = inet_chksum(message, q->len);
        std::memcpy(message + 2, &checksum, sizeof checksum);
        ip4_output_if(q, &source, ip4_current_src_addr(), ICMP_TTL, 0, IP_PROTO_ICMP, netif);
    }
    pbuf_free(q);
}

} // namespace

bool relaydest_refused(const ip_addr_t& destination) {
    ip4_addr_t ip4;
    if (mapped(destination, ip4))
        return refusedIp4(ip4);
    if (IP_IS_V4_VAL(destination))
        return refusedIp4(*ip_2_ip4(&destination));
    const ip6_addr_t& address = *ip_2_ip6(&destination);
    return ip6_addr_isloopback(&address) || ip6_addr_isany_val(address) || ip6_addr_ismulticast(&address);
}

RelaydestRefusals relaydest_refusals() {
    return {refusedTcp, refusedUdp, refusedIcmp};
}

bool relaydest_udp_refused(const ip_addr_t& destination, const std::uint8_t* header) {
    if (!relaydest_refused(destination))
        return false;
    note(refusedUdp, "a UDP datagram", destination);
    if (loopback(destination))
        answer(header, false);
    return true;
}

bool relaydest_icmp_refused(const std::uint8_t* message, std::size_t length) {
    const ip_addr_t& destination = *ip_current_dest_addr();
    std::uint8_t echoRequest = ip_current_is_v6() ? ICMP6_TYPE_EREQ : ICMP_ECHO;
    if (length < 8 || message[0] != echoRequest || message[1] != 0 || !relaydest_refused(destination))
        return false;
    note(refusedIcmp, "an ICMP echo request", destination);
    if (loopback(destination))
        answer(message, true);
    return true;
}

bool relaydest_burst_begins(std::optional<std::uint32_t> last, std::uint32_t now) {
    return !last || static_cast<std::uint32_t>(now - *last) >= relaydest_burst_gap_ms;
}

extern "C" int relaydest_tcp_refused(const struct ip_addr* destination, const struct tcp_hdr* header) {
    if (!relaydest_refused(*destination))
        return 0;
    note(refusedTcp, "a TCP segment", *destination);
    if (loopback(*destination) && !(TCPH_FLAGS(header) & TCP_RST)) { // a reset is never answered
        // The quote is the segment as it came: the stack has turned its header to host order.
        struct tcp_hdr sent = *header;
        sent.src = lwip_htons(header->src), sent.dest = lwip_htons(header->dest);
        sent.seqno = lwip_htonl(header->seqno);
        answer(reinterpret_cast<const std::uint8_t*>(&sent), false);
    }
    return 1;
}

extern "C" int relaydest_mapped_refused(const struct ip_addr* destination) {
    return relaydest_refused(*destination);
}
