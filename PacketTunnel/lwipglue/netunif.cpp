#include "netunif.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "lwip/priv/tcp_priv.h"

namespace {

NetunifOutputBlock outputBlock;

// Device input lives outside the stack's heap, so that queued output and idle connections
// filling the heap never keep out the ACK, FIN or RST that would free them. One block per
// packet: the pbuf, the header room, the packet, the tail.
struct InputBuffer {
    struct pbuf_custom custom;
    std::size_t size;
};
constexpr std::size_t inputRoom = (PBUF_LINK_HLEN + MEM_ALIGNMENT - 1) / MEM_ALIGNMENT * MEM_ALIGNMENT;
constexpr std::size_t inputHeader =
    (sizeof(InputBuffer) + MEM_ALIGNMENT - 1) / MEM_ALIGNMENT * MEM_ALIGNMENT + inputRoom;
// Zeros after the packet. A reassembled packet stays in its fragments' buffers, and the stack
// reads the first two bytes of an IPv6 extension header (its type and length) before it
// finds that the header does not begin within the first buffer: where that buffer ends at
// the first fragment's last byte, those two bytes are the tail's. A length of 0 found there
// makes the header longer than what is left, and the packet is dropped.
constexpr std::size_t inputTail = MEM_ALIGNMENT;
std::atomic<std::size_t> inputHeld{0};
std::atomic<std::size_t> inputMalformed{0};

// Whether the IPv6 extension headers that the stack walks on its way to the transport lie
// whole within the packet, each option of an options header within its header: the stack
// reads a header's length before it compares it with the buffer's. A fragment ends the walk
// (what follows it is parsed once the packet is whole), unless it is the packet's only one.
bool extensionHeadersFit(const std::uint8_t* bytes, std::size_t length) {
    enum : std::uint8_t { hopByHop = 0, routing = 43, fragment = 44, destinationOptions = 60 };
    std::uint8_t next = bytes[6];
    for (std::size_t at = 40;;) {
        if (next != hopByHop && next != routing && next != fragment && next != destinationOptions)
            return true;
        if (length - at < 8)
            return false;
        const std::uint8_t* header = bytes + at;
        std::size_t size = next == fragment ? 8 : 8 * (1 + std::size_t{header[1]});
        if (size > length - at)
            return false;
        if (next == hopByHop || next == destinationOptions) {
            for (std::size_t option = 2; option < size;) {
                if (header[option] == 0) { // a single byte of padding
                    ++option;
                    continue;
                }
                if (option + 2 > size)
                    return false;
                option += 2 + std::size_t{header[option + 1]};
            }
        }
        if (next == fragment && (header[2] << 8 | header[3]) & 0xFFF9) // an offset, or more to come
            return true;
        next = header[0];
        at += size;
    }
}

// The bytes of the packet that the stack is to see: as many as its IP header states. The
// stack reads its header fields before it compares any length with the buffer's, so a
// packet shorter than its header, or than the lengths its headers state, must never reach
// it (0 for those, and for anything but IPv4 and IPv6). Bytes past the stated length are
// left out, as the stack itself would trim them.
std::size_t statedLength(const std::uint8_t* bytes, std::size_t length) {
    constexpr std::size_t ip4Header = 20, ip6Header = 40;
    if (length == 0)
        return 0;
    switch (bytes[0] >> 4) {
    case 4: {
        if (length < ip4Header)
            return 0;
        std::size_t header = (bytes[0] & 0x0Fu) * 4u;
        std::size_t stated = static_cast<std::size_t>(bytes[2] << 8 | bytes[3]);
        return header >= ip4Header && stated >= header && stated <= length ? stated : 0;
    }
    case 6: {
        if (length < ip6Header)
            return 0;
        std::size_t stated = ip6Header + static_cast<std::size_t>(bytes[4] << 8 | bytes[5]);
        return stated <= length && extensionHeadersFit(bytes, stated) ? stated : 0;
    }
    default:
        return 0;
    }
}

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
    std::size_t size = inputHeader + length + inputTail;
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
    std::memset(payload + length, 0, inputTail);
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
    if (length > 0xFFFF) // more than the stack's 16-bit lengths hold
        return;
    std::size_t stated = statedLength(bytes, length);
    if (stated == 0) {
        ++inputMalformed;
        return;
    }
    auto size = static_cast<u16_t>(stated);
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

std::size_t netunif_input_malformed() {
    return inputMalformed;
}

void netunif_set_output_block(NetunifOutputBlock block) {
    outputBlock = std::move(block);
}
