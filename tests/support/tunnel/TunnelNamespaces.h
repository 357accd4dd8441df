#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace pemtrox {
class TunPacketFlow;
}

namespace pemtrox::test {

/// Three network namespaces for tunnel tests, made by the test and removed with it (unique
/// names per process):
/// - `cli`: only its loopback; the tunnel's device is moved here by the program;
/// - `gw`: where the program runs: a veth to `srv` (192.0.2.1/24 and 2001:db8:ff::1/64),
///   default routes through srv's 192.0.2.2 and 2001:db8:ff::2, its own resolv.conf under
///   /etc/netns/<gw>/ naming srv's DNS addresses, and ping sockets allowed;
/// - `srv`: the servers' side, holding 203.0.113.1, .10, .53 and 2001:db8::1, ::10, ::53 on
///   its loopback and 192.0.2.2, 192.0.2.3 and 2001:db8:ff::2, ::3 on its veth (the second
///   ones are a second gateway, to change gw's default route to).
class TunnelNamespaces {
public:
    /// Why the namespaces cannot be made here (not root, no TUN, no ip); empty when they can.
    static std::string unavailable();
    /// Throws std::runtime_error with the failing command and its output.
    TunnelNamespaces();
    ~TunnelNamespaces();
    TunnelNamespaces(const TunnelNamespaces&) = delete;
    TunnelNamespaces& operator=(const TunnelNamespaces&) = delete;

    std::string cli, gw, srv;
    /// gw's own resolv.conf, as a process started with `ip netns exec gw` reads it.
    std::filesystem::path gwResolvConf() const;
    /// The resolv.conf that apps in cli read.
    std::filesystem::path cliResolvConf() const;
    /// A TUN device "pxtun0" in cli, its only way out: 198.18.72.254/24 and
    /// fd92:1d98:ae72:f4ca:1234:1234:1234:1234/64, both default routes, an MTU of 65535.
    std::shared_ptr<TunPacketFlow> clientDevice() const;
    /// Runs a shell command in the namespace; returns its standard output and error.
    static std::string in(const std::string& space, const std::string& command, int* status = nullptr);
    /// As in(), failing with the output when the command fails.
    static void must(const std::string& command);
};

} // namespace pemtrox::test
