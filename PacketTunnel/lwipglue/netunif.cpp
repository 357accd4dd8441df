#include "netunif.h"

#include "lwip/netif.h"
#include "lwip/pbuf.h"

namespace {

NetunifOutputBlock outputBlock;

err_t netunif_send(struct pbuf* p) {
    if (!outputBlock)
        return ERR_OK;
    // Sized to the packet: the stack does not fragment for this interface, so UDP replies
    // and IPv6 segments can be longer than any fixed buffer.
    std::vector<std::uint8_t> packet(p->tot_len);
    pbuf_copy_partial(p, packet.data(), p->tot_len, 0);
    outputBlock(std::move(packet));
    return ERR_OK;
}

err_t netunif_output(struct netif*, struct pbuf* p, const ip4_addr_t*) {
    return netunif_send(p);
}

err_t netunif_output_ip6(struct netif*, struct pbuf* p, const ip6_addr_t*) {
    return netunif_send(p);
}

} // namespace

extern "C" err_t netunif_init(struct netif* netif) {
    netif->name[0] = 'n';
    netif->name[1] = 't';
    netif->output = netunif_output;
    netif->output_ip6 = netunif_output_ip6;
    return ERR_OK;
}

void netunif_input(struct netif* netif, const std::uint8_t* bytes, std::size_t length) {
    if (length == 0 || length > 0xFFFF)
        return;
    auto size = static_cast<u16_t>(length);
    struct pbuf* p = pbuf_alloc(PBUF_LINK, size, PBUF_POOL);
    if (p == nullptr)
        return;
    if (pbuf_take(p, bytes, size) != ERR_OK || netif->input(p, netif) != ERR_OK) {
        // On an error the input function has not taken the pbuf: it is still ours.
        pbuf_free(p);
    }
}

void netunif_set_output_block(NetunifOutputBlock block) {
    outputBlock = std::move(block);
}
