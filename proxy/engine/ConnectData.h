#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pemtrox {

/// The application protocols (ALPN) that a tunnel's client offered, and the one chosen.
class ConnectData {
public:
    static std::shared_ptr<ConnectData> make() { return std::make_shared<ConnectData>(); }
    std::optional<std::string> selectedProtocol;
    std::optional<std::vector<std::string>> supportedProtocols;
};

} // namespace pemtrox
