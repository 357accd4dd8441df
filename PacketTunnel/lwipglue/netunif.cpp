#include "netunif.h"

#include <atomic>
#include <cstdlib>

#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "lwip/priv/tcp_priv.h"

namespace {

NetunifOutputBlock outputBlock;

// Device input lives outside the stack's heap, so that queued output and idle connections
// filling the heap never keep out the ACK, FIN or RST that would free them. One block per
// packet: the pbuf, the header room, the packet.
struct InputBuffer {
    struct pbuf_custom custom;
    std::size_t size;
};
constexpr std::size_t inputRoom = (PBUF_LINK_HLEN + MEM_ALIGNMENT - 1) / MEM_ALIGNMENT * MEM_ALIGNMENT;
constexpr std::size_t inputHeader =
    (sizeof(InputBuffer) + MEM_ALIGNMENT - 1) / MEM_ALIGNMENT * MEM_ALIGNMENT + inputRoom;
std::atomic<std::size_t> inputHeld{0};

void freeInput(struct pbuf* p) {
    auto* buffer = reinterpret_cast<InputBuffer*>(p); // the pbuf is the block's first member
    inputHeld -= buffer->size;
    std::free(buffer);
}

// Input that the stack keeps is only out-of-order segments and IPv6 fragments: when they
// fill the reserve they go, as the stack itself drops them when its pool runs dry.
void freeOutOfOrder() {
    for (struct tcp_pcb* pcb = tcp_active_pcbs; pcb != nullptr; pcb = pcb->next)
        tcp_free_ooseq(pcb);
}

struct pbuf* allocInput(u16_t length) {
    std::size_t size = inputHeader + length;
    if (inputHeld + size > netunif_input_reserve) {
        freeOutOfOrder();
        if (inputHeld + size > netunif_input_reserve)
            return nullptr;
    }
    void* memory = std::malloc(size);
    if (memory == nullptr)
        return nullptr;
    auto* buffer = static_cast<InputBuffer*>(memory); // plain C data: malloc makes it
    *buffer = InputBuffer{};
    buffer->size = size;
    buffer->custom.custom_free_function = freeInput;
    inputHeld += size;
    // A pool-type pbuf whose data follows it in the same block: the header room in front
    // of the packet can be taken back as for the stack's own pool buffers.
    auto* payload = static_cast<std::uint8_t*>(memory) + inputHeader;
    return pbuf_alloced_custom(PBUF_RAW, length, PBUF_POOL, &buffer->custom, payload, length);
}

err_t netunif_send(struct pbuf* p) {
    if (outputBlock)
        outputBlock(p);
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
    struct pbuf* p = allocInput(size);
    if (p == nullptr)
        return;
    if (pbuf_take(p, bytes, size) != ERR_OK || netif->input(p, netif) != ERR_OK) {
        // On an error the input function has not taken the pbuf: it is still ours.
        pbuf_free(p);
    }
}

std::size_t netunif_input_held() {
    return inputHeld;
}

void netunif_set_output_block(NetunifOutputBlock block) {
    outputBlock = std::move(block);
}
