#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace asio {
class io_context;
}

namespace pemtrox {

class DescriptorWatch;
class RepeatingTimer;

/// A serial queue: one thread running one event loop. Work posted to it runs in order,
/// one item at a time, on that thread. Objects that belong to a queue are touched only
/// from it.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    using Work = std::function<void()>;

    /// Starts a queue with its own thread, named after the label (cut to 15 bytes).
    static std::shared_ptr<DispatchQueue> make(std::string label);
    /// The program's main queue, started on first use.
    static std::shared_ptr<DispatchQueue> main();
    /// The queue whose thread is running the caller, or null.
    static DispatchQueue* current();

    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const { return label_; }
    bool isCurrent() const { return current() == this; }

    /// Runs the work later on the queue; never inside this call.
    void async(Work work);
    /// Runs the work on the queue and waits for it. Runs inline when called from the
    /// queue itself, so it never deadlocks on its own queue. Exceptions propagate.
    void sync(const Work& work);
    /// As sync, handing back what the work returns: for objects of this queue whose calls
    /// may come from any thread.
    template <class F> auto onQueue(F&& f) -> decltype(f()) {
        if (isCurrent())
            return f();
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            sync([&] { f(); });
        } else {
            std::optional<R> result;
            sync([&] { result.emplace(f()); });
            return std::move(*result);
        }
    }
    /// Runs the work once after the delay, unless the returned timer is cancelled first.
    /// Dropping the handle does not cancel it.
    std::shared_ptr<RepeatingTimer> after(std::chrono::steady_clock::duration delay, Work work);
    /// Runs the work every period until the timer is cancelled; the first tick comes at
    /// once (on the queue, not inside this call) or after one period.
    std::shared_ptr<RepeatingTimer> every(std::chrono::steady_clock::duration period, Work work,
                                          bool firstTickAtOnce = false);

    /// Takes the descriptor over and waits on it in this queue's event loop.
    std::shared_ptr<DescriptorWatch> watchDescriptor(int fd);

    /// Stops the loop and, from another thread, waits for it; pending work is dropped.
    /// Called by the destructor; safe to call twice.
    void stop();

    /// The event loop, for platform layers that put I/O objects on this queue; layers above
    /// use the operations of the queue instead.
    asio::io_context& ioContext();

private:
    explicit DispatchQueue(std::string label);
    struct Impl;
    std::string label_;
    std::unique_ptr<Impl> impl_;
};

/// A one-shot or repeating timer on a queue. Cancel from any thread; after cancel()
/// returns on the timer's own queue no further tick runs.
class RepeatingTimer : public std::enable_shared_from_this<RepeatingTimer> {
public:
    ~RepeatingTimer();
    void cancel();
    bool isCancelled() const;

private:
    friend class DispatchQueue;
    struct Impl;
    RepeatingTimer();
    void arm(std::chrono::steady_clock::duration delay);
    std::unique_ptr<Impl> impl_;
};

} // namespace pemtrox
