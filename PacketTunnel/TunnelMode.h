#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "proxy/engine/SettingsPublisher.h"

namespace pemtrox {

class ProxyServer;
class ProxyServerListener;

/// One way of running the tunnel, as the provider sees it: the mode owns its servers, puts
/// the provider's listeners on the servers they serve, and hands each server its part of
/// new settings. The provider chooses the mode once, at the start; everything after that
/// goes through this interface.
///
/// The provider calls every operation on its main queue. The servers run on their own
/// queues; what reaches them is swapped there as whole values.
class TunnelMode {
public:
    /// What either mode is started with.
    struct Configuration {
        std::string tunnelAddress;
        int proxyPort = 8888;
        /// Proxy mode: the address to listen on; none means every interface.
        std::optional<std::string> proxyInterface;
        /// Where the interception CA is kept (the app group container); empty: the default.
        std::filesystem::path caDirectory;
        /// The mode starts with the current snapshot and subscribes to the later ones; the
        /// publisher outlives the mode.
        SettingsPublisher* settings = nullptr;
    };

    virtual ~TunnelMode() = default;

    /// Whether an HTTP proxy server runs whose exchanges can be recorded.
    virtual bool hasProxyServer() const = 0;
    /// The recording listener joins the servers whose exchanges it records; given none, the
    /// one there leaves them.
    virtual void setRecordingListener(std::shared_ptr<ProxyServerListener> listener) = 0;
    /// The tools multiplexer joins the servers the tools act on (none in Proxy mode).
    virtual void setToolsListener(std::shared_ptr<ProxyServerListener> listener) = 0;
    /// New settings (a mode is subscribed to them from its start): each server takes its own
    /// section, whole.
    virtual void applySettings(const SettingsPublisher::Snapshot& settings) = 0;
    /// The tunnel's network settings are in place: traffic may flow.
    virtual void tunnelSettingsApplied() {}
    /// A network change begins and ends: sockets bound to the old network are closed for the
    /// time between and opened again.
    virtual void networkChangeBegins() {}
    virtual void networkChangeEnded() {}
    /// Stops serving; connections still open run on. False when the mode could not stop (it
    /// logs why): it then stays as it is.
    virtual bool stop() = 0;
    /// Why the mode's proxy is not serving after the start, when it is not.
    virtual ErrorPtr notServing() const { return nullptr; }

protected:
    /// On one server: the listener that was there leaves, and its replacement, if any, joins.
    static void replaceListener(ProxyServer& server, const std::shared_ptr<ProxyServerListener>& old,
                                const std::shared_ptr<ProxyServerListener>& replacement);
};

} // namespace pemtrox
