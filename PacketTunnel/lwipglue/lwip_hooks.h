/* Functions of ours that the changed stack calls (included by its sources). */
#ifndef PEMTROX_LWIP_HOOKS_H
#define PEMTROX_LWIP_HOOKS_H

#include "lwip/arch.h"
#include "lwip/ip_addr.h"

#ifdef __cplusplus
extern "C" {
#endif

struct pbuf;
struct ip_addr;

/* The ICMP bridge: offered each ICMP (ICMPv6) message, payload at the ICMP header.
 * 1: taken, the bridge owns and frees the pbuf; 0: the stack goes on with it. */
int icmp_bridge_icmp_input(struct pbuf *p);
int icmp_bridge_icmp6_input(struct pbuf *p);

/* Asked by the listener input before a new connection takes memory: admit the SYN, answer
 * it without keeping state (half-open connections are at their share, or the heap is over
 * its high-water mark), or refuse it with a reset (the connection limit is reached). */
#define LWIPMEM_SYN_ADMIT 1
#define LWIPMEM_SYN_COOKIE 0
#define LWIPMEM_SYN_REFUSE (-1)
int lwipmem_syn_admitted(void);
/* The sequence number of a SYN-ACK sent without state, for the SYN of `peer_iss`: a cookie
 * that also carries the peer's MSS, rounded down to one the cookie can hold. */
u32_t lwipmem_syn_cookie(const ip_addr_t *local_ip, u16_t local_port, const ip_addr_t *remote_ip,
                         u16_t remote_port, u32_t peer_iss, u16_t peer_mss);
/* The MSS that `iss` carries when it is a cookie of ours for that SYN and still fresh; 0
 * when it is not. */
u16_t lwipmem_syn_cookie_check(const ip_addr_t *local_ip, u16_t local_port, const ip_addr_t *remote_ip,
                               u16_t remote_port, u32_t peer_iss, u32_t iss);
/* Whether the ACK of a cookie may make its connection: 0 at the connection limit. */
int lwipmem_cookie_admitted(void);

/* Half-open connections, which have a bounded share: one enters with its SYN-ACK and
 * leaves once established, or when it is freed (the index's removal says so). */
struct tcp_pcb;
void lwipmem_half_open_added(struct tcp_pcb *pcb);
void lwipmem_half_open_done(struct tcp_pcb *pcb);

/* Asked by the listener lookup before the catch-all listener takes a segment, which the
 * relay would carry to its destination: 1 when that destination is one the relay refuses
 * (counted, and answered with an ICMP destination unreachable unless the segment is a
 * reset; the stack then drops it), 0 to go on. `header`: the segment's TCP header, its
 * ports and numbers already in host order. */
struct tcp_hdr;
int relaydest_tcp_refused(const struct ip_addr *destination, const struct tcp_hdr *header);
/* Asked by IPv6 input of a destination in IPv4-mapped form, which the stack drops: 1 when
 * it is one the relays refuse, so that the packet goes on to be refused there like the
 * IPv4 form. */
int relaydest_mapped_refused(const struct ip_addr *destination);

#ifdef __cplusplus
}
#endif

#endif
