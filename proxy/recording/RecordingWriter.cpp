#include "proxy/recording/RecordingWriter.h"

#include <algorithm>
#include <optional>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
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

// A lane without steps looks again this many times, this long apart, before it waits to be
// woken: the steps of a stream of body pieces then wake it about once per look, not once each.
constexpr int idleLooks = 4;
constexpr auto idleLookInterval = std::chrono::microseconds(500);

std::size_t weightOf(const RecordingStep& step) {
    return step.text.size() + stepWeight;
}

std::chrono::steady_clock::rep nowTicks() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

double secondsSince(std::chrono::steady_clock::rep ticks) {
    return std::chrono::duration<double>(std::chrono::steady_clock::duration(nowTicks() - ticks)).count();
}

} // namespace

RecordingWriter::RecordingWriter(std::size_t lanes, std::function<bool(RecordingStep&)> perform,
                                 std::function<void()> afterTurn, std::string name)
    : perform_(std::move(perform)), afterTurn_(std::move(afterTurn)), lastProgress_(nowTicks()),
      name_(std::move(name)), watchdog_(DispatchQueue::make("RecordingWatch")) {
    for (std::size_t i = 0; i < std::max<std::size_t>(lanes, 1); ++i) {
        lanes_.push_back(std::make_unique<Lane>());
        lanes_.back()->queue = DispatchQueue::make("Recording " + std::to_string(i + 1));
    }
}

RecordingWriter::~RecordingWriter() {
    waitForWrites();
    watchdog_->stop();
    for (auto& lane : lanes_)
        lane->queue->stop();
}

std::size_t RecordingWriter::nextLane() {
    return nextLane_.fetch_add(1, std::memory_order_relaxed) % lanes_.size();
}

void RecordingWriter::waitForWrites() {
    // A lane that is about to look again has not taken what came meanwhile: take it now.
    for (auto& lane : lanes_)
        lane->queue->sync([this, &lane = *lane] {
            while (takeTurn(lane)) {
            }
        });
}

std::vector<std::shared_ptr<DispatchQueue>> RecordingWriter::queues() const {
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    for (auto& lane : lanes_)
        queues.push_back(lane->queue);
    return queues;
}

std::size_t RecordingWriter::finish(std::chrono::steady_clock::time_point deadline) {
    {
        std::unique_lock lock(idleMutex_);
        idle_.wait_until(lock, deadline, [this] { return outstanding_ == 0; });
    }
    dropping_ = true;
    auto dropped = outstanding_.load();
    if (auto owner = owner_.lock()) {
        for (auto& lane : lanes_) {
            std::lock_guard lock(lane->mutex);
            if (lane->draining)
                lane->keepAlive = owner;
        }
    }
    std::vector<std::shared_ptr<ExchangeRecording>> resumed;
    {
        std::lock_guard lock(pauseMutex_);
        resumed.swap(paused_);
        for (auto& exchange : resumed)
            exchange->pausedByWriter = false;
    }
    for (auto& exchange : resumed)
        exchange->pause->resume();
    return dropped;
}

void RecordingWriter::submit(std::size_t laneNumber, RecordingStep step) {
    // After a stop nothing more is written, and no exchange waits for the writer; nor is
    // anything more of an exchange that went on without its recording, but its cancel, which
    // removes its directory once the writer moves.
    bool cancel = step.kind == RecordingStep::Kind::cancel;
    bool abandoned = step.exchange->abandoned;
    if (dropping_ || (abandoned && !cancel)) {
        buffers_.give(std::move(step.text));
        return;
    }
    // Steps wait in memory while the disk is slower than the network: past a bound, the
    // exchange pauses, never the caller's queue. The pause is taken before the step is queued,
    // so that the step's own completion finds it. While the writer is stuck, the exchange
    // goes on instead, without its recording: this step becomes the one that ends it.
    if (!abandoned && queuedWeight_.load() + weightOf(step) > maxQueuedWeight) {
        std::lock_guard lock(pauseMutex_);
        auto& exchange = *step.exchange;
        if (stuck_) {
            if (!cancel) {
                buffers_.give(std::move(step.text));
                step.kind = RecordingStep::Kind::stop;
            }
            exchange.abandoned = true;
        } else if (!exchange.pausedByWriter && exchange.pause) {
            exchange.pausedByWriter = true;
            exchange.pause->pause();
            if (paused_.empty())
                pausedSince_ = nowTicks();
            paused_.push_back(step.exchange);
            watch();
        }
    }
    enqueue(laneNumber, std::move(step));
}

void RecordingWriter::enqueue(std::size_t laneNumber, RecordingStep step) {
    if (outstanding_++ == 0)
        lastProgress_ = nowTicks(); // a writer that had nothing to do was not stuck
    queuedWeight_ += weightOf(step);
    auto& lane = *lanes_.at(laneNumber);
    bool wake;
    {
        std::lock_guard lock(lane.mutex);
        lane.pending.push_back(std::move(step));
        wake = !std::exchange(lane.draining, true);
    }
    if (wake)
        lane.queue->async([this, &lane] { drain(lane); });
}

