#include "platform/TunDevice.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/Error.h"
#include "platform/Log.h"

namespace pemtrox {

namespace {

// The device works with the kernel's queue as well, only loses more of a burst: a refusal is
// no reason to go without it.
void setQueueLength(const char (&name)[IFNAMSIZ]) {
    int error = 0;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
    } else {
        ifreq request{};
        std::memcpy(request.ifr_name, name, IFNAMSIZ);
        request.ifr_qlen = TunDevice::queueLength;
        if (::ioctl(fd, SIOCSIFTXQLEN, &request) < 0)
            error = errno;
        ::close(fd);
    }
    if (error)
        LOG_WARNING("TUN device {}: could not lengthen its queue to {} packets: {}", name,
                    TunDevice::queueLength, std::strerror(error));
}

} // namespace

TunDevice TunDevice::create(const std::string& name) {
    int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        systemError("open(/dev/net/tun)", errno)->raise();
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (::ioctl(fd, TUNSETIFF, &request) < 0) {
        int error = errno;
        ::close(fd);
        systemError("TUNSETIFF(" + name + ")", error)->raise();
    }
    setQueueLength(request.ifr_name);
    return TunDevice(fd, request.ifr_name, static_cast<int>(if_nametoindex(request.ifr_name)));
}

TunDevice::~TunDevice() {
    if (fd_ >= 0)
        ::close(fd_);
}

TunDevice::TunDevice(TunDevice&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), name_(std::move(other.name_)), index_(other.index_) {}

TunDevice& TunDevice::operator=(TunDevice&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        name_ = std::move(other.name_);
        index_ = other.index_;
    }
    return *this;
}

int TunDevice::release() {
    return std::exchange(fd_, -1);
}

} // namespace pemtrox
