#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pemtrox {

class DispatchQueue;

/// The outcome of one host-name lookup.
struct HostResolution {
    /// The numeric address texts (IPv6 with "%scope" where the address has one), in the
    /// resolver's order; empty when the lookup failed.
    std::vector<std::string> addresses;
    /// The resolver's error code (getaddrinfo's EAI_* value), 0 on success.
    int errorCode = 0;
    /// The resolver's text for errorCode; empty on success.
    std::string errorMessage;
};

/// Host-name lookup on a few worker threads running getaddrinfo, so that no queue blocks
/// on the resolver.
class HostResolver {
public:
    using Completion = std::function<void(HostResolution)>;
    HostResolver() = delete;
    /// Starts a lookup and returns at once; the completion runs exactly once, later, on
    /// `queue`.
    static void resolve(std::string name, std::shared_ptr<DispatchQueue> queue, Completion completion);
};

} // namespace pemtrox
