#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace pemtrox {

class DispatchQueue;

/// Back-pressure from a listener to the copying of one exchange. A listener that cannot keep
/// up (a recording writer behind a slow disk) pauses the exchange from inside a callback; the
/// code that moves the exchange's bytes asks before each read of its source and, while the
/// exchange is paused, reads on only once every pause is lifted, as work of the queue that
/// asked. Nobody waits on a lock for the listener: the queue and every other exchange go on.
/// Any thread.
class ExchangePause {
public:
    ExchangePause() = default;
    ExchangePause(const ExchangePause&) = delete;
    ExchangePause& operator=(const ExchangePause&) = delete;

    void pause();
    /// Lifts one pause; the last lets the waiting work run, each piece on its own queue.
    void resume();
    bool paused() const;
    /// Runs `next` at once unless the exchange is paused; else once it is resumed, later, on
    /// the queue that called. A caller on no queue is never held (there is nowhere to resume).
    /// `next` should hold what it works on weakly: it is dropped if its queue has gone.
    void whenRunning(std::function<void()> next);

private:
    mutable std::mutex mutex_;
    int pauses_ = 0;
    std::vector<std::pair<std::weak_ptr<DispatchQueue>, std::function<void()>>> waiting_;
};

} // namespace pemtrox
