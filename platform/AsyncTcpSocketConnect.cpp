// Connecting and accepting: how an AsyncTcpSocket gets its connection.

#include <cstring>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <asio/ip/v6_only.hpp>

#include "platform/AsyncTcpSocketCore.h"
#include "platform/Log.h"

namespace pemtrox {

namespace {

std::string addressText(const asio::ip::address& address) {
    if (address.is_v6()) {
        auto v6 = address.to_v6();
        if (v6.is_v4_mapped())
            return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
        v6.scope_id(0); // the interface is not part of the address text
        return v6.to_string();
    }
    return address.to_string();
}

ErrorPtr errorFrom(const std::error_code& ec) {
    if (ec == asio::error::eof)
        return socketError(AsyncSocketError::closed);
    if (ec.category() == asio::system_category() || ec.category() == std::generic_category())
        return makeError<AsyncSocketError>(AsyncSocketError::posix(ec.value()));
    return socketError(AsyncSocketError::other, ec.message());
}

[[noreturn]] void throwSocket(AsyncSocketError::Code code, std::string message) {
    throw AsyncSocketError::socket(code, std::move(message));
}

/// The local address of an interface given by name or address text, in the family asked for.
std::optional<asio::ip::address> interfaceAddress(const std::string& interface, bool v6) {
    if (interface == "localhost" || interface == "loopback")
        return v6 ? asio::ip::address(asio::ip::address_v6::loopback())
                  : asio::ip::address(asio::ip::address_v4::loopback());
    std::error_code ec;
    auto numeric = asio::ip::make_address(interface, ec);
    if (!ec)
        return numeric;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    std::optional<asio::ip::address> found;
    for (ifaddrs* ifa = list; ifa && !found; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || interface != ifa->ifa_name)
            continue;
        if (!v6 && ifa->ifa_addr->sa_family == AF_INET) {
            auto* sin = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
            found = asio::ip::address_v4(ntohl(sin->sin_addr.s_addr));
        } else if (v6 && ifa->ifa_addr->sa_family == AF_INET6) {
            auto* sin6 = reinterpret_cast<const sockaddr_in6*>(ifa->ifa_addr);
            asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), sin6->sin6_addr.s6_addr, bytes.size());
            found = asio::ip::address_v6(bytes, sin6->sin6_scope_id);
        }
    }
    freeifaddrs(list);
    return found;
}

} // namespace

/// Takes both endpoints; the peer's comes from connect or accept when known there.
void AsyncTcpSocket::Core::recordAddresses(const std::optional<tcp::endpoint>& knownPeer) {
    std::error_code ec;
    auto remote = knownPeer ? *knownPeer : socket.remote_endpoint(ec);
    if (!ec) {
        peerHost = addressText(remote.address());
        peerPort = remote.port();
    }
    auto local = socket.local_endpoint(ec);
    if (!ec) {
        localHostText = addressText(local.address());
        localPortNumber = local.port();
    }
}

void AsyncTcpSocket::Core::connect(const std::string& host, std::uint16_t port,
                                   const std::optional<std::string>& interface, double timeout) {
    if (state != State::idle)
        throwSocket(AsyncSocketError::badConfig,
                    "Attempting to connect while connected or accepting connections. Disconnect first.");
    std::error_code ec;
    auto address = asio::ip::make_address(host, ec);
    if (ec)
        throwSocket(AsyncSocketError::badParam, "Invalid host parameter (not a numeric address): " + host);
    tcp::endpoint endpoint(address, port);
    std::optional<tcp::endpoint> local;
    if (interface) {
        auto ifaceAddress = interfaceAddress(*interface, address.is_v6());
        if (!ifaceAddress)
            throwSocket(AsyncSocketError::badParam, "Unknown interface: " + *interface);
        if (address.is_v6() && address.to_v6().is_link_local()) {
            auto v6 = address.to_v6();
            unsigned index = if_nametoindex(interface->c_str());
            v6.scope_id(index ? index : ifaceAddress->to_v6().scope_id());
            endpoint.address(v6);
        }
        local = tcp::endpoint(*ifaceAddress, 0);
    }
    socket.openNonBlocking(endpoint.protocol(), ec);
    if (!ec && local)
        socket.bind(*local, ec);
    if (ec) {
        std::error_code ignored;
        socket.close(ignored);
        throw AsyncSocketError::posix(ec.value());
    }
    if (socketOptionsHook)
        socketOptionsHook(socket.native_handle());
    state = State::connecting;
    started = true;
    if (timeout >= 0) {
        connectTimer.expires_after(toDuration(timeout));
        connectTimer.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (ec || self->state != State::connecting)
                return;
            self->closeWithError(socketError(AsyncSocketError::connectTimeout));
        });
    }
    socket.async_connect(endpoint, [self = shared_from_this(), endpoint](const std::error_code& ec) {
        if (self->state != State::connecting)
            return;
        self->connectTimer.cancel();
        if (ec) {
            self->closeWithError(errorFrom(ec));
            return;
        }
        self->state = State::connected;
        self->in.wireQuiet = true; // the peer has had nothing to answer yet
        self->awaitReadable();
        std::error_code ignored;
        self->socket.set_option(tcp::no_delay(true), ignored);
        self->recordAddresses(endpoint);
        self->inProgress = true; // requests queued meanwhile wait until the delegate returns
        if (auto d = self->currentDelegate())
            d->socketDidConnect(self->peerHost.value_or(""), self->peerPort.value_or(0));
        self->inProgress = false;
        self->progress();
    });
}

