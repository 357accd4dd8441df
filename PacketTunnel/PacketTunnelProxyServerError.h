#pragma once

#include "platform/Error.h"

namespace pemtrox {

/// A stack server could not listen.
class PacketTunnelProxyServerError : public ErrorBase<PacketTunnelProxyServerError> {
public:
    static PacketTunnelProxyServerError bindFailure() { return {}; }
    std::string description() const override { return "Bind failure"; }
};

} // namespace pemtrox
