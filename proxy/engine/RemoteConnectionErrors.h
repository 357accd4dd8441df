#pragma once

#include <cstdint>
#include <string>

#include "platform/Error.h"

namespace pemtrox {

/// Failures of opening a remote connection. They carry no reporting title.
class RemoteConnectionErrors : public ErrorBase<RemoteConnectionErrors> {
public:
    enum class Kind { noHost, missingRequiredInfo, connectionClosedDuringHandshake, invalidPort };

    static RemoteConnectionErrors noHost() { return RemoteConnectionErrors(Kind::noHost); }
    static RemoteConnectionErrors missingRequiredInfo() {
        return RemoteConnectionErrors(Kind::missingRequiredInfo);
    }
    static RemoteConnectionErrors connectionClosedDuringHandshake() {
        return RemoteConnectionErrors(Kind::connectionClosedDuringHandshake);
    }
    /// A port outside 1...65535: refused here so that it never reaches the socket layer.
    static RemoteConnectionErrors invalidPort(std::int64_t port) {
        return RemoteConnectionErrors(Kind::invalidPort, port);
    }

    Kind kind() const { return kind_; }
    std::string description() const override;

private:
    explicit RemoteConnectionErrors(Kind kind, std::int64_t port = 0) : kind_(kind), port_(port) {}
    Kind kind_;
    std::int64_t port_;
};

/// Whether a port can be connected to.
inline bool isValidPort(std::int64_t port) {
    return port >= 1 && port <= 65535;
}

} // namespace pemtrox
