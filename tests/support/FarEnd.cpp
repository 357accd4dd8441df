#include "tests/support/FarEnd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

namespace pemtrox::test {

KernelEnd::KernelEnd(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ADD_FAILURE() << "connect: " << std::strerror(errno);
    reader_ = std::thread([this, fd = fd_] { readLoop(fd); });
    actor_ = std::thread([this] { actLoop(); });
}

KernelEnd::~KernelEnd() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    actor_.join();
    reader_.join();
    if (fd_ >= 0)
        ::close(fd_);
}

void KernelEnd::send(const std::string& bytes) {
    act([this, bytes] {
        for (std::size_t at = 0; at < bytes.size();) {
            auto n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) {
                std::lock_guard lock(mutex_);
                reset_ = reset_ || errno == ECONNRESET || errno == EPIPE;
                return;
            }
            at += static_cast<std::size_t>(n);
        }
    });
}

void KernelEnd::end() {
    act([this] { ::shutdown(fd_, SHUT_WR); });
}

void KernelEnd::reset() {
    act([this] {
        std::lock_guard lock(mutex_);
        linger reset{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd_);
        fd_ = -1;
    });
}

std::string KernelEnd::received() {
    std::lock_guard lock(mutex_);
    return received_;
}

bool KernelEnd::sawEnd() {
    std::lock_guard lock(mutex_);
    return ended_;
}

bool KernelEnd::sawReset() {
    std::lock_guard lock(mutex_);
    return reset_;
}

void KernelEnd::act(std::function<void()> action) {
    {
        std::lock_guard lock(mutex_);
        actions_.push_back(std::move(action));
    }
    wake_.notify_all();
}

void KernelEnd::actLoop() {
    for (;;) {
        std::function<void()> action;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !actions_.empty(); });
            if (actions_.empty())
                return;
            action = std::move(actions_.front());
            actions_.pop_front();
        }
        action();
    }
}

// Waits for input without the lock and reads under it, where the descriptor is known to be
// open still (a reset closes it).
void KernelEnd::readLoop(int fd) {
    for (;;) {
        if (ended_) { // written by this thread alone
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 10);
        }
        std::lock_guard lock(mutex_);
        if (stopping_ || fd_ < 0 || reset_)
            return;
        char chunk[16384];
        auto n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0)
            received_.append(chunk, static_cast<std::size_t>(n));
        else if (n == 0)
            ended_ = true;
        else if (errno == ECONNRESET)
            reset_ = true;
    }
}

} // namespace pemtrox::test
