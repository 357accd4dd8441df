#include "proxy/io/ProxySocket.h"

#include <atomic>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace pemtrox {

namespace {
std::atomic<double> defaultConnectTimeoutSeconds{300.0};
} // namespace

void ProxySocket::setDefaultConnectTimeout(double seconds) {
    defaultConnectTimeoutSeconds = seconds;
}

double ProxySocket::defaultConnectTimeout() {
    return defaultConnectTimeoutSeconds.load();
}

void ProxySocket::connect(const InetAddress& address, int port) {
    socket()->connect(address.address(), checkedPort(port), address.interface(), ConnectTimeout);
    socket()->performBlock([](int fd) {
        int one = 1;
        if (fd >= 0)
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    });
}

} // namespace pemtrox
