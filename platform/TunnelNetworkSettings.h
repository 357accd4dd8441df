#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pemtrox {

/// What the tunnel asks of the machine's network: its addresses, the routes it claims,
/// the DNS servers and the HTTP/HTTPS proxy it points the system at.
struct IPv4Route {
    std::string destinationAddress;
    std::string subnetMask;
};

struct IPv6Route {
    std::string destinationAddress;
    int networkPrefixLength = 0;
};

struct IPv4Settings {
    std::vector<std::string> addresses;
    std::vector<std::string> subnetMasks;
    std::vector<IPv4Route> includedRoutes;
    std::vector<IPv4Route> excludedRoutes;
};

struct IPv6Settings {
    std::vector<std::string> addresses;
    std::vector<int> networkPrefixLengths;
    std::vector<IPv6Route> includedRoutes;
    std::vector<IPv6Route> excludedRoutes;
};

struct DNSSettings {
    std::vector<std::string> servers;
};

struct ProxyServerAddress {
    std::string address;
    int port = 0;
};

struct ProxySettings {
    bool httpEnabled = false;
    std::optional<ProxyServerAddress> httpServer;
    bool httpsEnabled = false;
    std::optional<ProxyServerAddress> httpsServer;
};

struct TunnelNetworkSettings {
    std::string tunnelRemoteAddress;
    std::optional<IPv4Settings> ipv4Settings;
    std::optional<IPv6Settings> ipv6Settings;
    std::optional<DNSSettings> dnsSettings;
    std::optional<ProxySettings> proxySettings;
};

} // namespace pemtrox
