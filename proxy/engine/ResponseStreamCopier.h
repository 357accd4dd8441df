#pragma once

#include <memory>

#include "proxy/engine/StreamCopier.h"

namespace pemtrox {

class InternalProxyServer;
class ProxyEvent;

/// Copies the response side of a tunnel (server to client): each piece written is added to the
/// record's responseSize and reported to the server's listeners as response body, so
/// that recording sees tunnel traffic. Without the server only the size is counted.
class ResponseStreamCopier : public StreamCopier {
public:
    static std::shared_ptr<ResponseStreamCopier> make(std::shared_ptr<MyInputStream> from,
                                                      std::shared_ptr<MyOutputStream> to,
                                                      const std::shared_ptr<InternalProxyServer>& server,
                                                      std::shared_ptr<ProxyEvent> evt);
    ResponseStreamCopier(std::shared_ptr<MyInputStream> from, std::shared_ptr<MyOutputStream> to,
                         const std::shared_ptr<InternalProxyServer>& server, std::shared_ptr<ProxyEvent> evt);

    const std::shared_ptr<ProxyEvent>& evt() const { return evt_; }

protected:
    void chunkCopied(const Data& piece, std::int64_t size, std::int64_t total) override;
    bool wantsPieces() const override { return !server_.expired(); }

private:
    std::weak_ptr<InternalProxyServer> server_;
    std::shared_ptr<ProxyEvent> evt_;
};

} // namespace pemtrox
