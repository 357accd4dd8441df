#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "proxy/engine/RemoteConnectionState.h"
#include "proxy/io/ISO8601.h"

namespace pemtrox {

class InetAddress;
class ProxyEvent;

/// A remote connection that can open its socket again, e.g. when the server closed a
/// kept-alive connection between two requests.
class ConnectableRemoteConnection {
public:
    virtual ~ConnectableRemoteConnection() = default;
    /// The address connected to.
    virtual std::shared_ptr<const InetAddress> remoteAddress() const = 0;
    virtual std::optional<std::int64_t> remotePort() const = 0;
    virtual std::optional<Date> connectStartTime() const = 0;
    /// Closes the current socket and connects again.
    virtual void reconnect(const std::shared_ptr<ProxyEvent>& evt, RemoteConnectionCallback completion) = 0;
};

} // namespace pemtrox
