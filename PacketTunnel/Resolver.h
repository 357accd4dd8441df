#pragma once

#include <sys/socket.h>

#include <filesystem>
#include <string>
#include <vector>

namespace pemtrox {

/// The system's DNS servers, as the resolver configuration names them: the "nameserver"
/// lines of resolv.conf, read once when the resolver is made.
class Resolver {
public:
    /// The resolver library's limit of servers, which the system keeps.
    static constexpr std::size_t maxServers = 10;

    explicit Resolver(const std::filesystem::path& path = "/etc/resolv.conf");
    /// The servers' socket addresses (port 53) in file order, at most maxServers. IPv6
    /// addresses keep their scope ("fe80::1%eth0" or "%2"); a line whose address or scope
    /// does not parse is skipped. A missing file gives none.
    const std::vector<sockaddr_storage>& getDnsServers() const { return servers_; }
    /// The numeric host text of one server address (with "%scope" for scoped IPv6).
    static std::string getServerAddress(const sockaddr_storage& address);
    /// The numeric texts of the servers, in order.
    static std::vector<std::string> systemDnsServers(const std::filesystem::path& path = "/etc/resolv.conf");
    /// The servers as apps in another network namespace can use them. A loopback server
    /// (a local stub such as 127.0.0.53) is reachable only from the program's own
    /// namespace: the stub's upstream servers (the file the stub keeps them in) take its
    /// place, or, without any, it is skipped with a warning. Link-local IPv6 servers name a
    /// link the other namespace does not have and are skipped with a warning.
    static std::vector<std::string>
    tunnelDnsServers(const std::filesystem::path& path = "/etc/resolv.conf",
                     const std::filesystem::path& upstream = "/run/systemd/resolve/resolv.conf");

private:
    std::vector<sockaddr_storage> servers_;
};

} // namespace pemtrox
