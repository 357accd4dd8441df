#include "proxy/tools/ToolsProxyServerListenerMultiplexer.h"

#include "proxy/tools/BlockListToolProxyServerListener.h"
#include "proxy/tools/DNSSpoofingToolProxyServerListener.h"

namespace pemtrox {

std::shared_ptr<ToolsProxyServerListenerMultiplexer>
ToolsProxyServerListenerMultiplexer::make(ToolSettings settings) {
    return std::make_shared<ToolsProxyServerListenerMultiplexer>(std::move(settings));
}

void ToolsProxyServerListenerMultiplexer::updateListeners() {
    std::vector<ListenerList::Listener> tools;
    if (settings.blockList.enabled)
        tools.push_back(BlockListToolProxyServerListener::make(settings.blockList));
    if (settings.dnsSpoofing.enabled)
        tools.push_back(DNSSpoofingToolProxyServerListener::make(settings.dnsSpoofing));
    listeners.assign(std::move(tools));
}

} // namespace pemtrox
