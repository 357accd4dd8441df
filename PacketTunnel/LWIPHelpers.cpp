#include "LWIPHelpers.h"

#include <arpa/inet.h>

#include <cstdint>

#include "platform/Log.h"

namespace pemtrox::LWIPHelpers {

std::string ipAddrToString(const ip_addr_t& address) {
    char text[IP6ADDR_STRLEN_MAX];
    switch (IP_GET_TYPE(&address)) {
    case IPADDR_TYPE_V6:
        return ip6addr_ntoa_r(ip_2_ip6(&address), text, sizeof text);
    case IPADDR_TYPE_V4:
        return ip4addr_ntoa_r(ip_2_ip4(&address), text, sizeof text);
    default:
        fatalError("Unsupported address type: " + std::to_string(IP_GET_TYPE(&address)));
    }
}

std::optional<ip_addr_t> parseIpAddr(const std::string& text) {
    ip_addr_t address{};
    std::uint32_t words[4]; // network order, as the stack keeps them
    if (inet_pton(AF_INET, text.c_str(), words) == 1) {
        ip_addr_set_ip4_u32_val(address, words[0]);
        return address;
    }
    if (inet_pton(AF_INET6, text.c_str(), words) != 1)
        return std::nullopt;
    IP_ADDR6(&address, words[0], words[1], words[2], words[3]);
    return address;
}

} // namespace pemtrox::LWIPHelpers
