#pragma once

#include <system_error>
#include <utility>

#include <asio/ip/tcp.hpp>

namespace pemtrox {

/// A TCP socket of the event loop that spares asio two system calls per connection:
/// descriptors made non-blocking at birth, which asio would otherwise switch with an ioctl
/// before its first operation, and descriptors nothing else shares, which asio would otherwise
/// remove from epoll before closing them (a close removes them by itself).
class ReactorSocket : public asio::ip::tcp::socket {
public:
    using asio::ip::tcp::socket::basic_stream_socket;
    ReactorSocket& operator=(asio::ip::tcp::socket&& other) {
        asio::ip::tcp::socket::operator=(std::move(other));
        return *this;
    }

    /// Opens a non-blocking, close-on-exec socket of the protocol's family.
    void openNonBlocking(const asio::ip::tcp& protocol, std::error_code& ec);
    /// For a descriptor handed over that nothing else shares (an accepted connection).
    void ownsDescriptorAlone();
};

} // namespace pemtrox
