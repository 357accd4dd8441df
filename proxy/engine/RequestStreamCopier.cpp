#include "proxy/engine/RequestStreamCopier.h"

#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyEvent.h"

namespace pemtrox {

std::shared_ptr<RequestStreamCopier>
RequestStreamCopier::make(std::shared_ptr<MyInputStream> from, std::shared_ptr<MyOutputStream> to,
                          const std::shared_ptr<InternalProxyServer>& server,
                          std::shared_ptr<ProxyEvent> evt) {
    return Plumber::make<RequestStreamCopier>(std::move(from), std::move(to), server, std::move(evt));
}

RequestStreamCopier::RequestStreamCopier(std::shared_ptr<MyInputStream> from,
                                         std::shared_ptr<MyOutputStream> to,
                                         const std::shared_ptr<InternalProxyServer>& server,
                                         std::shared_ptr<ProxyEvent> evt)
    : StreamCopier(std::move(from), std::move(to)), server_(server), evt_(std::move(evt)) {}

void RequestStreamCopier::chunkCopied(const Data& piece, std::int64_t size, std::int64_t) {
    evt_->requestSize = evt_->requestSize.value_or(0) + size;
    if (auto server = server_.lock(); server && !piece.empty())
        server->notifyReceivingRequestBody(evt_, piece);
}

} // namespace pemtrox
