#pragma once

#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace pemtrox {

/// A descriptor that its queue's event loop waits on, made by DispatchQueue::watchDescriptor.
/// It owns the descriptor and closes it when closed or destroyed. Touch it only on its
/// queue, and let it go before the queue.
class DescriptorWatch {
public:
    ~DescriptorWatch();
    DescriptorWatch(const DescriptorWatch&) = delete;
    DescriptorWatch& operator=(const DescriptorWatch&) = delete;

    /// The descriptor, or -1 once closed.
    int descriptor() const;
    /// Answers once, on the queue and never inside this call: true when the descriptor is
    /// readable, false when the wait ended otherwise (the watch closed, the wait failed).
    void waitReadable(std::function<void(bool readable)> handler);
    /// Ends a wait (its handler gets false) and closes the descriptor. Safe twice.
    void close();

private:
    friend class DispatchQueue;
    struct Impl;
    DescriptorWatch(asio::io_context& io, int fd);
    std::unique_ptr<Impl> impl_;
};

} // namespace pemtrox
