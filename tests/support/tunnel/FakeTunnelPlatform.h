#pragma once

#include <deque>
#include <mutex>

#include "platform/DispatchQueue.h"
#include "platform/PacketTunnelProviderBase.h"

namespace pemtrox::test {

/// Remembers every settings request. Answers each on the main queue with the next queued
/// answer (else with `answer`), at once, or, while holding, only when released.
class FakeTunnelPlatform : public TunnelPlatform {
public:
    explicit FakeTunnelPlatform(ErrorPtr answer = nullptr) : answer(std::move(answer)) {}
    void apply(const std::optional<TunnelNetworkSettings>& settings,
               std::function<void(ErrorPtr)> completion) override {
        std::lock_guard lock(mutex);
        applied.push_back(settings);
        ErrorPtr error = answer;
        if (!answers.empty())
            error = answers.front(), answers.pop_front();
        auto answerIt = [completion = std::move(completion), error] { completion(error); };
        if (hold)
            held.push_back(std::move(answerIt));
        else
            DispatchQueue::main()->async(std::move(answerIt));
    }
    /// Answers the oldest held request on the main queue; false when none is held.
    bool release() {
        std::lock_guard lock(mutex);
        if (held.empty())
            return false;
        DispatchQueue::main()->async(std::move(held.front()));
        held.pop_front();
        return true;
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return applied.size();
    }
    void stop() override { ++stops; }

    std::mutex mutex;
    ErrorPtr answer;
    std::deque<ErrorPtr> answers;
    bool hold = false;
    std::deque<std::function<void()>> held;
    std::vector<std::optional<TunnelNetworkSettings>> applied;
    int stops = 0;
};

} // namespace pemtrox::test
