#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct nlmsghdr;

namespace pemtrox {

/// A route netlink socket of one network namespace (the one of the thread that opened it;
/// the socket stays there whichever thread uses it). Requests wait for the kernel's
/// answer; a refused request throws an Error naming the operation and the errno text.
/// Not shared between threads.
class Rtnetlink {
public:
    /// Opens the socket in the calling thread's namespace, joined to the multicast groups
    /// (RTMGRP_… bits) when given. Throws Error.
    explicit Rtnetlink(std::uint32_t groups = 0);
    ~Rtnetlink();
    Rtnetlink(const Rtnetlink&) = delete;
    Rtnetlink& operator=(const Rtnetlink&) = delete;
    int fd() const { return fd_; }

    /// The index of the named link, or 0 when there is none.
    int linkIndex(const std::string& name);
    void setLinkUp(int index, bool up);
    /// Moves the link into the namespace open at the descriptor.
    void moveLink(int index, int namespaceFd);
    void deleteLink(int index);
    /// An address with its prefix length; IPv6 addresses skip duplicate detection. A
    /// missing address is no error when deleting.
    void addAddress(int index, const std::string& address, int prefixLength);
    void deleteAddress(int index, const std::string& address, int prefixLength);
    /// A route in the main table: through the link, or with index 0 a throw route (the
    /// lookup goes on past the table, so the destination is unreachable through it). A
    /// missing route is no error when deleting.
    void addRoute(const std::string& destination, int prefixLength, int index);
    void deleteRoute(const std::string& destination, int prefixLength, int index);

    struct Route {
        int family = 0;
        int index = 0;       // the outgoing link; 0 for none
        std::string gateway; // numeric text; empty when on-link
        std::uint32_t priority = 0;
        bool operator==(const Route&) const = default;
    };
    /// The unicast default routes of the main table, IPv4 then IPv6.
    std::vector<Route> defaultRoutes();
    /// Whether the link's flags include IFF_POINTOPOINT.
    bool isPointToPoint(int index);

    /// Parses the messages of one datagram read from a group socket.
    static void forEachMessage(const void* buffer, std::size_t length,
                               const std::function<void(const nlmsghdr&)>& visit);
    /// The link a link, address or route message concerns; 0 when it names none.
    static int messageLinkIndex(const nlmsghdr& message);

private:
    /// Sends the request and reads answers until its acknowledgement or, for a dump, its
    /// end; each answer of a dump is visited. Returns the kernel's errno (0: success).
    int transact(std::vector<std::uint8_t>& request, const std::function<void(const nlmsghdr&)>& visit = {});
    void check(int error, const std::string& what);

    int fd_ = -1;
    std::uint32_t sequence_ = 0;
};

} // namespace pemtrox
