#pragma once

#include <optional>
#include <string>

#include "lwip/ip_addr.h"

namespace pemtrox::LWIPHelpers {

/// The text of a stack address: dotted decimal for IPv4, the stack's IPv6 form (upper-case
/// groups, "::" for the longest zero run, no zone). Any other type is a programming
/// error and fatal: callers pass only addresses of packets and connections.
std::string ipAddrToString(const ip_addr_t& address);

/// A numeric IPv4 or IPv6 address text (no zone), read as the platform's sockets read it
/// (inet_pton), as a stack address; absent for any other text.
std::optional<ip_addr_t> parseIpAddr(const std::string& text);

} // namespace pemtrox::LWIPHelpers
