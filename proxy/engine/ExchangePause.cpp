#include "proxy/engine/ExchangePause.h"

#include "platform/DispatchQueue.h"

namespace pemtrox {

void ExchangePause::pause() {
    std::lock_guard lock(mutex_);
    ++pauses_;
}

void ExchangePause::resume() {
    decltype(waiting_) released;
    {
        std::lock_guard lock(mutex_);
        if (pauses_ == 0 || --pauses_ > 0)
            return;
        released.swap(waiting_);
    }
    for (auto& [weakQueue, next] : released)
        if (auto queue = weakQueue.lock())
            queue->async(std::move(next));
}

bool ExchangePause::paused() const {
    std::lock_guard lock(mutex_);
    return pauses_ > 0;
}

void ExchangePause::whenRunning(std::function<void()> next) {
    {
        std::lock_guard lock(mutex_);
        auto* queue = DispatchQueue::current();
        if (pauses_ > 0 && queue) {
            waiting_.emplace_back(queue->weak_from_this(), std::move(next));
            return;
        }
    }
    next();
}

} // namespace pemtrox
