#pragma once

#include <memory>

#include "Model/Tools/BlockListToolSettings.h"
#include "proxy/engine/ProxyServerAdapter.h"

namespace pemtrox {

/// Refuses, at the URL step, every exchange that a location of the include list matches,
/// by throwing the BlockListToolError of the configured action. Its settings never change,
/// so one listener serves any number of servers and queues at once.
class BlockListToolProxyServerListener : public ProxyServerAdapter {
public:
    static std::shared_ptr<BlockListToolProxyServerListener> make(BlockListToolSettings settings);
    /// Use make().
    explicit BlockListToolProxyServerListener(BlockListToolSettings settings)
        : settings_(std::move(settings)) {}

    const BlockListToolSettings& settings() const { return settings_; }

    /// Throws BlockListToolError on a match; `enabled` is not consulted.
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) override;

private:
    const BlockListToolSettings settings_;
};

} // namespace pemtrox
