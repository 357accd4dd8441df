#include "proxy/engine/LoggingProxyListener.h"

#include "platform/Log.h"
#include "proxy/engine/ProxyEvent.h"

namespace pemtrox {

void LoggingProxyListener::proxyListenerReceivedRequest(const std::shared_ptr<ProxyEvent>& evt) {
    LOG_DEBUG("Request: {}", evt->description());
}

} // namespace pemtrox
