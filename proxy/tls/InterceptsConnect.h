#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "proxy/engine/SSLSettings.h"

namespace pemtrox {

/// Whether a CONNECT to `host` on `port` is intercepted under `settings`, the first rule
/// that decides wins: the TLS test host always is; nothing is while interception is off;
/// otherwise a host is when a location of `include` matches and none of `exclude` does. A
/// CONNECT names no scheme, path or query yet, so locations are matched on host and port.
bool interceptsConnect(const std::optional<std::string>& host, std::optional<std::int64_t> port,
                       const SSLSettings& settings);

} // namespace pemtrox
