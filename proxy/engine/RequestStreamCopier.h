#pragma once

#include <memory>

#include "proxy/engine/StreamCopier.h"

namespace pemtrox {

class InternalProxyServer;
class ProxyEvent;

/// Copies the request side of a tunnel (client to server): each piece written is added to the
/// record's requestSize and reported to the server's listeners as request body, so
/// that recording sees tunnel traffic. Without the server only the size is counted.
class RequestStreamCopier : public StreamCopier {
public:
    static std::shared_ptr<RequestStreamCopier> make(std::shared_ptr<MyInputStream> from,
                                                     std::shared_ptr<MyOutputStream> to,
                                                     const std::shared_ptr<InternalProxyServer>& server,
                                                     std::shared_ptr<ProxyEvent> evt);
    RequestStreamCopier(std::shared_ptr<MyInputStream> from, std::shared_ptr<MyOutputStream> to,
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
