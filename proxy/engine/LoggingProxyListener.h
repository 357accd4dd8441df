#pragma once

#include "proxy/engine/ProxyServerAdapter.h"

namespace pemtrox {

/// Logs each request at debug level once its body has passed.
class LoggingProxyListener : public ProxyServerAdapter {
public:
    void proxyListenerReceivedRequest(const std::shared_ptr<ProxyEvent>& evt) override;
};

} // namespace pemtrox
