#include "platform/AsyncUdpSocket.h"

#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include "platform/AsyncSocketError.h"
#include "platform/DispatchQueue.h"
#include "platform/SocketAddress.h"

namespace pemtrox {

namespace {

using udp = asio::ip::udp;
using Bytes = AsyncUdpSocket::Bytes;

/// The largest datagram there is.
constexpr std::size_t largestDatagram = 65536;
/// Datagrams taken in one turn of the queue before its other work gets a turn.
constexpr int datagramsPerTurn = 64;

// Every socket of a queue receives into its thread's one buffer, and each datagram leaves it
// at its own size before the next is read: a socket holds no buffer of its own while it
// waits (a relay with thousands of sockets held 64 KiB for each).
Bytes& receiveBuffer() {
    thread_local Bytes buffer(largestDatagram);
    return buffer;
}

std::string addressText(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}

std::optional<udp::endpoint> endpointOf(const Bytes& address) {
    auto parts = SocketAddress::parse(address);
    if (!parts)
        return std::nullopt;
    if (parts->family == AF_INET) {
        asio::ip::address_v4::bytes_type bytes;
        std::memcpy(bytes.data(), parts->address.data(), bytes.size());
        return udp::endpoint(asio::ip::address_v4(bytes), parts->port);
    }
    return udp::endpoint(asio::ip::address_v6(parts->address, parts->scopeId), parts->port);
}

Bytes bytesOf(const udp::endpoint& endpoint) {
    auto* raw = reinterpret_cast<const std::uint8_t*>(endpoint.data());
    return Bytes(raw, raw + endpoint.size());
}

} // namespace

class AsyncUdpSocket::Core : public std::enable_shared_from_this<Core> {
public:
    explicit Core(DispatchQueue& q) : io(q.ioContext()), socket(io) {}

    // The owner's handle keeps the queue: pending work in the queue's event loop holds the
    // core, which must not hold the queue in turn.
    asio::io_context& io;
    udp::socket socket;
    std::weak_ptr<AsyncUdpSocketDelegate> delegate;
    std::weak_ptr<AsyncUdpSocket> owner; // expires when the last reference is released
    bool bound = false, receiving = false, closed = false, opened = false;
    udp::endpoint sender;

    // Calls the delegate while it and the socket object live; the object is held meanwhile.
    template <class F> void tell(F&& f) {
        auto socket = owner.lock();
        auto d = delegate.lock();
        if (socket && d)
            f(*d, *socket);
    }

    void open(const udp& protocol) {
        std::error_code ec;
        socket.open(protocol, ec);
        if (ec)
            throw AsyncSocketError::posix(ec.value());
        opened = true;
    }

    void bind(const std::optional<std::string>& interface, std::uint16_t port) {
        if (closed || bound || opened)
            throw AsyncSocketError::socket(AsyncSocketError::badConfig,
                                           "Cannot bind a socket more than once.");
        udp::endpoint endpoint(udp::v6(), port);
        bool dualStack = !interface;
        if (interface) {
            std::error_code ec;
            auto address = *interface == "localhost" ? asio::ip::address(asio::ip::address_v4::loopback())
                                                     : asio::ip::make_address(*interface, ec);
            if (ec)
                throw AsyncSocketError::socket(AsyncSocketError::badParam,
                                               "Unknown interface: " + *interface);
            endpoint = udp::endpoint(address, port);
        }
        std::error_code ec;
        socket.open(endpoint.protocol(), ec);
        if (ec && dualStack) {
            endpoint = udp::endpoint(udp::v4(), port);
            dualStack = false;
            socket.open(endpoint.protocol(), ec);
        }
        if (!ec && dualStack)
            socket.set_option(asio::ip::v6_only(false), ec);
        if (!ec)
            socket.bind(endpoint, ec);
        if (ec) {
            std::error_code ignored;
            socket.close(ignored);
            throw AsyncSocketError::posix(ec.value());
        }
        opened = bound = true;
    }

    // Waits until a datagram is there, then reads what is there (the socket is non-blocking).
    void receiveNext() {
        socket.async_wait(udp::socket::wait_read, [self = shared_from_this()](const std::error_code& ec) {
            if (self->closed)
                return;
            if (ec) {
                self->closeWithError(makeError<AsyncSocketError>(AsyncSocketError::posix(ec.value())));
                return;
            }
            self->receiveWaiting();
        });
    }

