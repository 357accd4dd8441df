#pragma once

#include <memory>

namespace pemtrox {

class ProxyServerListener;

/// A proxy server as the outside sees it: its transparency and its listener set.
class ProxyServer {
public:
    virtual ~ProxyServer() = default;
    /// Connections arrive without a proxy request line naming the destination.
    virtual bool transparent() const = 0;
    virtual bool supportsTransparent() const = 0;
    /// Adds a listener; one already present stays once. Safe from any thread.
    virtual void addProxyListener(const std::shared_ptr<ProxyServerListener>& listener) = 0;
    /// Removes a listener; an absent one is ignored. Safe from any thread.
    virtual void removeProxyListener(const std::shared_ptr<ProxyServerListener>& listener) = 0;
};

} // namespace pemtrox
