#include "platform/PacketTunnelProviderBase.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/DispatchQueue.h"

namespace pemtrox {

void PacketTunnelProviderBase::setTunnelNetworkSettings(const std::optional<TunnelNetworkSettings>& settings,
                                                        std::function<void(ErrorPtr)> completion) {
    if (!platform_) {
        DispatchQueue::main()->async([completion = std::move(completion)] {
            completion(makeError<GenericError>("No tunnel platform to apply the network settings"));
        });
        return;
    }
    platform_->apply(settings, std::move(completion));
}

namespace {

/// Writes the text to a new file beside the path and renames it over the path, so that a
/// reader never sees half a file.
ErrorPtr writeAtomically(const std::filesystem::path& path, const std::string& text) {
    std::string pattern = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return systemError("mkstemp(" + pattern + ")", errno);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int saved = errno;
            ::close(fd);
            ::unlink(pattern.c_str());
            return systemError("write(" + pattern + ")", saved);
        }
        done += static_cast<std::size_t>(n);
    }
    ::fchmod(fd, 0644);
    if (::close(fd) != 0 || ::rename(pattern.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(pattern.c_str());
        return systemError("rename(" + path.string() + ")", saved);
    }
    return nullptr;
}

std::string proxyEnvText(const ProxySettings& proxy, bool namesProxyAddress,
                         const std::string& localAddress) {
    std::string text =
        "# Written by pemtrox while it runs: source it to send a shell's traffic through the proxy.\n";
    auto line = [&](const char* name, const std::optional<ProxyServerAddress>& server) {
        // Without a tunnel device to carry the proxy's own address, a local address reaches
        // the listening port instead.
        std::string host = namesProxyAddress ? server->address : localAddress;
        if (host.find(':') != std::string::npos)
            host = "[" + host + "]";
        std::string url = "http://" + host + ":" + std::to_string(server->port) + "/";
        text += std::string(name) + "=" + url + "\n";
        std::string upper(name);
        for (auto& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        text += upper + "=" + url + "\n";
    };
    if (proxy.httpEnabled && proxy.httpServer)
        line("http_proxy", proxy.httpServer);
    if (proxy.httpsEnabled && proxy.httpsServer)
        line("https_proxy", proxy.httpsServer);
    text += "export http_proxy https_proxy HTTP_PROXY HTTPS_PROXY\n";
    return text;
}

} // namespace

void ProxyEnvTunnelPlatform::apply(const std::optional<TunnelNetworkSettings>& settings,
                                   std::function<void(ErrorPtr)> completion) {
    auto error = publish(settings ? settings->proxySettings : std::nullopt);
    DispatchQueue::main()->async([completion = std::move(completion), error] { completion(error); });
}

ErrorPtr ProxyEnvTunnelPlatform::publish(const std::optional<ProxySettings>& proxy) {
    if (proxy)
        return writeAtomically(proxyEnvPath(), proxyEnvText(*proxy, namesProxyAddress_, localAddress_));
    removeProxyEnv();
    return nullptr;
}

void ProxyEnvTunnelPlatform::removeProxyEnv() {
    std::error_code ignored;
    std::filesystem::remove(proxyEnvPath(), ignored);
}

} // namespace pemtrox
