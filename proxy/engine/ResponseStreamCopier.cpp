#include "proxy/engine/ResponseStreamCopier.h"

#include "proxy/engine/InternalProxyServer.h"
#include "proxy/engine/ProxyEvent.h"

namespace pemtrox {

std::shared_ptr<ResponseStreamCopier>
ResponseStreamCopier::make(std::shared_ptr<MyInputStream> from, std::shared_ptr<MyOutputStream> to,
                           const std::shared_ptr<InternalProxyServer>& server,
                           std::shared_ptr<ProxyEvent> evt) {
    return Plumber::make<ResponseStreamCopier>(std::move(from), std::move(to), server, std::move(evt));
}

ResponseStreamCopier::ResponseStreamCopier(std::shared_ptr<MyInputStream> from,
                                           std::shared_ptr<MyOutputStream> to,
                                           const std::shared_ptr<InternalProxyServer>& server,
                                           std::shared_ptr<ProxyEvent> evt)
    : StreamCopier(std::move(from), std::move(to)), server_(server), evt_(std::move(evt)) {}

void ResponseStreamCopier::chunkCopied(const Data& piece, std::int64_t size, std::int64_t) {
    evt_->responseSize = evt_->responseSize.value_or(0) + size;
    if (auto server = server_.lock(); server && !piece.empty())
        server->notifyReceivingResponseBody(evt_, piece);
}

} // namespace pemtrox
