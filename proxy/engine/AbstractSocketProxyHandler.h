#pragma once

#include <memory>

#include "proxy/io/Plumber.h"

namespace pemtrox {

class InternalProxyServer;

/// The common base of per-connection handlers: the server they serve for.
class AbstractSocketProxyHandler : public PlumberTracked {
public:
    const std::shared_ptr<InternalProxyServer>& server() const { return server_; }

protected:
    explicit AbstractSocketProxyHandler(std::shared_ptr<InternalProxyServer> server)
        : server_(std::move(server)) {}
    std::shared_ptr<InternalProxyServer> server_;
};

} // namespace pemtrox
