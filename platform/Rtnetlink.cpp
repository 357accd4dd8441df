#include "platform/Rtnetlink.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Error.h"

namespace pemtrox {

namespace {

using Buffer = std::vector<std::uint8_t>;

/// A request under construction: the netlink header, the family's own header, attributes.
template <class Header> Buffer request(std::uint16_t type, std::uint16_t flags, const Header& header) {
    Buffer out(NLMSG_SPACE(sizeof(Header)));
    auto* message = reinterpret_cast<nlmsghdr*>(out.data());
    message->nlmsg_type = type;
    message->nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
    std::memcpy(NLMSG_DATA(message), &header, sizeof header);
    return out;
}

void attribute(Buffer& out, std::uint16_t type, const void* data, std::size_t length) {
    std::size_t at = out.size();
    out.resize(at + RTA_SPACE(length));
    auto* rta = reinterpret_cast<rtattr*>(out.data() + at);
    rta->rta_type = type;
    rta->rta_len = static_cast<std::uint16_t>(RTA_LENGTH(length));
    std::memcpy(RTA_DATA(rta), data, length);
}
template <class T> void attribute(Buffer& out, std::uint16_t type, const T& value) {
    attribute(out, type, &value, sizeof value);
}

struct Address {
    int family = 0;
    std::uint8_t bytes[16] = {};
    std::size_t size() const { return family == AF_INET ? 4 : 16; }
};

Address parse(const std::string& text) {
    Address out;
    if (inet_pton(AF_INET, text.c_str(), out.bytes) == 1)
        out.family = AF_INET;
    else if (inet_pton(AF_INET6, text.c_str(), out.bytes) == 1)
        out.family = AF_INET6;
    else
        GenericError("Not a numeric address: \"" + text + "\"").raise();
    return out;
}

Buffer addressRequest(std::uint16_t type, std::uint16_t flags, int index, const std::string& text,
                      int prefix) {
    auto address = parse(text);
    ifaddrmsg header{};
    header.ifa_family = static_cast<std::uint8_t>(address.family);
    header.ifa_prefixlen = static_cast<std::uint8_t>(prefix);
    header.ifa_index = static_cast<std::uint32_t>(index);
    auto out = request(type, flags, header);
    attribute(out, IFA_LOCAL, address.bytes, address.size());
    attribute(out, IFA_ADDRESS, address.bytes, address.size());
    if (address.family == AF_INET6)
        attribute(out, IFA_FLAGS, std::uint32_t{IFA_F_NODAD});
    return out;
}

Buffer routeRequest(std::uint16_t type, std::uint16_t flags, const std::string& text, int prefix, int index) {
    auto address = parse(text);
    rtmsg header{};
    header.rtm_family = static_cast<std::uint8_t>(address.family);
    header.rtm_dst_len = static_cast<std::uint8_t>(prefix);
    header.rtm_table = RT_TABLE_MAIN;
    header.rtm_protocol = RTPROT_STATIC;
    header.rtm_scope = index ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
    header.rtm_type = index ? RTN_UNICAST : RTN_THROW;
    auto out = request(type, flags, header);
    attribute(out, RTA_DST, address.bytes, address.size());
    if (index)
        attribute(out, RTA_OIF, static_cast<std::uint32_t>(index));
    return out;
}

std::string label(int index, const std::string& what) {
    return what + " (link " + std::to_string(index) + ")";
}

} // namespace

Rtnetlink::Rtnetlink(std::uint32_t groups) {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0)
        systemError("socket(NETLINK_ROUTE)", errno)->raise();
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    int one = 1;
    ::setsockopt(fd_, SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof one);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        int error = errno;
        ::close(fd_);
        systemError("bind(NETLINK_ROUTE)", error)->raise();
    }
}

Rtnetlink::~Rtnetlink() {
    ::close(fd_);
}

