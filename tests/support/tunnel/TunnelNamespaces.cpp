#include "tests/support/tunnel/TunnelNamespaces.h"

#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "PacketTunnel/TunPacketFlow.h"
#include "platform/NetworkNamespace.h"
#include "tests/support/TestSupport.h"

namespace pemtrox::test {

std::string TunnelNamespaces::unavailable() {
    if (geteuid() != 0)
        return "needs root: makes network namespaces and a TUN device";
    if (access("/dev/net/tun", R_OK | W_OK) != 0)
        return "no /dev/net/tun on this machine";
    if (runCommand("command -v ip >/dev/null && echo yes") != "yes\n")
        return "needs ip (iproute2)";
    return "";
}

void TunnelNamespaces::must(const std::string& command) {
    int status = -1;
    auto out = runCommand(command + " 2>&1", &status);
    if (status != 0)
        throw std::runtime_error(command + ": " + out);
}

std::string TunnelNamespaces::in(const std::string& space, const std::string& command, int* status) {
    std::string quoted;
    for (char c : command)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return runCommand("ip netns exec " + space + " sh -c '" + quoted + "' 2>&1", status);
}

namespace {

// The namespaces of tests killed before their end (pxcli, pxgw, pxsrv or pxnew, then the test's
// process id), and the resolv.conf directories kept for them.
void removeLeftNamespaces() {
    for (const auto* directory : {"/run/netns", "/etc/netns"}) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
            auto name = entry.path().filename().string();
            auto digits = name.find_first_of("0123456789");
            auto word = name.substr(0, digits);
            if (digits == std::string::npos ||
                (word != "pxcli" && word != "pxgw" && word != "pxsrv" && word != "pxnew") ||
                !processEnded(name.substr(digits)))
                continue;
            runCommand("ip netns del " + name + " 2>/dev/null");
            std::error_code ignored;
            std::filesystem::remove_all("/etc/netns/" + name, ignored);
        }
    }
}

} // namespace

TunnelNamespaces::TunnelNamespaces() {
    removeLeftNamespaces();
    auto id = std::to_string(getpid());
    cli = "pxcli" + id, gw = "pxgw" + id, srv = "pxsrv" + id;
    for (const auto* space : {&cli, &gw, &srv}) {
        runCommand("ip netns del " + *space + " 2>/dev/null");
        must("ip netns add " + *space + " && ip -n " + *space + " link set lo up");
    }
    std::string g = "ip -n " + gw + " ", s = "ip -n " + srv + " ";
    must("ip link add pxg" + id + " netns " + gw + " type veth peer name pxs" + id + " netns " + srv);
    must(g + "link set pxg" + id + " up && " + s + "link set pxs" + id + " up");
    must(g + "addr add 192.0.2.1/24 dev pxg" + id + " && " + g + "addr add 2001:db8:ff::1/64 dev pxg" + id +
         " nodad");
    must(s + "addr add 192.0.2.2/24 dev pxs" + id + " && " + s + "addr add 192.0.2.3/24 dev pxs" + id +
         " && " + s + "addr add 2001:db8:ff::2/64 dev pxs" + id + " nodad && " + s +
         "addr add 2001:db8:ff::3/64 dev pxs" + id + " nodad");
    for (const auto* address : {"203.0.113.1/32", "203.0.113.10/32", "203.0.113.53/32", "2001:db8::1/128",
                                "2001:db8::10/128", "2001:db8::53/128"})
        must(s + "addr add " + address + " dev lo" +
             (std::string(address).find(':') != std::string::npos ? " nodad" : ""));
    // srv answers gw's transfer net directly; everything else of gw leaves through srv.
    must(g + "route add default via 192.0.2.2 && " + g + "-6 route add default via 2001:db8:ff::2");
    must("ip netns exec " + gw + " sysctl -qw net.ipv4.ping_group_range='0 2147483647'");
    std::filesystem::create_directories(gwResolvConf().parent_path());
    std::ofstream(gwResolvConf()) << "nameserver 203.0.113.53\nnameserver 2001:db8::53\n";
}

TunnelNamespaces::~TunnelNamespaces() {
    for (const auto* space : {&cli, &gw, &srv}) {
        runCommand("ip netns del " + *space + " 2>/dev/null");
        std::error_code ignored;
        std::filesystem::remove_all("/etc/netns/" + *space, ignored);
    }
}

std::filesystem::path TunnelNamespaces::gwResolvConf() const {
    return "/etc/netns/" + gw + "/resolv.conf";
}

std::filesystem::path TunnelNamespaces::cliResolvConf() const {
    return "/etc/netns/" + cli + "/resolv.conf";
}

std::shared_ptr<TunPacketFlow> TunnelNamespaces::clientDevice() const {
    std::shared_ptr<TunPacketFlow> flow;
    NetworkNamespace::named(cli).run([&] { flow = TunPacketFlow::make("pxtun0"); });
    std::string c = "ip -n " + cli + " ";
    must(c + "link set pxtun0 up mtu 65535 && " + c + "addr add 198.18.72.254/24 dev pxtun0 && " + c +
         "addr add fd92:1d98:ae72:f4ca:1234:1234:1234:1234/64 dev pxtun0 nodad && " + c +
         "route add default dev pxtun0 && " + c + "-6 route add default dev pxtun0");
    return flow;
}

} // namespace pemtrox::test
