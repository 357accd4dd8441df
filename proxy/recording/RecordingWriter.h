#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "proxy/recording/RecordingBuffers.h"

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
    /// The metadata or head text, or the body bytes, in a buffer of the writer's
    /// RecordingBuffers; whatever buffer it holds once done goes back to them.
    std::string text;
    /// Of metadata and heads: the step's number among those of its kind (see
    /// ExchangeRecording::metadataNumber).
    std::uint64_t number = 0;
    /// Of bodies: the most bytes the file may hold.
    std::int64_t cap = 0;
};

/// Runs the recording's file work on threads of its own (lanes): each exchange's steps go to
/// one lane and are done there in the order they come in, while exchanges on other lanes are
/// written meanwhile, so that making the files of one exchange does not wait for another's.
///
/// Steps wait in one list per lane, which its thread takes whole at each turn, so that a burst
/// of steps costs one wake-up and no allocation each. A lane that runs out of steps looks
/// again a little later before it waits to be woken: a writer faster than the network would
/// otherwise be woken, at the cost of the serving queue, for nearly every step. Each step weighs its bytes
/// plus a page (a step's file work costs far more than its bytes); past the bound, which holds for all lanes
/// together, the exchange that adds a step pauses its copying (see ExchangePause) until the writer is down to
/// half of it: a slow disk slows the recorded exchanges alone and never blocks a caller's queue.
///
/// A writer none of whose steps has reached the disk for `stuckBound` while it holds exchanges
/// paused (counted from the first of them) is stuck, as on a disk that stopped answering: those
/// exchanges go on without their recording (see abandon), and so does each exchange that would
/// pause while it stays stuck. One warning says so, and one line once a step reaches the disk
/// again.
class RecordingWriter {
public:
    static constexpr std::chrono::seconds stuckBound{5};

    /// `perform` does a step's work and says whether it reached the disk (a step that had
    /// nothing to write shows no progress); `afterTurn` runs on a lane's thread after each of
    /// its turns. `name` (the store) names the writer in its messages.
    RecordingWriter(std::size_t lanes, std::function<bool(RecordingStep&)> perform,
                    std::function<void()> afterTurn, std::string name = "");
    /// Waits for the steps handed over to be done.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    /// The lane for a new exchange's steps.
    std::size_t nextLane();
    /// Queues the step on the lane; any thread. An exchange's steps all go to one lane.
    void submit(std::size_t lane, RecordingStep step);
    /// Returns once the steps handed over so far are done.
    void waitForWrites();
    /// For a stop: waits until the deadline at most for the steps handed over to be done, then
    /// does nothing more: the steps not done by then are dropped (a step a lane is in the
    /// middle of may still end), their number returned, and paused exchanges go on. A lane
    /// still at work holds the owner until it is done, so that a disk that stopped answering
    /// keeps nobody waiting and frees nothing that the lane still uses.
    std::size_t finish(std::chrono::steady_clock::time_point deadline);
    /// What a lane holds while it finishes after finish(); set once, before any step.
    void setOwner(std::weak_ptr<void> owner) { owner_ = std::move(owner); }
    /// How long the writer may do nothing while it holds exchanges paused (stuckBound unless
    /// set): for tests that hold the writer on purpose, as a slow disk that still moves would.
    void setStuckBound(std::chrono::steady_clock::duration bound) { stuckBound_ = bound.count(); }
    /// The queues whose threads do the work, one per lane.
    std::vector<std::shared_ptr<DispatchQueue>> queues() const;
    /// Where the steps' texts are taken from; a done step's goes back there.
    RecordingBuffers& buffers() { return buffers_; }

private:
    struct Lane {
        std::shared_ptr<DispatchQueue> queue;
        std::mutex mutex;
        std::vector<RecordingStep> pending;
        /// Whether a drain is queued, running or about to look again: a step added meanwhile
        /// needs no wake-up.
        bool draining = false;
        /// The turn being worked through, and how often in a row the lane found nothing to
        /// do; the lane's thread only.
        std::vector<RecordingStep> turn;
        int idleLooks = 0;
        /// The owner, held from finish() while the lane is draining.
        std::shared_ptr<void> keepAlive;
    };
    /// Takes turns at the lane's list while it has steps, then looks again a few times
    /// shortly after before it waits to be woken.
    void drain(Lane& lane);
    /// Does the steps waiting in the lane's list as one turn; false when there were none.
    bool takeTurn(Lane& lane);
    /// Takes a done step's weight off; once the writer has caught up, the paused exchanges go on.
    void removeWeight(std::size_t weight);
    /// Queues the step on the lane, counted and weighed, without pausing anyone.
    void enqueue(std::size_t lane, RecordingStep step);
    /// The exchange's recording ends where its queued steps leave it: nothing more of it is
    /// queued, and a stop step after those closes its files. Under pauseMutex_.
    void abandon(const std::shared_ptr<ExchangeRecording>& exchange);
    /// On the watchdog's queue, while exchanges are paused: once the writer has done nothing
    /// for stuckBound, it is stuck and they go on.
    void checkProgress();
    /// Arms checkProgress for when the writer would be stuck; under pauseMutex_.
    void watch();
    /// Since when the writer has done nothing while it holds exchanges paused; under pauseMutex_.
    std::chrono::steady_clock::rep stillSince() const;

    RecordingBuffers buffers_;
    const std::function<bool(RecordingStep&)> perform_;
    const std::function<void()> afterTurn_;
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::atomic<std::size_t> nextLane_ = 0;

    std::atomic<std::size_t> queuedWeight_ = 0;
    /// Steps handed over and not done yet; finish() waits for none.
    std::atomic<std::size_t> outstanding_ = 0;
    std::mutex idleMutex_;
    std::condition_variable idle_;
    /// Set by finish(): steps are dropped instead of done.
    std::atomic<bool> dropping_ = false;
    std::weak_ptr<void> owner_;
    /// Guards paused_, the exchanges' pausedByWriter and watching_.
    std::mutex pauseMutex_;
    std::vector<std::shared_ptr<ExchangeRecording>> paused_;
    /// When a step last reached the disk, or work came to a writer that had none (steady clock
    /// ticks).
    std::atomic<std::chrono::steady_clock::rep> lastProgress_;
    std::atomic<std::chrono::steady_clock::rep> stuckBound_ =
        std::chrono::steady_clock::duration(stuckBound).count();
    /// Set by the watchdog, cleared by the next step that reaches the disk.
    std::atomic<bool> stuck_ = false;
    /// Whether checkProgress is armed, and since when paused_ has held exchanges.
    bool watching_ = false;
    std::chrono::steady_clock::rep pausedSince_ = 0;
    const std::string name_;
    std::shared_ptr<DispatchQueue> watchdog_;
};

} // namespace pemtrox
