#include "proxy/engine/PipeRemoteConnection.h"

namespace pemtrox {

std::shared_ptr<PipeRemoteConnection>
PipeRemoteConnection::make(std::shared_ptr<HttpInputStream> remoteIn,
                           std::shared_ptr<HttpOutputStream> remoteOut) {
    return Plumber::make<PipeRemoteConnection>(std::move(remoteIn), std::move(remoteOut));
}

} // namespace pemtrox
