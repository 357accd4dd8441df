/* Functions of ours that the changed stack calls (included by its sources). */
#ifndef PEMTROX_LWIP_HOOKS_H
#define PEMTROX_LWIP_HOOKS_H

#ifdef __cplusplus
extern "C" {
#endif

struct pbuf;
struct ip_addr;

/* The ICMP bridge: offered each ICMP (ICMPv6) message, payload at the ICMP header.
 * 1: taken, the bridge owns and frees the pbuf; 0: the stack goes on with it. */
int icmp_bridge_icmp_input(struct pbuf *p);
int icmp_bridge_icmp6_input(struct pbuf *p);

/* Asked by the listener input before a new connection takes memory: admit the SYN, drop
 * it (the heap is over its high-water mark: the peer retries), or refuse it with a reset
 * (the connection limit is reached). */
#define LWIPMEM_SYN_ADMIT 1
#define LWIPMEM_SYN_DROP 0
#define LWIPMEM_SYN_REFUSE (-1)
int lwipmem_syn_admitted(void);

/* Asked by the listener lookup before the catch-all listener takes a segment, which the
 * relay would carry to its destination: 1 when that destination is one the relay refuses
 * (counted; the stack answers the segment as for a port nobody listens on), 0 to go on. */
int relaydest_tcp_refused(const struct ip_addr *destination);

#ifdef __cplusplus
}
#endif

#endif
