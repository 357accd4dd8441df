#pragma once

#include <memory>
#include <optional>
#include <string>

#include "PacketTunnel/PacketTunnelMode.h"
#include "platform/PacketTunnelProviderBase.h"
#include "platform/Reachability.h"
#include "proxy/engine/Settings.h"

namespace pemtrox {

class FileLogger;
class ProxyServer;
class LWIPMode;
class NetworkChangeProcedure;
class PacketFlow;
class ProxyManager;
class RecordingListener;
class ToolsProxyServerListenerMultiplexer;
class UserDefaults;

/// The tunnel extension's principal object: the host program makes one and calls its
/// entry points. It owns every long-lived object of the tunnel: the mode's servers, the
/// recording listener, the tools multiplexer, the settings and the file logger.
///
/// Every entry point, and every completion it receives from the platform, runs on the
/// main queue (the host program delivers them there), so the provider's own fields
/// belong to that queue. The servers run on their own queues; what is pushed into them
/// is swapped there as whole values.
class PacketTunnelProvider : public PacketTunnelProviderBase {
public:
    /// Sets up the log file in the container, then reads the settings.
    static std::shared_ptr<PacketTunnelProvider> make();
    ~PacketTunnelProvider() override;

    const std::string tunnelAddress = "198.18.72.254";
    const std::string tunnelAddress6 = "fd92:1d98:ae72:f4ca:1234:1234:1234:1234";
    const int tunnelAddress6PrefixLength = 64;
    const std::string proxyAddress = "198.18.72.253";
    int proxyPort = 8888;
    /// Proxy mode: the address the manager listens on, set by the host before the start;
    /// none means every interface.
    std::optional<std::string> proxyInterface;

    std::shared_ptr<ProxyManager> proxyManager;
    std::shared_ptr<RecordingListener> recordingListener;
    std::shared_ptr<ToolsProxyServerListenerMultiplexer> toolsMultiplexer;
    Settings settings;
    std::optional<TunnelNetworkSettings> networkTunnelSettings;
    std::optional<PacketTunnelMode> mode;
    std::shared_ptr<FileLogger> fileLogger;
    /// The tunnel device's packets, for LWIP mode: the one the host set, else one over the
    /// platform's device, made at the start and closed at the stop.
    std::shared_ptr<PacketFlow> packetFlow;
    /// LWIP mode's stack, queue, timer and servers while the mode runs.
    std::unique_ptr<LWIPMode> lwip;
    std::shared_ptr<Reachability> reachability;
    /// Held while the network-change observer is registered.
    std::shared_ptr<void> reachabilityObserver;

    void startTunnel(const std::optional<Options>& options,
                     std::function<void(ErrorPtr)> completion) override;
    void stopTunnel(int reason, std::function<void()> completion) override;
    void handleAppMessage(const Bytes& message,
                          std::function<void(std::optional<Bytes>)> completion) override;

    virtual void setupLogging();
    virtual void startProxy();
    virtual void stopProxy();
    /// Starts LWIP mode; returns the error that ends the start, if any.
    virtual ErrorPtr startLWIP();
    virtual void stopLWIP();
    virtual void startRecording();
    virtual void stopRecording();
    virtual void settingsChanged();
    virtual void updateTools();
    /// The HTTP proxy servers running: the manager's in Proxy mode, the stack's in LWIP mode.
    std::vector<std::shared_ptr<ProxyServer>> httpServers() const;

    /// The system's DNS servers as numeric address texts (as the tunnel's clients can
    /// use them).
    virtual std::vector<std::string> systemDnsServers();
    /// The tunnel network settings for the mode, with the system's DNS servers.
    TunnelNetworkSettings makeTunnelNetworkSettings(PacketTunnelMode mode);

    /// The network-change observer: hands the change to the network-change procedure, which
    /// renews networkTunnelSettings with the DNS servers of the new network.
    void networkChanged(ReachabilityFlags flags);
    /// Applies networkTunnelSettings again; the completion, when given, gets the error.
    void updateNetworkTunnelSettings(std::function<void(ErrorPtr)> completion);

protected:
    PacketTunnelProvider();
    /// The settings store; the container's settings.json.
    virtual UserDefaults userDefaults();
    /// The network monitor of the start (made in the calling thread's namespace).
    virtual std::shared_ptr<Reachability> makeReachability();

    /// LWIP mode's ICMP sockets: closed when a network change begins, opened again when it
    /// ends.
    virtual void invalidateICMPSockets();
    virtual void rebindICMPSockets();

private:
    /// The packet flow over the platform's device, when it has one.
    ErrorPtr openTunnelDevice();
    /// Lets go of what the platform holds for the tunnel: the device and what was applied.
    void releaseTunnel();
    /// The procedure of this start (made at first use before any start).
    NetworkChangeProcedure& networkChange();
    std::shared_ptr<NetworkChangeProcedure> makeNetworkChange();

    bool ownsPacketFlow_ = false; // made over the platform's device, closed at the stop
    int tunnelDeviceIndex_ = 0;   // in the program's namespace, where the device was made
    std::shared_ptr<NetworkChangeProcedure> networkChange_;
};

} // namespace pemtrox
