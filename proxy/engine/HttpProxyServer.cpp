#include "proxy/engine/HttpProxyServer.h"

#include "proxy/engine/HttpProxyHandler.h"

namespace pemtrox {

std::shared_ptr<HttpProxyServer> HttpProxyServer::make(std::shared_ptr<DispatchQueue> queue) {
    return std::make_shared<HttpProxyServer>(std::move(queue));
}

std::shared_ptr<ProxyHandler>
HttpProxyServer::createHandler(const std::shared_ptr<ProxyConnection>& connection) {
    return HttpProxyHandler::make(std::static_pointer_cast<InternalProxyServer>(shared_from_this()),
                                  connection);
}

} // namespace pemtrox
