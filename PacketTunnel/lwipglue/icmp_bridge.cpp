#include "icmp_bridge.h"

#include <vector>

#include "lwip/ip.h"
#include "lwip/pbuf.h"
#include "relaydest.h"

namespace {

IcmpBridgeReceiver icmpReceiver;
IcmpBridgeReceiver icmp6Receiver;

int offer(const IcmpBridgeReceiver& receiver, struct pbuf* p) {
    if (!receiver)
        return 0;
    if (relaydest_icmp_refused(static_cast<const std::uint8_t*>(p->payload), p->len)) {
        pbuf_free(p);
        return 1;
    }
    // Sized to the message: reassembled IPv6 messages can be longer than any fixed buffer.
    std::vector<std::uint8_t> message(p->tot_len);
    pbuf_copy_partial(p, message.data(), p->tot_len, 0);
    receiver(*ip_current_dest_addr(), message.data(), message.size());
    pbuf_free(p);
    return 1;
}

} // namespace

void icmp_bridge_set_icmp_block(IcmpBridgeReceiver receiver) {
    icmpReceiver = std::move(receiver);
}

void icmp_bridge_set_icmp6_block(IcmpBridgeReceiver receiver) {
    icmp6Receiver = std::move(receiver);
}

extern "C" int icmp_bridge_icmp_input(struct pbuf* p) {
    return offer(icmpReceiver, p);
}

extern "C" int icmp_bridge_icmp6_input(struct pbuf* p) {
    return offer(icmp6Receiver, p);
}
