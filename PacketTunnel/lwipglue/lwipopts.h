/* Build options of the embedded TCP/IP stack: one stack without threads that accepts
 * every destination on a single tunnel interface carrying bare IP packets. */
#ifndef PEMTROX_LWIPOPTS_H
#define PEMTROX_LWIPOPTS_H

/* Raw callback interface only; the owner runs everything on one queue. */
#define NO_SYS 1
#define SYS_LIGHTWEIGHT_PROT 1
#define LWIP_SOCKET 0
#define LWIP_NETCONN 0

/* Protocols: both families, TCP, UDP and ICMP; nothing the tunnel does not carry. */
#define LWIP_IPV4 1
#define LWIP_IPV6 1
#define LWIP_TCP 1
#define LWIP_UDP 1
#define LWIP_ICMP 1
#define LWIP_ICMP6 1
#define LWIP_RAW 0
#define LWIP_DNS 0
#define LWIP_DHCP 0
#define LWIP_IGMP 0
#define LWIP_ARP 0
#define LWIP_ETHERNET 0
#define LWIP_IPV6_MLD 1
#define LWIP_IPV6_REASS 1
#define LWIP_IPV6_FRAG 1
/* With the default 0 on 64-bit hosts the IPv6 reassembly timer asserts. */
#define IPV6_FRAG_COPYHEADER 1
#define IP_REASSEMBLY 0

/* Memory: everything comes from one heap of about 1 MB. */
#define MEM_SIZE 1024000
#define MEMP_MEM_MALLOC 1
#define MEM_ALIGNMENT 8
#define PBUF_POOL_BUFSIZE 1536
#define PBUF_LINK_HLEN 16
/* Device input comes in custom pbufs outside the heap (netunif). */
#define LWIP_SUPPORT_CUSTOM_PBUF 1

/* TCP */
#define TCP_MSS 1460
#define TCP_WND 65535
#define TCP_SND_BUF 8192
#define TCP_SND_QUEUELEN 23
#define TCP_TTL 255
#define TCP_LISTEN_BACKLOG 0
/* Both ends of the tunnel are on one host: no segment of an old connection can still be on
 * its way after 2 s, so TIME_WAIT (twice this) holds a pcb for 4 s instead of 2 minutes. */
#define TCP_MSL 2000UL
/* Out-of-order segments are held only up to these limits per connection; without them a
 * peer could fill the whole heap with segments beyond a gap. */
#define TCP_OOSEQ_MAX_BYTES 8192
#define TCP_OOSEQ_MAX_PBUFS 8

/* Heap use is read by the tests, the live-object report and the load shedding (lwipmem),
 * which also counts the pcbs in the heap. */
#define LWIP_STATS 1
#define MEM_STATS 1
#define MEMP_STATS 1
#define LWIP_STATS_DISPLAY 0

/* Our C++ includes the system's byte-order functions. */
#define LWIP_DONT_PROVIDE_BYTEORDER_FUNCTIONS 1

/* Random numbers and hooks of the port. */
#define LWIP_RAND() ((u32_t)lwip_port_rand())
#define LWIP_HOOK_FILENAME "lwip_hooks.h"

/* Diagnostics are built in; the port drops them unless verbose lines are logged. */
#define LWIP_DEBUG 1
#define LWIP_DBG_TYPES_ON LWIP_DBG_ON
#define LWIP_DBG_MIN_LEVEL LWIP_DBG_LEVEL_ALL
#define IP_DEBUG LWIP_DBG_ON
#define ICMP_DEBUG LWIP_DBG_ON
#define UDP_DEBUG LWIP_DBG_ON
#define TCP_OUTPUT_DEBUG LWIP_DBG_ON

#endif
