#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pemtrox {

class DispatchQueue;
struct ExchangeRecording;

/// One piece of an exchange's file work, as the listener's callbacks hand it over.
struct RecordingStep {
    enum class Kind : std::uint8_t {
        makeDirectory,
        metadata,
        requestHead,
        responseHead,
        requestBody,
        responseBody,
        /// Closes what stays open (the exchange's end).
        release,
        /// Nothing more is written; what was written stays.
        stop,
        /// The directory goes, and nothing more is written.
        cancel,
    };

    std::shared_ptr<ExchangeRecording> exchange;
    Kind kind;
    /// The metadata or head text, or the body bytes.
    std::string text;
    /// Of metadata and heads: the step's number among those of its kind (see
    /// ExchangeRecording::metadataNumber).
    std::uint64_t number = 0;
    /// Of bodies: the most bytes the file may hold.
    std::int64_t cap = 0;
};

/// Runs the recording's file work on a thread of its own, in the order the steps come in,
/// and holds back the exchanges that add to it while it is far behind.
///
/// Steps wait in one list, which the thread takes whole at each turn, so that a burst of
/// steps costs one wake-up and no allocation each. Each step weighs its bytes plus a page
/// (a step's file work costs far more than its bytes); past the bound, the exchange that adds
/// a step pauses its copying (see ExchangePause) until the writer is down to half of it: a
/// slow disk slows the recorded exchanges alone and never blocks a caller's queue.
class RecordingWriter {
public:
    /// `perform` does a step's work; `afterTurn` runs on the thread after each turn.
    RecordingWriter(std::function<void(RecordingStep&)> perform, std::function<void()> afterTurn);
    /// Waits for the steps handed over to be done.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    /// Queues the step; any thread.
    void submit(RecordingStep step);
    /// Returns once the steps handed over so far are done.
    void waitForWrites();
    /// The queue whose thread does the work.
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

private:
    /// Takes turns at the list until it is empty.
    void drain();
    /// Takes a done step's weight off; once the writer has caught up, the paused exchanges go on.
    void removeWeight(std::size_t weight);

    const std::function<void(RecordingStep&)> perform_;
    const std::function<void()> afterTurn_;
    std::shared_ptr<DispatchQueue> queue_;

    std::mutex mutex_;
    std::vector<RecordingStep> pending_;
    /// Whether a drain is queued or running: a step added meanwhile needs no wake-up.
    bool draining_ = false;
    std::size_t queuedWeight_ = 0;
    std::vector<std::shared_ptr<ExchangeRecording>> paused_;
    /// The turn being worked through; the writer's thread only.
    std::vector<RecordingStep> turn_;
};

} // namespace pemtrox