void AsyncTcpSocket::Core::acceptOn(const std::optional<std::string>& interface, std::uint16_t port) {
    if (state != State::idle)
        throwSocket(AsyncSocketError::badConfig,
                    "Attempting to accept while connected or accepting connections. Disconnect first.");
    tcp::endpoint endpoint;
    bool dualStack = false;
    if (interface) {
        auto address = interfaceAddress(*interface, false);
        if (!address)
            address = interfaceAddress(*interface, true);
        if (!address)
            throwSocket(AsyncSocketError::badParam, "Unknown interface: " + *interface);
        endpoint = tcp::endpoint(*address, port);
    } else {
        endpoint = tcp::endpoint(tcp::v6(), port);
        dualStack = true;
    }
    auto a = std::make_unique<tcp::acceptor>(io);
    std::error_code ec;
    a->open(endpoint.protocol(), ec);
    if (ec && dualStack) { // no IPv6 on this host
        endpoint = tcp::endpoint(tcp::v4(), port);
        dualStack = false;
        a->open(endpoint.protocol(), ec);
    }
    if (!ec && dualStack)
        a->set_option(asio::ip::v6_only(false), ec);
    if (!ec)
        a->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        a->bind(endpoint, ec);
    if (!ec)
        a->listen(asio::socket_base::max_listen_connections, ec);
    // Accepted sockets inherit it: no system call per connection.
    std::error_code ignored;
    if (!ec)
        a->set_option(tcp::no_delay(true), ignored);
    if (ec)
        throw AsyncSocketError::posix(ec.value());
    auto bound = a->local_endpoint(ec);
    if (!ec) {
        localHostText = addressText(bound.address());
        localPortNumber = bound.port();
    }
    acceptor = std::move(a);
    state = State::listening;
    started = true;
    acceptNext();
}

void AsyncTcpSocket::Core::acceptNext() {
    acceptor->async_accept(acceptedPeer, [self = shared_from_this()](const std::error_code& ec,
                                                                     tcp::socket peer) {
        if (self->state != State::listening)
            return;
        if (ec) {
            // Out of descriptors and the like: try again shortly rather than spin. A
            // listener has no connect to time, so its connect timer paces the retries:
            // nothing new is made here, where no descriptor may be left to spare.
            LOG_WARNING("Accept failed: {}", ec.message());
            self->connectTimer.expires_after(std::chrono::milliseconds(100));
            self->connectTimer.async_wait([self](const std::error_code& ec) {
                if (!ec && self->state == State::listening)
                    self->acceptNext();
            });
            return;
        }
        auto core = std::make_shared<Core>(*self->queue);
        core->socket = std::move(peer);
        core->socket.ownsDescriptorAlone();
        // Heads and body pieces can leave in separate sends; with Nagle each would wait for
        // the peer's delayed acknowledgement of the one before. Set on the listener, whose
        // accepted sockets inherit it.
        core->state = State::connected;
        core->started = true;
        core->recordAddresses(self->acceptedPeer);
        std::shared_ptr<AsyncTcpSocket> accepted(new AsyncTcpSocket(core, self->queue->shared_from_this()));
        if (auto d = self->currentDelegate())
            d->socketDidAccept(accepted);
        core->schedule();
        accepted.reset();
        if (self->state == State::listening)
            self->acceptNext();
    });
}

} // namespace pemtrox
