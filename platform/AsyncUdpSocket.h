#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"

namespace pemtrox {

class AsyncUdpSocket;
class DispatchQueue;

/// The callbacks of an AsyncUdpSocket; they run on the socket's queue, never inside the
/// call that caused them, and name the socket they come from (one delegate may serve
/// many). The socket holds its delegate weakly, and itself stays alive during each call.
class AsyncUdpSocketDelegate {
public:
    virtual ~AsyncUdpSocketDelegate() = default;
    /// A datagram arrived; `address` is the sender's socket address (sockaddr bytes).
    virtual void udpSocketDidReceive(AsyncUdpSocket& socket, std::vector<std::uint8_t> data,
                                     std::vector<std::uint8_t> address) = 0;
    /// The datagram written with this tag was sent.
    virtual void udpSocketDidSend(AsyncUdpSocket& socket, long tag) {
        (void)socket;
        (void)tag;
    }
    /// The datagram written with this tag could not be sent.
    virtual void udpSocketDidNotSend(AsyncUdpSocket& socket, long tag, ErrorPtr error) {
        (void)socket;
        (void)tag;
        (void)error;
    }
    /// The socket closed (once; error absent for a local close).
    virtual void udpSocketDidClose(AsyncUdpSocket& socket, ErrorPtr error) = 0;
};

/// An asynchronous UDP socket on one DispatchQueue: bind, send to an address, receive with
/// the sender's address. Call it on its queue (calls from elsewhere run there synchronously).
/// Releasing the last reference closes it without telling the delegate.
class AsyncUdpSocket {
public:
    using Bytes = std::vector<std::uint8_t>;

    static std::shared_ptr<AsyncUdpSocket> make(std::shared_ptr<DispatchQueue> queue);
    ~AsyncUdpSocket();
    AsyncUdpSocket(const AsyncUdpSocket&) = delete;
    AsyncUdpSocket& operator=(const AsyncUdpSocket&) = delete;

    void setDelegate(std::weak_ptr<AsyncUdpSocketDelegate> delegate);
    /// Binds to the interface (a local address, "localhost", or absent for all) and port
    /// (0 picks one). Throws AsyncSocketError.
    void bind(const std::optional<std::string>& interface, std::uint16_t port);
    /// Delivers every datagram that arrives from now on. Throws AsyncSocketError when the
    /// socket is not bound.
    void beginReceiving();
    /// Sends one datagram to a numeric address and port; an unbound socket is opened for
    /// the address's family first. The outcome comes through the delegate with the tag.
    void sendData(Bytes data, const std::string& host, std::uint16_t port, long tag);
    /// The same, to a socket address given as sockaddr bytes.
    void sendData(Bytes data, const Bytes& address, long tag);
    void close();

    /// The owner's value kept with the socket. On the socket's queue.
    void setUserData(std::shared_ptr<void> userData) { userData_ = std::move(userData); }
    const std::shared_ptr<void>& userData() const { return userData_; }

    std::optional<std::string> localHost() const;
    std::optional<std::uint16_t> localPort() const;

    /// The sockaddr bytes of a numeric address and port; empty when the text is no address.
    static Bytes socketAddress(const std::string& host, std::uint16_t port);
    /// The numeric address text and port of sockaddr bytes.
    static std::optional<std::pair<std::string, std::uint16_t>> hostAndPort(const Bytes& address);

    class Core;

private:
    AsyncUdpSocket(std::shared_ptr<Core> core, std::shared_ptr<DispatchQueue> queue);
    std::shared_ptr<Core> core_;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<void> userData_;
};

} // namespace pemtrox
