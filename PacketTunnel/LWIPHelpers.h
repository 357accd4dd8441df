#pragma once

#include <string>

#include "lwip/ip_addr.h"

namespace pemtrox::LWIPHelpers {

/// The text of a stack address: dotted decimal for IPv4, the stack's IPv6 form (upper-case
/// groups, "::" for the longest zero run, no zone). Any other type is a programming
/// error and fatal: callers pass only addresses of packets and connections.
std::string ipAddrToString(const ip_addr_t& address);

} // namespace pemtrox::LWIPHelpers
