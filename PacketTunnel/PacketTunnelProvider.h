#pragma once

#include <memory>
#include <optional>
#include <string>

#include "PacketTunnel/PacketTunnelMode.h"
#include "PacketTunnel/TunnelMode.h"
#include "platform/PacketTunnelProviderBase.h"
#include "platform/Reachability.h"
#include "proxy/engine/Settings.h"

namespace pemtrox {

class FileLogger;
class NetworkChangeProcedure;
class PacketFlow;
class RecordingListener;
class ToolsProxyServerListenerMultiplexer;
class UserDefaults;

/// The tunnel extension's principal object: the host program makes one and calls its
/// entry points. It coordinates the long-lived objects of the tunnel: the running mode
/// (which owns its servers), the recording listener, the tools multiplexer, the settings,
/// the network-change procedure and the file logger.
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

    /// The proxy port: 8888 until a start option "Port" replaces it.
    int proxyPort() const { return proxyPort_; }
    /// Proxy mode: the address the manager listens on, set by the host before the start;
    /// none means every interface.
    void setProxyInterface(std::optional<std::string> address) { proxyInterface_ = std::move(address); }
    const std::optional<std::string>& proxyInterface() const { return proxyInterface_; }
    /// The mode of the last start; none before any.
    const std::optional<PacketTunnelMode>& mode() const { return mode_; }
    /// The running mode with its servers; none before the start, after the stop and after a
    /// start that failed.
    TunnelMode* tunnelMode() const { return tunnelMode_.get(); }
    const std::shared_ptr<RecordingListener>& recordingListener() const { return recordingListener_; }
    const std::shared_ptr<FileLogger>& fileLogger() const { return fileLogger_; }
    /// The tunnel device's packets, for LWIP mode: the host may set its own before the start;
    /// else one over the platform's device is made at the start and closed at the stop.
    void setPacketFlow(std::shared_ptr<PacketFlow> flow) { packetFlow_ = std::move(flow); }
    /// The tunnel network settings applied at the start; the network-change procedure renews
    /// their DNS servers.
    std::optional<TunnelNetworkSettings> networkTunnelSettings;

    void startTunnel(const std::optional<Options>& options,
                     std::function<void(ErrorPtr)> completion) override;
    void stopTunnel(int reason, std::function<void()> completion) override;
    void handleAppMessage(const Bytes& message,
                          std::function<void(std::optional<Bytes>)> completion) override;

    virtual void setupLogging();
    virtual void startRecording();
    virtual void stopRecording();
    virtual void settingsChanged();
    virtual void updateTools();

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

    /// The mode's sockets bound to the network (LWIP mode's ICMP sockets): closed when a
    /// network change begins, opened again when it ends.
    virtual void invalidateICMPSockets();
    virtual void rebindICMPSockets();

private:
    /// The two ways of starting: each logs its own failures; LWIP mode returns the error
    /// that ends the start (no tunnel device, or the stack already used).
    void startProxy();
    ErrorPtr startLWIP();
    /// Stops the running mode; a mode that cannot stop is kept.
    void stopMode();
    TunnelMode::Configuration modeConfiguration();
    /// The packet flow over the platform's device, when it has one.
    ErrorPtr openTunnelDevice();
    /// Lets go of what the platform holds for the tunnel: the device and what was applied.
    void releaseTunnel();
    /// The procedure of this start (made at first use before any start).
    NetworkChangeProcedure& networkChange();
    std::shared_ptr<NetworkChangeProcedure> makeNetworkChange();

    int proxyPort_ = 8888;
    std::optional<std::string> proxyInterface_;
    std::optional<PacketTunnelMode> mode_;
    std::unique_ptr<TunnelMode> tunnelMode_;
    std::shared_ptr<RecordingListener> recordingListener_;
    std::shared_ptr<ToolsProxyServerListenerMultiplexer> toolsMultiplexer_;
    /// Loaded at construction and at each "SettingsChanged"; the mode, the recording listener
    /// and the tools subscribe.
    SettingsPublisher settings_;
    std::shared_ptr<void> recordingSubscription_;
    std::shared_ptr<void> toolsSubscription_;
    std::shared_ptr<FileLogger> fileLogger_;
    std::shared_ptr<PacketFlow> packetFlow_;
    std::shared_ptr<Reachability> reachability_;
    std::shared_ptr<void> reachabilityObserver_; // held while the observer is registered
    bool ownsPacketFlow_ = false;                // made over the platform's device, closed at the stop
    int tunnelDeviceIndex_ = 0;                  // in the program's namespace, where the device was made
    std::shared_ptr<NetworkChangeProcedure> networkChange_;
};

} // namespace pemtrox
