#include "PacketTunnel/TunnelMode.h"

#include "proxy/engine/ProxyServer.h"

namespace pemtrox {

void TunnelMode::replaceListener(ProxyServer& server, const std::shared_ptr<ProxyServerListener>& old,
                                 const std::shared_ptr<ProxyServerListener>& replacement) {
    if (old)
        server.removeProxyListener(old);
    if (replacement)
        server.addProxyListener(replacement);
}

} // namespace pemtrox
