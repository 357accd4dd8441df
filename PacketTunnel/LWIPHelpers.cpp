#include "LWIPHelpers.h"

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

} // namespace pemtrox::LWIPHelpers