void RecordingWriter::abandon(const std::shared_ptr<ExchangeRecording>& exchange) {
    if (!exchange->abandoned.exchange(true))
        enqueue(exchange->lane, RecordingStep{exchange, RecordingStep::Kind::stop, {}, 0, 0});
}

void RecordingWriter::watch() {
    if (std::exchange(watching_, true))
        return;
    auto due = std::chrono::steady_clock::duration(stillSince() + stuckBound_.load()) -
               std::chrono::steady_clock::now().time_since_epoch();
    watchdog_->after(std::max<std::chrono::steady_clock::duration>(due, std::chrono::milliseconds(10)),
                     [this] { checkProgress(); });
}

std::chrono::steady_clock::rep RecordingWriter::stillSince() const {
    // A hold is counted from its start: exchanges paused by a writer that was idle for a while
    // (or slow to be given enough to pause them) wait the whole bound too.
    return std::max(lastProgress_.load(), pausedSince_);
}

void RecordingWriter::checkProgress() {
    std::vector<std::shared_ptr<ExchangeRecording>> resumed;
    std::optional<double> stillFor;
    {
        std::lock_guard lock(pauseMutex_);
        watching_ = false;
        if (paused_.empty() || dropping_)
            return;
        auto since = stillSince();
        if (nowTicks() - since < stuckBound_.load()) {
            watch();
            return;
        }
        if (!stuck_.exchange(true))
            stillFor = secondsSince(lastProgress_.load());
        resumed.swap(paused_);
        for (auto& exchange : resumed) {
            exchange->pausedByWriter = false;
            abandon(exchange);
        }
    }
    // The exchanges go on first, and the warning comes after, with no lock held: the log file
    // may lie on the disk that stopped answering, and writing to it may wait as long.
    for (auto& exchange : resumed)
        exchange->pause->resume();
    if (stillFor)
        LOG_WARNING("Recording store {} has written nothing for {:.0f} s: the exchanges it holds go on "
                    "without their recording",
                    name_, *stillFor);
}

void RecordingWriter::drain(Lane& lane) {
    // Let go of last, when the lane holds the owner after a stop: this may end the writer.
    std::shared_ptr<void> keepAlive;
    while (takeTurn(lane))
        lane.idleLooks = 0;
    {
        std::lock_guard lock(lane.mutex);
        if (!lane.pending.empty()) {
            // Came after the last turn: take it at once.
            lane.queue->async([this, &lane] { drain(lane); });
            return;
        }
        if (lane.idleLooks < idleLooks) {
            ++lane.idleLooks;
            lane.queue->after(idleLookInterval, [this, &lane] { drain(lane); });
            return;
        }
        lane.idleLooks = 0;
        lane.draining = false;
        keepAlive = std::move(lane.keepAlive);
    }
    buffers_.trim();
}

bool RecordingWriter::takeTurn(Lane& lane) {
    {
        std::lock_guard lock(lane.mutex);
        if (lane.pending.empty())
            return false;
        lane.turn.swap(lane.pending);
    }
    for (auto& step : lane.turn) {
        auto weight = weightOf(step);
        // Only a step that reached the disk shows that it answers: a lane that has nothing of
        // the stuck one's to write gets through the steps that touch nothing at once.
        bool reachedDisk = !dropping_ && perform_(step);
        buffers_.give(std::move(step.text));
        step.exchange.reset();
        if (reachedDisk) {
            auto stuckSince = lastProgress_.exchange(nowTicks());
            if (stuck_.load(std::memory_order_relaxed) && stuck_.exchange(false))
                LOG_INFO("Recording store {} writes again after {:.0f} s", name_, secondsSince(stuckSince));
        }
        removeWeight(weight);
        if (--outstanding_ == 0) {
            { std::lock_guard lock(idleMutex_); }
            idle_.notify_all();
        }
    }
    lane.turn.clear();
    // A burst's list is not kept at its largest for the idle time after it.
    if (lane.turn.capacity() > keptSteps)
        std::vector<RecordingStep>().swap(lane.turn);
    afterTurn_();
    return true;
}

void RecordingWriter::removeWeight(std::size_t weight) {
    if ((queuedWeight_ -= weight) > resumeWeight)
        return;
    std::vector<std::shared_ptr<ExchangeRecording>> resumed;
    {
        std::lock_guard lock(pauseMutex_);
        if (paused_.empty())
            return;
        resumed.swap(paused_);
        for (auto& exchange : resumed)
            exchange->pausedByWriter = false;
    }
    for (auto& exchange : resumed)
        exchange->pause->resume();
}

} // namespace pemtrox
