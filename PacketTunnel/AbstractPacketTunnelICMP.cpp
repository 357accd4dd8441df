#include "AbstractPacketTunnelICMP.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "LWIPHelpers.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "proxy/io/Data.h"

namespace pemtrox {

namespace {
std::atomic<bool> refusalExplained{false};
}

std::string PacketTunnelICMPError::description() const {
    return std::string(which == fdCreationFailed ? "fdCreationFailed" : "socketCreationFailed") + "(" +
           std::to_string(errnum) + ")";
}

AbstractPacketTunnelICMP::AbstractPacketTunnelICMP(std::shared_ptr<DispatchQueue> queue)
    : queue_(std::move(queue)) {}

AbstractPacketTunnelICMP::~AbstractPacketTunnelICMP() {
    // Nothing else holds the handler any more, the bridge included.
    closeSocket();
}

void AbstractPacketTunnelICMP::bind(int domain, int protocol) {
    queue_->onQueue([&] {
        // Never blocking: a full send buffer must not stall the stack's queue.
        int fd = ::socket(domain, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
        if (fd < 0) {
            int error = errno;
            if ((error == EACCES || error == EPERM) && !refusalExplained.exchange(true))
                LOG_ERROR("ICMP sockets are refused to group {}: pings through the tunnel need the "
                          "sysctl net.ipv4.ping_group_range to include it (see README)",
                          getegid());
            throw PacketTunnelICMPError(PacketTunnelICMPError::fdCreationFailed, error);
        }
        // Replies are never read: keep the least the kernel allows of them.
        int smallest = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
        closeSocket();
        socket_ = fd;
    });
}

void AbstractPacketTunnelICMP::invalidate() {
    queue_->onQueue([this] { closeSocket(); });
}

bool AbstractPacketTunnelICMP::hasSocket() const {
    return queue_->onQueue([this] { return socket_ >= 0; });
}

void AbstractPacketTunnelICMP::closeSocket() {
    if (socket_ >= 0)
        ::close(socket_);
    socket_ = -1;
}

void AbstractPacketTunnelICMP::send(const ip_addr_t& address, const std::uint8_t* data, std::size_t length,
                                    std::uint8_t echoRequest, const sockaddr* to, socklen_t toLength) {
    if (socket_ < 0)
        return;
    auto destination = LWIPHelpers::ipAddrToString(address);
    if (length < 8 || data[0] != echoRequest || data[1] != 0) {
        // The kernel's own router and neighbour messages come this way too: not worth more.
        LOG_VERBOSE("{}: Dropped ICMP type {} code {} to {}: only echo requests are sent", typeName(),
                    length ? data[0] : -1, length > 1 ? data[1] : -1, destination);
        return;
    }
    LOG_VERBOSE("{}: Sending {} bytes {} to {} sockAddressLength={}", typeName(), length,
                hexString(data, length), destination, toLength);
    ssize_t sent = ::sendto(socket_, data, length, 0, to, toLength);
    if (sent < 0) {
        int error = errno;
        const char* text = std::strerror(error);
        LOG_ERROR("{}: Failed to send {} bytes to {} (errno {}: {})", typeName(), length, destination, error,
                  text ? std::string(text) : "Unknown " + std::to_string(error));
    } else {
        LOG_INFO("{}: Sent {} bytes to {}", typeName(), sent, destination);
    }
}

} // namespace pemtrox
