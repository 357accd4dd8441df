#include "proxy/recording/RecordingWriter.h"

#include "platform/DispatchQueue.h"
#include "proxy/engine/ExchangePause.h"
#include "proxy/recording/ExchangeRecording.h"

namespace pemtrox {

namespace {

// How much may wait for the writer before the exchanges that add to it pause: each step
// weighs its bytes plus a page, so a burst of small exchanges (each step a file operation)
// is held to about a second of the writer's work on a slow disk, and a body to a few MiB.
// Paused exchanges go on once the writer is down to half of it, so that they do not pause
// again at its next step.
constexpr std::size_t maxQueuedWeight = 8 << 20;
constexpr std::size_t resumeWeight = maxQueuedWeight / 2;
constexpr std::size_t stepWeight = 4096;

// Room for this many steps stays allocated between turns.
constexpr std::size_t keptSteps = 256;

std::size_t weightOf(const RecordingStep& step) {
    return step.text.size() + stepWeight;
}

} // namespace

RecordingWriter::RecordingWriter(std::function<void(RecordingStep&)> perform, std::function<void()> afterTurn)
    : perform_(std::move(perform)), afterTurn_(std::move(afterTurn)),
      queue_(DispatchQueue::make("Recording")) {}

RecordingWriter::~RecordingWriter() {
    waitForWrites();
    queue_->stop();
}

void RecordingWriter::waitForWrites() {
    // A drain queued or running when this is queued takes every step handed over before it.
    queue_->sync([] {});
}

void RecordingWriter::submit(RecordingStep step) {
    bool wake;
    {
        std::lock_guard lock(mutex_);
        auto& exchange = *step.exchange;
        queuedWeight_ += weightOf(step);
        // Steps wait in memory while the disk is slower than the network: past a bound, the
        // exchange pauses, never the caller's queue.
        if (queuedWeight_ > maxQueuedWeight && !exchange.pausedByWriter && exchange.pause) {
            exchange.pausedByWriter = true;
            exchange.pause->pause();
            paused_.push_back(step.exchange);
        }
        pending_.push_back(std::move(step));
        wake = !std::exchange(draining_, true);
    }
    if (wake)
        queue_->async([this] { drain(); });
}

void RecordingWriter::drain() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) {
                draining_ = false;
                break;
            }
            turn_.swap(pending_);
        }
        for (auto& step : turn_) {
            auto weight = weightOf(step);
            perform_(step);
            // What a step holds goes here, on the writer, rather than with the list.
            step = RecordingStep{};
            removeWeight(weight);
        }
        turn_.clear();
        // A burst's list is not kept at its largest for the idle time after it.
        if (turn_.capacity() > keptSteps)
            std::vector<RecordingStep>().swap(turn_);
        afterTurn_();
    }
}

void RecordingWriter::removeWeight(std::size_t weight) {
    std::vector<std::shared_ptr<ExchangeRecording>> resumed;
    {
        std::lock_guard lock(mutex_);
        queuedWeight_ -= weight;
        if (queuedWeight_ > resumeWeight || paused_.empty())
            return;
        resumed.swap(paused_);
        for (auto& exchange : resumed)
            exchange->pausedByWriter = false;
    }
    for (auto& exchange : resumed)
        exchange->pause->resume();
}

} // namespace pemtrox
