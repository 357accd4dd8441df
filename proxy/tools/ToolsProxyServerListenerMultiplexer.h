#pragma once

#include <memory>

#include "proxy/engine/ProxyServerListenerMultiplexer.h"
#include "proxy/engine/ToolSettings.h"

namespace pemtrox {

/// The enabled tools as one listener: the block list first, then DNS spoofing, each step
/// passed on in that order (a request step stops at the first tool that throws).
///
/// `settings` and updateListeners() belong to the thread that delivers settings changes,
/// not to the servers' queues: the rebuilt list is swapped in whole under the list's lock,
/// and a walk already under way finishes on the list it started with.
class ToolsProxyServerListenerMultiplexer : public ProxyServerListenerMultiplexer {
public:
    static std::shared_ptr<ToolsProxyServerListenerMultiplexer> make(ToolSettings settings);
    /// Use make(). The list stays empty until updateListeners().
    explicit ToolsProxyServerListenerMultiplexer(ToolSettings settings) : settings(std::move(settings)) {}

    /// The tool settings last given; the running tools change only at updateListeners().
    ToolSettings settings;

    /// Rebuilds the list from `settings` with new tool objects, each holding a copy of its
    /// tool's settings.
    void updateListeners();
};

} // namespace pemtrox
