#include "TunPacketFlow.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "platform/TunDevice.h"

namespace pemtrox {

std::shared_ptr<TunPacketFlow> TunPacketFlow::make(const std::string& name) {
    return make(TunDevice::create(name));
}

std::shared_ptr<TunPacketFlow> TunPacketFlow::make(TunDevice device) {
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0)
        systemError("eventfd", errno)->raise();
    auto name = device.name();
    return std::shared_ptr<TunPacketFlow>(new TunPacketFlow(device.release(), wakeFd, name));
}

TunPacketFlow::TunPacketFlow(int fd, int wakeFd, std::string name)
    : name_(std::move(name)), wakeFd_(wakeFd), fd_(fd), thread_([this] { readLoop(); }) {}

TunPacketFlow::~TunPacketFlow() {
    close();
}

void TunPacketFlow::readPackets(ReadHandler handler) {
    std::lock_guard lock(mutex_);
    reader_ = std::move(handler);
    wanted_.notify_one();
}

bool TunPacketFlow::writePackets(Packets packets, Protocols) {
    // Shared: a write runs the receiving side's kernel work in this thread, and must hold
    // up neither the reader nor another writer, only the close.
    std::shared_lock lock(fdMutex_);
    for (const auto& packet : packets)
        if (fd_ < 0 || ::write(fd_, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size()))
            return false;
    return true;
}

void TunPacketFlow::close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        wanted_.notify_one();
    }
    std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    thread_.join();
    std::unique_lock lock(fdMutex_);
    ::close(fd_);
    ::close(wakeFd_);
    fd_ = -1;
}

void TunPacketFlow::readLoop() {
    Data buffer(65536);
    Packets packets;
    Protocols protocols;
    for (;;) {
        // The next batch is read while the previous one is being taken in: the reader is
        // one batch ahead at most.
        int error = 0;
        bool waited = false;
        while (packets.size() < maxBatch) {
            ssize_t n = ::read(fd_, buffer.data(), buffer.size());
            if (n >= 0) {
                packets.emplace_back(buffer.begin(), buffer.begin() + n);
                protocols.push_back(n > 0 && buffer[0] >> 4 == 6 ? AF_INET6 : AF_INET);
                continue;
            }
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN) {
                error = errno;
                break;
            }
            if (!packets.empty() || waited)
                break; // drained for now
            pollfd fds[] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                LOG_ERROR("TUN device {}: poll failed: {}", name_, std::strerror(errno));
                return;
            }
            if (fds[1].revents)
                return; // closing
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                error = EIO;
                break;
            }
            waited = true;
        }
        if (packets.empty() && error) {
            LOG_ERROR("TUN device {}: reading failed: {}", name_, std::strerror(error));
            return;
        }
        if (packets.empty())
            continue;
        ReadHandler reader;
        {
            std::unique_lock lock(mutex_);
            wanted_.wait(lock, [&] { return closed_ || reader_; });
            if (closed_)
                return;
            reader = std::exchange(reader_, nullptr);
        }
        deliveryQueue()->async([reader = std::move(reader), packets = std::exchange(packets, {}),
                                protocols = std::exchange(protocols, {})]() mutable {
            reader(std::move(packets), std::move(protocols));
        });
    }
}

} // namespace pemtrox
