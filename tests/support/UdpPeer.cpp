#include "tests/support/UdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace pemtrox::test {

UdpPeer::UdpPeer(const std::string& address, Responder responder, int port)
    : responder_(std::move(responder)) {
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1)
        v4->sin_family = AF_INET, v4->sin_port = htons(static_cast<std::uint16_t>(port));
    else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1)
        v6->sin6_family = AF_INET6, v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    fd_ = socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    socklen_t length = sizeof storage;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        throw std::runtime_error("UdpPeer: cannot bind " + address);
    port_ = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    int buffer = 4 << 20; // bursts of datagrams wait here rather than being dropped
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    thread_ = std::thread([this] { run(); });
}

UdpPeer::~UdpPeer() {
    stop_ = true;
    thread_.join();
    close(fd_);
}

void UdpPeer::run() {
    Data datagram(65536);
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = recvfrom(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&from),
                             &fromLength);
        if (n < 0)
            continue;
        lastSourcePort_ =
            ntohs(from.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&from)->sin_port
                                            : reinterpret_cast<sockaddr_in6*>(&from)->sin6_port);
        ++datagrams_;
        if (auto reply = responder_(Data(datagram.begin(), datagram.begin() + n)))
            sendto(fd_, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
}

} // namespace pemtrox::test
