#include "Resolver.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/Log.h"

namespace pemtrox {

namespace {

std::optional<sockaddr_storage> parseServer(const std::string& text) {
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(53);
        return storage;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    auto percent = text.find('%');
    if (inet_pton(AF_INET6, text.substr(0, percent).c_str(), &v6->sin6_addr) != 1)
        return std::nullopt;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(53);
    if (percent != std::string::npos) {
        std::string scope = text.substr(percent + 1);
        if (!scope.empty() && scope.find_first_not_of("0123456789") == std::string::npos)
            v6->sin6_scope_id =
                scope.size() <= 9 ? static_cast<std::uint32_t>(std::strtoul(scope.c_str(), nullptr, 10)) : 0;
        else
            v6->sin6_scope_id = if_nametoindex(scope.c_str());
        if (v6->sin6_scope_id == 0)
            return std::nullopt;
    }
    return storage;
}

bool isLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

bool isLinkLocal(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 &&
           IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
}

} // namespace

Resolver::Resolver(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::string line;
    while (servers_.size() < maxServers && std::getline(file, line)) {
        std::istringstream words(line);
        std::string keyword, address;
        // Comment lines start with '#' or ';', which no keyword matches.
        if (words >> keyword >> address && keyword == "nameserver")
            if (auto server = parseServer(address))
                servers_.push_back(*server);
    }
}

std::string Resolver::getServerAddress(const sockaddr_storage& address) {
    char host[NI_MAXHOST] = {};
    socklen_t length = address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                NI_NUMERICHOST);
    return host;
}

std::vector<std::string> Resolver::systemDnsServers(const std::filesystem::path& path) {
    std::vector<std::string> texts;
    Resolver resolver(path);
    for (const auto& server : resolver.getDnsServers())
        texts.push_back(getServerAddress(server));
    return texts;
}

} // namespace pemtrox

namespace pemtrox {

std::vector<std::string> Resolver::tunnelDnsServers(const std::filesystem::path& path,
                                                    const std::filesystem::path& upstream) {
    std::vector<std::string> texts;
    auto add = [&](const std::string& text) {
        if (std::find(texts.begin(), texts.end(), text) == texts.end())
            texts.push_back(text);
    };
    Resolver system(path), behindStub(upstream);
    for (const auto& server : system.getDnsServers()) {
        auto text = getServerAddress(server);
        if (isLinkLocal(server)) {
            LOG_WARNING("DNS server {} is link-local, which the tunnel's namespace cannot reach: skipped",
                        text);
        } else if (!isLoopback(server)) {
            add(text);
        } else {
            std::vector<std::string> behind;
            for (const auto& next : behindStub.getDnsServers())
                if (!isLoopback(next) && !isLinkLocal(next))
                    behind.push_back(getServerAddress(next));
            if (behind.empty())
                LOG_WARNING("DNS server {} is a local stub, which the tunnel's namespace cannot reach, and "
                            "{} names no server behind it: skipped",
                            text, upstream.string());
            for (const auto& next : behind)
                add(next);
        }
    }
    return texts;
}

} // namespace pemtrox