void Rtnetlink::forEachMessage(const void* buffer, std::size_t length,
                               const std::function<void(const nlmsghdr&)>& visit) {
    auto* message = static_cast<const nlmsghdr*>(buffer);
    auto left = static_cast<unsigned>(length);
    for (; NLMSG_OK(message, left); message = NLMSG_NEXT(message, left))
        visit(*message);
}

int Rtnetlink::messageLinkIndex(const nlmsghdr& message) {
    switch (message.nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK:
        return static_cast<const ifinfomsg*>(NLMSG_DATA(&message))->ifi_index;
    case RTM_NEWADDR:
    case RTM_DELADDR:
        return static_cast<int>(static_cast<const ifaddrmsg*>(NLMSG_DATA(&message))->ifa_index);
    case RTM_NEWROUTE:
    case RTM_DELROUTE: {
        auto* header = static_cast<const rtmsg*>(NLMSG_DATA(&message));
        int length = RTM_PAYLOAD(&message);
        for (auto* rta = RTM_RTA(header); RTA_OK(rta, length); rta = RTA_NEXT(rta, length))
            if (rta->rta_type == RTA_OIF)
                return static_cast<int>(*static_cast<const std::uint32_t*>(RTA_DATA(rta)));
        return 0;
    }
    default:
        return 0;
    }
}

