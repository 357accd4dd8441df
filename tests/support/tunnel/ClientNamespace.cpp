#include "tests/support/tunnel/ClientNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "PacketTunnel/TunPacketFlow.h"
#include "tests/support/TestSupport.h"

namespace pemtrox::test {

std::string ClientNamespace::unavailable() {
    if (geteuid() != 0)
        return "needs root: makes network namespaces and a TUN device";
    if (access("/dev/net/tun", R_OK | W_OK) != 0)
        return "no /dev/net/tun on this machine";
    if (runCommand("command -v ip curl >/dev/null && echo yes") != "yes\n")
        return "needs ip (iproute2) and curl";
    return "";
}

ClientNamespace::ClientNamespace() : name_("pxc" + std::to_string(getpid())) {
    auto check = [](const std::string& command) {
        int status = -1;
        auto out = runCommand(command + " 2>&1", &status);
        if (status != 0)
            throw std::runtime_error(command + ": " + out);
    };
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home_ < 0 || unshare(CLONE_NEWNET) != 0)
        throw std::runtime_error(std::string("unshare: ") + std::strerror(errno));
    check("ip link set lo up");
    runCommand("ip netns del " + name_ + " 2>/dev/null");
    check("ip netns add " + name_);
    std::string failure;
    std::thread([&] { // the device is made in the client namespace, by a thread that goes there
        int fd = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
            failure = std::strerror(errno);
        } else {
            try {
                flow_ = TunPacketFlow::make("pxtun0");
            } catch (const std::exception& e) {
                failure = e.what();
            }
        }
        if (fd >= 0)
            close(fd);
    })
        .join();
    if (!flow_)
        throw std::runtime_error("TUN device: " + failure);
    std::string ns = "ip -n " + name_ + " ";
    check(ns + "link set lo up && " + ns + "link set pxtun0 up && " + ns +
          "addr add 198.18.72.254/24 dev pxtun0 && " + ns +
          "addr add fd92:1d98:ae72:f4ca:1234:1234:1234:1234/64 dev pxtun0 nodad && " + ns +
          "route add default dev pxtun0 && " + ns + "-6 route add default dev pxtun0");
}

ClientNamespace::~ClientNamespace() {
    if (flow_)
        flow_->close();
    runCommand("ip netns del " + name_ + " 2>/dev/null");
    if (home_ >= 0) {
        setns(home_, CLONE_NEWNET);
        close(home_);
    }
}

void ClientNamespace::addServerAddress(const std::string& address) {
    int status = -1;
    auto out = runCommand("ip addr add " + address + " dev lo 2>&1", &status);
    if (status != 0)
        throw std::runtime_error("ip addr add " + address + ": " + out);
}

std::string ClientNamespace::run(const std::string& command, int* status) const {
    return runCommand("ip netns exec " + name_ + " sh -c '" + command + "'", status);
}

} // namespace pemtrox::test
