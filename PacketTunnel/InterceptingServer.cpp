#include "PacketTunnel/InterceptingServer.h"

#include "proxy/engine/LoggingProxyListener.h"
#include "proxy/tls/SSLCACertificateProxyListener.h"
#include "proxy/tls/SSLTestProxyListener.h"

namespace pemtrox {

void addBuiltInListeners(const std::shared_ptr<SSLProxyServer>& server) {
    server->addProxyListener(std::make_shared<SSLCACertificateProxyListener>(server));
    server->addProxyListener(std::make_shared<SSLTestProxyListener>(server));
    server->addProxyListener(std::make_shared<LoggingProxyListener>());
}

} // namespace pemtrox
