#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/NetworkNamespace.h"
#include "platform/PacketTunnelProviderBase.h"

namespace pemtrox {

class DispatchQueue;
class Rtnetlink;

/// The tunnel on Linux: a TUN device made in the program's network namespace and moved
/// into a client namespace, where the tunnel network settings are applied. Apps started
/// in that namespace (`ip netns exec NAME …`) send everything into the tunnel, while the
/// program's own sockets stay outside it, so relayed traffic never loops back in.
///
/// Applying the settings: the device goes up with its addresses (added after the move,
/// which would flush them), included routes become routes through the device, excluded
/// routes become throw routes, the DNS servers are written to /etc/netns/NAME/resolv.conf
/// and the proxy to proxy.env (naming the proxy's own address and port). The resolv.conf
/// is truncated and rewritten in place, never replaced: a process started with
/// `ip netns exec` sees the file through a bind mount made at its start, which follows
/// only in-place changes. Clearing the settings takes the addresses and routes away and
/// leaves both files as they are; stop() removes the files and the device.
///
/// The work runs on a queue of its own, over rtnetlink sockets opened in each namespace;
/// completions run on the main queue.
class NetnsTunnelPlatform : public TunnelPlatform, public std::enable_shared_from_this<NetnsTunnelPlatform> {
public:
    /// Opens the client namespace, making it (with its loopback up) when missing. Refuses
    /// the calling thread's own namespace, where the tunnel would capture the program's
    /// own traffic. Throws Error.
    static std::shared_ptr<NetnsTunnelPlatform> make(const std::string& name,
                                                     std::filesystem::path proxyEnvDirectory,
                                                     std::filesystem::path netnsEtc = "/etc/netns");
    ~NetnsTunnelPlatform() override;

    /// Makes the device and moves it into the client namespace (down, without addresses).
    std::optional<TunDevice> openTunnelDevice() override;
    void apply(const std::optional<TunnelNetworkSettings>& settings,
               std::function<void(ErrorPtr)> completion) override;
    void stop() override;

    const std::string& namespaceName() const { return name_; }
    std::filesystem::path resolvConfPath() const { return netnsEtc_ / name_ / "resolv.conf"; }
    std::filesystem::path proxyEnvPath() const { return proxyEnv_.proxyEnvPath(); }

private:
    NetnsTunnelPlatform(std::string name, std::filesystem::path proxyEnvDirectory,
                        std::filesystem::path netnsEtc, NetworkNamespace client);
    void applyNow(const TunnelNetworkSettings& settings); // on the queue; throws Error
    void clear();                                         // on the queue; throws Error
    void writeResolvConf(const std::optional<DNSSettings>& dns);

    std::string name_;
    std::filesystem::path netnsEtc_;
    NetworkNamespace client_;
    ProxyEnvTunnelPlatform proxyEnv_;
    std::shared_ptr<DispatchQueue> queue_;
    // On the queue:
    std::unique_ptr<Rtnetlink> home_, inClient_;
    std::string device_;
    int deviceIndex_ = 0; // in the client namespace
    std::optional<TunnelNetworkSettings> applied_;
};

} // namespace pemtrox
