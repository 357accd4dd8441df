#pragma once

#include <functional>
#include <memory>

namespace pemtrox {

/// Serves one accepted client connection.
class ProxyHandler {
public:
    using Completion = std::function<void(const std::shared_ptr<ProxyHandler>&)>;
    virtual ~ProxyHandler() = default;
    /// Starts serving; the completion runs once, on the server's queue, when the
    /// connection is finished.
    virtual void start(Completion completion) = 0;
    /// Stops the handler (its client connection is closed). May throw an Error.
    virtual void cancel() = 0;
};

} // namespace pemtrox
