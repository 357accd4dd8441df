#pragma once

#include <memory>

#include "proxy/engine/StreamCopier.h"

namespace pemtrox {

/// The copier of a tunnel's server to client: counts into responseSize and reports response body.
struct ResponseStreamCopier {
    static std::shared_ptr<StreamCopier> make(std::shared_ptr<MyInputStream> from,
                                              std::shared_ptr<MyOutputStream> to,
                                              const std::shared_ptr<InternalProxyServer>& server,
                                              std::shared_ptr<ProxyEvent> evt) {
        return StreamCopier::make(std::move(from), std::move(to), StreamCopier::Direction::response, server,
                                  std::move(evt));
    }
};

} // namespace pemtrox
