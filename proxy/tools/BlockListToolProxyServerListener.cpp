#include "proxy/tools/BlockListToolProxyServerListener.h"

#include "proxy/engine/ProxyEvent.h"
#include "proxy/tools/BlockListToolError.h"

namespace pemtrox {

std::shared_ptr<BlockListToolProxyServerListener>
BlockListToolProxyServerListener::make(BlockListToolSettings settings) {
    return std::make_shared<BlockListToolProxyServerListener>(std::move(settings));
}

void BlockListToolProxyServerListener::proxyListenerReceivedRequestURL(
    const std::shared_ptr<ProxyEvent>& evt) {
    if (!evt->matchesAny(settings_.include))
        return;
    throw BlockListToolError(settings_.blockActionType == BlockListToolSettings::BlockActionType::Forbidden
                                 ? BlockListToolError::Kind::ForbiddenResponse
                                 : BlockListToolError::Kind::DroppedConnection);
}

} // namespace pemtrox
