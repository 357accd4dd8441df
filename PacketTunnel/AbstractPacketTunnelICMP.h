#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lwip/ip_addr.h"
#include "platform/Error.h"

namespace pemtrox {

class DispatchQueue;

/// An ICMP socket could not be opened; carries the errno of the failed call.
class PacketTunnelICMPError : public ErrorBase<PacketTunnelICMPError> {
public:
    enum Case { fdCreationFailed, socketCreationFailed };
    PacketTunnelICMPError(Case which, int errnum) : which(which), errnum(errnum) {}
    std::string description() const override;
    Case which;
    int errnum;
};

/// What the tunnel asks of an ICMP handler.
class PacketTunnelICMPProtocol {
public:
    virtual ~PacketTunnelICMPProtocol() = default;
    /// The handler's type name, which begins its log lines.
    virtual const char* typeName() const = 0;
    /// Opens the socket of the handler's family, replacing any open one. Throws
    /// PacketTunnelICMPError.
    virtual void bind() = 0;
    /// Sends one message (from its ICMP header on) to the destination; the bridge calls it
    /// on the stack's queue, and the arguments are valid only during the call.
    virtual void handle(const ip_addr_t& address, const std::uint8_t* data, std::size_t length) = 0;
};

/// Sends the device's ICMP messages out through an ICMP datagram ("ping") socket, which
/// is only written: nothing comes back into the tunnel. The kernel takes only echo
/// requests on such a socket, so every other message is dropped here, with a verbose line.
///
/// The socket belongs to the stack's queue: opening and invalidating it run there too
/// (synchronously, called from any thread), so no send can use a descriptor that was
/// closed and reused meanwhile.
class AbstractPacketTunnelICMP : public PacketTunnelICMPProtocol {
public:
    /// Closes the socket if one is open.
    ~AbstractPacketTunnelICMP() override;
    AbstractPacketTunnelICMP(const AbstractPacketTunnelICMP&) = delete;
    AbstractPacketTunnelICMP& operator=(const AbstractPacketTunnelICMP&) = delete;

    /// Opens a datagram socket of the domain and protocol in place of the open one. When
    /// the system refuses ICMP sockets to the program's group, one error line says how to
    /// allow them.
    void bind(int domain, int protocol);
    using PacketTunnelICMPProtocol::bind;
    /// Closes the socket; messages are dropped until the next bind.
    void invalidate();
    bool hasSocket() const;

protected:
    explicit AbstractPacketTunnelICMP(std::shared_ptr<DispatchQueue> queue);
    /// Sends the message if it is an echo request of the family (type `echoRequest`, code 0).
    void send(const ip_addr_t& address, const std::uint8_t* data, std::size_t length,
              std::uint8_t echoRequest, const sockaddr* to, socklen_t toLength);

    std::shared_ptr<DispatchQueue> queue_;

private:
    void closeSocket();
    int socket_ = -1; // on the queue
};

} // namespace pemtrox
