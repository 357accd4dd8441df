#pragma once

#include <memory>

#include "proxy/engine/StreamCopier.h"

namespace pemtrox {

/// The copier of a tunnel's client to server: counts into requestSize and reports request body.
struct RequestStreamCopier {
    static std::shared_ptr<StreamCopier> make(std::shared_ptr<MyInputStream> from,
                                              std::shared_ptr<MyOutputStream> to,
                                              const std::shared_ptr<InternalProxyServer>& server,
                                              std::shared_ptr<ProxyEvent> evt) {
        return StreamCopier::make(std::move(from), std::move(to), StreamCopier::Direction::request, server,
                                  std::move(evt));
    }
};

} // namespace pemtrox
