#include "platform/AppMessageConnection.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pemtrox {

namespace {
constexpr std::size_t headerSize = 4;

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}
} // namespace

AppMessageConnection::AppMessageConnection(int fd, Clock::time_point deadline)
    : fd_(fd), deadline_(deadline) {}

AppMessageConnection::~AppMessageConnection() {
    if (fd_ >= 0)
        ::close(fd_);
}

short AppMessageConnection::events() const {
    switch (state_) {
    case State::reading:
        return POLLIN;
    case State::writing:
        return POLLOUT;
    case State::done:
        break;
    }
    return 0;
}

std::optional<AppMessageConnection::Bytes> AppMessageConnection::receive(std::size_t limit) {
    while (state_ == State::reading) {
        std::size_t wanted = headerSize;
        if (input_.size() >= headerSize) {
            std::size_t length = (std::size_t(input_[0]) << 24) | (std::size_t(input_[1]) << 16) |
                                 (std::size_t(input_[2]) << 8) | std::size_t(input_[3]);
            if (length > limit) {
                finish();
                return std::nullopt;
            }
            wanted += length;
            if (input_.size() == wanted)
                return Bytes(input_.begin() + headerSize, input_.end());
        }
        // Only the frame's own bytes are taken: nothing after it is ever read.
        std::size_t had = input_.size();
        input_.resize(wanted);
        ssize_t n = ::recv(fd_, input_.data() + had, wanted - had, 0);
        int error = errno;
        input_.resize(had + static_cast<std::size_t>(n > 0 ? n : 0));
        if (n < 0 && error == EINTR)
            continue;
        if (n < 0 && wouldBlock(error))
            return std::nullopt;
        if (n <= 0)
            finish();
    }
    return std::nullopt;
}

void AppMessageConnection::reply(const Bytes& body, Clock::time_point deadline) {
    output_ = {std::uint8_t(body.size() >> 24), std::uint8_t(body.size() >> 16),
               std::uint8_t(body.size() >> 8), std::uint8_t(body.size())};
    output_.insert(output_.end(), body.begin(), body.end());
    input_ = {};
    sent_ = 0;
    deadline_ = deadline;
    state_ = State::writing;
    send();
}

void AppMessageConnection::send() {
    while (state_ == State::writing && sent_ < output_.size()) {
        ssize_t n = ::send(fd_, output_.data() + sent_, output_.size() - sent_, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && wouldBlock(errno))
            return;
        if (n <= 0) {
            finish();
            return;
        }
        sent_ += static_cast<std::size_t>(n);
    }
    finish();
}

} // namespace pemtrox
