#include "platform/ReactorSocket.h"

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

#include <asio/detail/socket_ops.hpp>

namespace pemtrox {

namespace ops = asio::detail::socket_ops;

void ReactorSocket::openNonBlocking(const asio::ip::tcp& protocol, std::error_code& ec) {
    int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol.protocol());
    if (fd < 0) {
        ec = std::error_code(errno, asio::error::get_system_category());
        return;
    }
    assign(protocol, fd, ec);
    if (ec) {
        ::close(fd);
        return;
    }
    ownsDescriptorAlone();
    auto& impl = impl_.get_implementation();
    impl.state_ = static_cast<ops::state_type>(impl.state_ | ops::internal_non_blocking);
}

void ReactorSocket::ownsDescriptorAlone() {
    // asio marks every descriptor it is handed as possibly shared with another, and so takes
    // it out of epoll itself before closing it.
    auto& impl = impl_.get_implementation();
    impl.state_ = static_cast<ops::state_type>(impl.state_ & ~ops::possible_dup);
}

} // namespace pemtrox
