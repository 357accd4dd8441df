#include "Resolver.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

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
