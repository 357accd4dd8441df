#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/TunDevice.h"
#include "platform/TunnelNetworkSettings.h"

namespace pemtrox {

/// How tunnel network settings reach this machine. The program's own implementation
/// publishes the proxy settings; tests use a fake that answers as they choose.
class TunnelPlatform {
public:
    virtual ~TunnelPlatform() = default;
    /// Applies the settings, or removes what was applied when given none. The completion
    /// runs exactly once, later, on a thread of the platform's choosing, with the error
    /// or none.
    virtual void apply(const std::optional<TunnelNetworkSettings>& settings,
                       std::function<void(ErrorPtr)> completion) = 0;
    /// The tunnel's device, for a platform that has one (none by default); the caller owns
    /// it from here on. Throws Error when it cannot be made.
    virtual std::optional<TunDevice> openTunnelDevice() { return std::nullopt; }
    /// Removes whatever the tunnel left in place once it has stopped; idempotent.
    virtual void stop() {}
};

/// The platform's side of a packet-tunnel provider: the entry points the host program
/// calls, and the services the provider calls back.
class PacketTunnelProviderBase : public std::enable_shared_from_this<PacketTunnelProviderBase> {
public:
    using Bytes = std::vector<std::uint8_t>;
    /// Start options: a JSON object (keys are texts, values keep their types).
    using Options = nlohmann::json;

    virtual ~PacketTunnelProviderBase() = default;

    /// The completion runs exactly once, with the start's error or none.
    virtual void startTunnel(const std::optional<Options>& options,
                             std::function<void(ErrorPtr)> completion) = 0;
    virtual void stopTunnel(int reason, std::function<void()> completion) = 0;
    /// The completion, when given, runs once before the call returns.
    virtual void handleAppMessage(const Bytes& message,
                                  std::function<void(std::optional<Bytes>)> completion) = 0;
    virtual void sleep(std::function<void()> completion) { completion(); }
    virtual void wake() {}

    /// Applies (or, with none, clears) the tunnel network settings through the platform.
    void setTunnelNetworkSettings(const std::optional<TunnelNetworkSettings>& settings,
                                  std::function<void(ErrorPtr)> completion);
    bool reasserting() const { return reasserting_.load(); }
    void setReasserting(bool value) { reasserting_.store(value); }

    void setTunnelPlatform(std::shared_ptr<TunnelPlatform> platform) { platform_ = std::move(platform); }
    const std::shared_ptr<TunnelPlatform>& tunnelPlatform() const { return platform_; }

private:
    std::shared_ptr<TunnelPlatform> platform_;
    std::atomic<bool> reasserting_{false};
};

/// The program's platform without a tunnel device: publishes the system proxy settings
/// as "proxy.env" in a directory (http_proxy, https_proxy and their upper-case forms) for
/// the user's shell. With no device to carry the tunnel's proxy address, the file names
/// `localAddress` (the loopback address, or the one address the proxy listens on) and the
/// proxy port, unless told that a device carries it.
class ProxyEnvTunnelPlatform : public TunnelPlatform {
public:
    explicit ProxyEnvTunnelPlatform(std::filesystem::path directory, bool namesProxyAddress = false,
                                    std::string localAddress = "127.0.0.1")
        : directory_(std::move(directory)), namesProxyAddress_(namesProxyAddress),
          localAddress_(std::move(localAddress)) {}
    void apply(const std::optional<TunnelNetworkSettings>& settings,
               std::function<void(ErrorPtr)> completion) override;
    void stop() override { removeProxyEnv(); }
    std::filesystem::path proxyEnvPath() const { return directory_ / "proxy.env"; }
    /// Writes the file for the settings, or removes it for none.
    ErrorPtr publish(const std::optional<ProxySettings>& proxy);
    void removeProxyEnv();

private:
    std::filesystem::path directory_;
    bool namesProxyAddress_;
    std::string localAddress_;
};

} // namespace pemtrox