    // Reads until nothing is left, or until a turn's share has been read: the rest is read
    // in a later turn, since the wait for the socket would not see what is already there.
    void receiveWaiting() {
        auto& buffer = receiveBuffer();
        for (int n = 0; n < datagramsPerTurn; ++n) {
            std::error_code ec;
            std::size_t length = socket.receive_from(asio::buffer(buffer), sender, 0, ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) {
                receiveNext();
                return;
            }
            if (ec == asio::error::interrupted)
                continue;
            if (ec) {
                closeWithError(makeError<AsyncSocketError>(AsyncSocketError::posix(ec.value())));
                return;
            }
            Bytes datagram(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
            tell([&](AsyncUdpSocketDelegate& d, AsyncUdpSocket& s) {
                d.udpSocketDidReceive(s, std::move(datagram), bytesOf(sender));
            });
            if (closed)
                return;
        }
        asio::post(io, [self = shared_from_this()] {
            if (!self->closed)
                self->receiveWaiting();
        });
    }

    void send(Bytes data, udp::endpoint to, long tag) {
        if (closed)
            return;
        if (!opened) {
            try {
                open(to.protocol());
            } catch (const AsyncSocketError& e) {
                notifyNotSent(tag, e.clone());
                return;
            }
        }
        std::error_code ec;
        auto local = socket.local_endpoint(ec);
        if (!ec && local.protocol() == udp::v6() && to.address().is_v4())
            to = udp::endpoint(asio::ip::make_address_v6(asio::ip::v4_mapped, to.address().to_v4()),
                               to.port());
        auto payload = std::make_shared<Bytes>(std::move(data));
        socket.async_send_to(
            asio::buffer(*payload), to,
            [self = shared_from_this(), payload, tag](const std::error_code& ec, std::size_t) {
                if (self->closed)
                    return;
                self->tell([&](AsyncUdpSocketDelegate& d, AsyncUdpSocket& s) {
                    if (ec)
                        d.udpSocketDidNotSend(
                            s, tag, makeError<AsyncSocketError>(AsyncSocketError::posix(ec.value())));
                    else
                        d.udpSocketDidSend(s, tag);
                });
            });
    }

    void notifyNotSent(long tag, ErrorPtr error) {
        asio::post(io, [self = shared_from_this(), tag, error] {
            self->tell(
                [&](AsyncUdpSocketDelegate& d, AsyncUdpSocket& s) { d.udpSocketDidNotSend(s, tag, error); });
        });
    }

    void closeWithError(ErrorPtr error) {
        if (closed)
            return;
        closed = true;
        std::error_code ignored;
        socket.close(ignored);
        if (!opened)
            return;
        asio::post(io, [self = shared_from_this(), error = std::move(error)] {
            self->tell([&](AsyncUdpSocketDelegate& d, AsyncUdpSocket& s) { d.udpSocketDidClose(s, error); });
        });
    }
};

AsyncUdpSocket::AsyncUdpSocket(std::shared_ptr<Core> core, std::shared_ptr<DispatchQueue> queue)
    : core_(std::move(core)), queue_(std::move(queue)) {}

std::shared_ptr<AsyncUdpSocket> AsyncUdpSocket::make(std::shared_ptr<DispatchQueue> queue) {
    auto core = std::make_shared<Core>(*queue);
    auto socket = std::shared_ptr<AsyncUdpSocket>(new AsyncUdpSocket(core, std::move(queue)));
    core->owner = socket;
    return socket;
}

AsyncUdpSocket::~AsyncUdpSocket() {
    auto core = core_;
    auto finish = [core] {
        core->delegate.reset();
        core->closeWithError(nullptr);
    };
    if (queue_->isCurrent())
        finish();
    else
        queue_->async(finish);
}

void AsyncUdpSocket::setDelegate(std::weak_ptr<AsyncUdpSocketDelegate> delegate) {
    queue_->onQueue([&] { core_->delegate = std::move(delegate); });
}

void AsyncUdpSocket::bind(const std::optional<std::string>& interface, std::uint16_t port) {
    queue_->onQueue([&] { core_->bind(interface, port); });
}

void AsyncUdpSocket::beginReceiving() {
    queue_->onQueue([&] {
        if (core_->closed || !core_->bound)
            throw AsyncSocketError::socket(AsyncSocketError::badConfig,
                                           "Must bind socket before you can receive data.");
        if (core_->receiving)
            return;
        std::error_code ec;
        core_->socket.non_blocking(true, ec);
        if (ec)
            throw AsyncSocketError::posix(ec.value());
        core_->receiving = true;
        core_->receiveNext();
    });
}

void AsyncUdpSocket::sendData(Bytes data, const std::string& host, std::uint16_t port, long tag) {
    queue_->onQueue([&] {
        std::error_code ec;
        auto address = asio::ip::make_address(host, ec);
        if (ec) {
            core_->notifyNotSent(tag, makeError<AsyncSocketError>(AsyncSocketError::socket(
                                          AsyncSocketError::badParam, "Invalid host parameter: " + host)));
            return;
        }
        core_->send(std::move(data), udp::endpoint(address, port), tag);
    });
}

void AsyncUdpSocket::sendData(Bytes data, const Bytes& address, long tag) {
    queue_->onQueue([&] {
        auto endpoint = endpointOf(address);
        if (!endpoint) {
            core_->notifyNotSent(tag, makeError<AsyncSocketError>(AsyncSocketError::socket(
                                          AsyncSocketError::badParam, "Invalid address parameter")));
            return;
        }
        core_->send(std::move(data), *endpoint, tag);
    });
}

void AsyncUdpSocket::close() {
    queue_->onQueue([&] { core_->closeWithError(nullptr); });
}

std::optional<std::string> AsyncUdpSocket::localHost() const {
    return queue_->onQueue([&]() -> std::optional<std::string> {
        std::error_code ec;
        auto local = core_->socket.local_endpoint(ec);
        if (ec || !core_->bound)
            return std::nullopt;
        return addressText(local.address());
    });
}

std::optional<std::uint16_t> AsyncUdpSocket::localPort() const {
    return queue_->onQueue([&]() -> std::optional<std::uint16_t> {
        std::error_code ec;
        auto local = core_->socket.local_endpoint(ec);
        if (ec || !core_->bound)
            return std::nullopt;
        return local.port();
    });
}

AsyncUdpSocket::Bytes AsyncUdpSocket::socketAddress(const std::string& host, std::uint16_t port) {
    std::error_code ec;
    auto address = asio::ip::make_address(host, ec);
    if (ec)
        return {};
    return bytesOf(udp::endpoint(address, port));
}

std::optional<std::pair<std::string, std::uint16_t>> AsyncUdpSocket::hostAndPort(const Bytes& address) {
    auto endpoint = endpointOf(address);
    if (!endpoint)
        return std::nullopt;
    return std::make_pair(addressText(endpoint->address()), endpoint->port());
}

} // namespace pemtrox