int Rtnetlink::transact(Buffer& out, const std::function<void(const nlmsghdr&)>& visit) {
    auto* header = reinterpret_cast<nlmsghdr*>(out.data());
    header->nlmsg_len = static_cast<std::uint32_t>(out.size());
    header->nlmsg_seq = ++sequence_;
    // A dump ends with NLMSG_DONE; anything else is answered with an acknowledgement.
    // (NLM_F_DUMP shares its bits with NLM_F_REPLACE | NLM_F_EXCL, so the type tells.)
    bool dump = (header->nlmsg_type == RTM_GETROUTE || header->nlmsg_type == RTM_GETLINK) &&
                (header->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    if (!dump)
        header->nlmsg_flags |= NLM_F_ACK;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
        return errno;
    Buffer in(1 << 16);
    for (;;) {
        ssize_t n = ::recv(fd_, in.data(), in.size(), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        int result = -1;
        forEachMessage(in.data(), static_cast<std::size_t>(n), [&](const nlmsghdr& message) {
            if (message.nlmsg_seq != sequence_ || result >= 0)
                return;
            if (message.nlmsg_type == NLMSG_ERROR)
                result = -static_cast<const nlmsgerr*>(NLMSG_DATA(&message))->error;
            else if (message.nlmsg_type == NLMSG_DONE)
                result = 0;
            else if (visit)
                visit(message);
        });
        if (result >= 0)
            return result;
    }
}

void Rtnetlink::check(int error, const std::string& what) {
    if (error)
        systemError(what, error)->raise();
}

int Rtnetlink::linkIndex(const std::string& name) {
    ifinfomsg header{};
    auto out = request(RTM_GETLINK, 0, header);
    attribute(out, IFLA_IFNAME, name.c_str(), name.size() + 1);
    int index = 0;
    int error = transact(out, [&](const nlmsghdr& message) {
        if (message.nlmsg_type == RTM_NEWLINK)
            index = static_cast<const ifinfomsg*>(NLMSG_DATA(&message))->ifi_index;
    });
    if (error == ENODEV)
        return 0;
    check(error, "link " + name);
    return index;
}

void Rtnetlink::setLinkUp(int index, bool up) {
    ifinfomsg header{};
    header.ifi_index = index;
    header.ifi_change = IFF_UP;
    header.ifi_flags = up ? IFF_UP : 0;
    auto out = request(RTM_NEWLINK, 0, header);
    int error = transact(out);
    if (up || error != ENODEV)
        check(error, label(index, up ? "set link up" : "set link down"));
}

void Rtnetlink::moveLink(int index, int namespaceFd) {
    ifinfomsg header{};
    header.ifi_index = index;
    auto out = request(RTM_NEWLINK, 0, header);
    attribute(out, IFLA_NET_NS_FD, static_cast<std::uint32_t>(namespaceFd));
    check(transact(out), label(index, "move link"));
}

void Rtnetlink::deleteLink(int index) {
    ifinfomsg header{};
    header.ifi_index = index;
    auto out = request(RTM_DELLINK, 0, header);
    int error = transact(out);
    if (error != ENODEV)
        check(error, "delete link");
}

void Rtnetlink::addAddress(int index, const std::string& address, int prefixLength) {
    auto out = addressRequest(RTM_NEWADDR, NLM_F_CREATE | NLM_F_REPLACE, index, address, prefixLength);
    check(transact(out), label(index, "add address " + address + "/" + std::to_string(prefixLength)));
}

void Rtnetlink::deleteAddress(int index, const std::string& address, int prefixLength) {
    auto out = addressRequest(RTM_DELADDR, 0, index, address, prefixLength);
    int error = transact(out);
    if (error != EADDRNOTAVAIL && error != ENODEV)
        check(error, label(index, "delete address " + address));
}

void Rtnetlink::addRoute(const std::string& destination, int prefixLength, int index) {
    auto out = routeRequest(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE, destination, prefixLength, index);
    check(transact(out), label(index, "add route " + destination + "/" + std::to_string(prefixLength)));
}

void Rtnetlink::deleteRoute(const std::string& destination, int prefixLength, int index) {
    auto out = routeRequest(RTM_DELROUTE, 0, destination, prefixLength, index);
    int error = transact(out);
    if (error != ESRCH && error != ENODEV)
        check(error, "delete route " + destination + "/" + std::to_string(prefixLength));
}

std::vector<Rtnetlink::Route> Rtnetlink::defaultRoutes() {
    std::vector<Route> routes;
    for (int family : {AF_INET, AF_INET6}) {
        rtmsg header{};
        header.rtm_family = static_cast<std::uint8_t>(family);
        auto out = request(RTM_GETROUTE, NLM_F_DUMP, header);
        check(
            transact(out,
                     [&](const nlmsghdr& message) {
                         auto* route = static_cast<const rtmsg*>(NLMSG_DATA(&message));
                         if (message.nlmsg_type != RTM_NEWROUTE || route->rtm_dst_len != 0 ||
                             route->rtm_type != RTN_UNICAST || route->rtm_table != RT_TABLE_MAIN)
                             return;
                         Route found;
                         found.family = route->rtm_family;
                         int length = RTM_PAYLOAD(&message);
                         for (auto* rta = RTM_RTA(route); RTA_OK(rta, length); rta = RTA_NEXT(rta, length)) {
                             if (rta->rta_type == RTA_OIF)
                                 found.index = static_cast<int>(*static_cast<std::uint32_t*>(RTA_DATA(rta)));
                             else if (rta->rta_type == RTA_PRIORITY)
                                 found.priority = *static_cast<std::uint32_t*>(RTA_DATA(rta));
                             else if (rta->rta_type == RTA_GATEWAY) {
                                 char text[INET6_ADDRSTRLEN] = {};
                                 inet_ntop(found.family, RTA_DATA(rta), text, sizeof text);
                                 found.gateway = text;
                             }
                         }
                         routes.push_back(found);
                     }),
            "list routes");
    }
    return routes;
}

bool Rtnetlink::isPointToPoint(int index) {
    ifinfomsg header{};
    header.ifi_index = index;
    auto out = request(RTM_GETLINK, 0, header);
    unsigned flags = 0;
    int error = transact(out, [&](const nlmsghdr& message) {
        if (message.nlmsg_type == RTM_NEWLINK)
            flags = static_cast<const ifinfomsg*>(NLMSG_DATA(&message))->ifi_flags;
    });
    return error == 0 && (flags & IFF_POINTOPOINT);
}

} // namespace pemtrox
