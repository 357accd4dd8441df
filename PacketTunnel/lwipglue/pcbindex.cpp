// The stack's index of active and TIME-WAIT connections by addresses and ports. The stack
// keeps them in singly linked lists and, unchanged, walked the active list for every
// segment it received: with ten thousand connections open, the walk cost more than the
// segment. The changed stack adds and removes each connection here as it enters and leaves
// those lists, and input asks here first. Like the lists, it is touched only on the stack's
// thread.
#include "pcbindex.h"

#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "lwip/priv/tcp_priv.h"
#include "lwip_hooks.h"

namespace {

struct Key {
    std::uint32_t local[4];
    std::uint32_t remote[4];
    std::uint16_t localPort;
    std::uint16_t remotePort;
    std::uint8_t type;      // IPADDR_TYPE_V4 or _V6: 1.2.3.4 and ::0102:0304 differ
    std::uint8_t localZone; // link-local IPv6 addresses are only equal within one zone
    std::uint8_t remoteZone;
    bool operator==(const Key&) const = default;
};

void copyAddress(const ip_addr_t* address, std::uint32_t (&words)[4], std::uint8_t& zone) {
    std::memset(words, 0, sizeof words);
    zone = 0;
    if (IP_IS_V6_VAL(*address)) {
        std::memcpy(words, ip_2_ip6(address)->addr, sizeof words);
#if LWIP_IPV6_SCOPES
        zone = ip_2_ip6(address)->zone;
#endif
    } else {
        words[0] = ip_2_ip4(address)->addr;
    }
}

Key keyOf(const ip_addr_t* localIp, u16_t localPort, const ip_addr_t* remoteIp, u16_t remotePort) {
    Key key{};
    copyAddress(localIp, key.local, key.localZone);
    copyAddress(remoteIp, key.remote, key.remoteZone);
    key.localPort = localPort;
    key.remotePort = remotePort;
    key.type = IP_GET_TYPE(remoteIp);
    return key;
}

struct KeyHash {
    std::size_t operator()(const Key& key) const {
        // The ports vary most between a client's connections; the addresses are mixed in
        // for clients on several addresses.
        std::uint64_t h = (std::uint64_t{key.remotePort} << 16 | key.localPort) * 0x9E3779B97F4A7C15ull;
        for (std::uint32_t word : key.remote)
            h = (h ^ word) * 0x100000001B3ull;
        for (std::uint32_t word : key.local)
            h = (h ^ word) * 0x100000001B3ull;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

std::unordered_map<Key, tcp_pcb*, KeyHash>& index() {
    static std::unordered_map<Key, tcp_pcb*, KeyHash> connections;
    return connections;
}

Key keyOf(const tcp_pcb* pcb) {
    return keyOf(&pcb->local_ip, pcb->local_port, &pcb->remote_ip, pcb->remote_port);
}

} // namespace

extern "C" void tcp_pcb_index_add(struct tcp_pcb* pcb) {
    index()[keyOf(pcb)] = pcb;
}

extern "C" void tcp_pcb_index_remove(struct tcp_pcb* pcb) {
    lwipmem_half_open_done(pcb); // a connection leaves the lists before it is freed
    auto& connections = index();
    auto found = connections.find(keyOf(pcb));
    // Another connection of the same addresses and ports may have replaced this one
    if (found != connections.end() && found->second == pcb)
        connections.erase(found);
}

extern "C" struct tcp_pcb* tcp_pcb_index_find(const ip_addr_t* local_ip, u16_t local_port,
                                              const ip_addr_t* remote_ip, u16_t remote_port) {
    auto& connections = index();
    auto found = connections.find(keyOf(local_ip, local_port, remote_ip, remote_port));
    return found == connections.end() ? nullptr : found->second;
}

std::size_t tcp_pcb_index_size() {
    return index().size();
}
