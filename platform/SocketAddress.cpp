#include "platform/SocketAddress.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstring>

namespace pemtrox {

int SocketAddress::familyOf(const Bytes& bytes) {
    sa_family_t family = 0;
    if (bytes.size() >= sizeof(sockaddr))
        std::memcpy(&family, bytes.data() + offsetof(sockaddr, sa_family), sizeof family);
    return family;
}

std::optional<SocketAddress> SocketAddress::parse(const Bytes& bytes) {
    SocketAddress parts;
    parts.family = familyOf(bytes);
    if (parts.family == AF_INET && bytes.size() >= sizeof(sockaddr_in)) {
        sockaddr_in sin;
        std::memcpy(&sin, bytes.data(), sizeof sin);
        std::memcpy(parts.address.data(), &sin.sin_addr, sizeof sin.sin_addr);
        parts.port = ntohs(sin.sin_port);
        return parts;
    }
    if (parts.family == AF_INET6 && bytes.size() >= sizeof(sockaddr_in6)) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, bytes.data(), sizeof sin6);
        std::memcpy(parts.address.data(), &sin6.sin6_addr, sizeof sin6.sin6_addr);
        parts.port = ntohs(sin6.sin6_port);
        parts.scopeId = sin6.sin6_scope_id;
        return parts;
    }
    return std::nullopt;
}

SocketAddress SocketAddress::unmapped() const {
    static constexpr std::uint8_t mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (family != AF_INET6 || std::memcmp(address.data(), mappedPrefix, sizeof mappedPrefix) != 0)
        return *this;
    SocketAddress v4;
    v4.family = AF_INET;
    std::memcpy(v4.address.data(), address.data() + 12, 4);
    v4.port = port;
    return v4;
}

} // namespace pemtrox
