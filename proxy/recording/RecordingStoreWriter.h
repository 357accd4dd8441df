#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "proxy/recording/ExchangeRecording.h"
#include "proxy/recording/RecordingWriter.h"

namespace pemtrox {

class DispatchQueue;
class ExchangePause;

/// Writes the recorded exchanges into the store, on the lanes of a RecordingWriter: makes
/// each exchange's directory, replaces its metadata.json and heads through fresh temporary
/// files (never torn by a crash of the process, and never written again once visible: a
/// reader reads what it opened), appends its bodies, and keeps the root's date. The steps come
/// from any queue; each exchange's are done on its one lane, in the order they came. Nothing is
/// flushed to the device: a power loss or a crash of the system may leave files empty or short.
///
/// An exchange's directory is made among the temporaries and moved into the store once its
/// first metadata.json is written there, so that no directory in the store lacks one, even
/// after a crash of the process. The directories appear in the order of their numbers, which
/// is the order in which the exchanges began, whichever lane moves one in. Nothing temporary
/// lies in the store.
class RecordingStoreWriter {
public:
    using Kind = RecordingStep::Kind;

    /// Holds the root (which must exist) open and clears the temporaries a process before left.
    explicit RecordingStoreWriter(std::filesystem::path baseURL);
    /// Waits for the steps handed over to be done; the directories written that a stop left
    /// waiting are published, and the temporaries left go.
    ~RecordingStoreWriter();
    RecordingStoreWriter(const RecordingStoreWriter&) = delete;
    RecordingStoreWriter& operator=(const RecordingStoreWriter&) = delete;

    /// What a lane holds while it finishes after finish(); set once, before any step.
    void setOwner(std::weak_ptr<void> owner) { writer_->setOwner(std::move(owner)); }

    /// A new exchange's record: numbered now, in the order the exchanges begin; its directory
    /// is made by its lane and appears in the store in number order with the others.
    std::shared_ptr<ExchangeRecording> begin(std::shared_ptr<ExchangePause> pause);
    /// Hands a step of the exchange to its lane; any thread, one exchange's from one at a time.
    void submit(const std::shared_ptr<ExchangeRecording>& exchange, Kind kind, std::string text = {},
                std::uint64_t number = 0, std::int64_t cap = 0);
    /// A buffer for a step's text of about that size, from the writer's.
    std::string buffer(std::size_t size) { return writer_->buffers().take(size); }

    /// Returns once the steps handed over so far are done.
    void waitForWrites() { writer_->waitForWrites(); }
    /// See RecordingListener::finishWrites; returns the number of steps dropped.
    std::size_t finish(std::chrono::steady_clock::time_point deadline) { return writer_->finish(deadline); }
    /// See RecordingWriter::setStuckBound.
    void setStuckBound(std::chrono::steady_clock::duration bound) { writer_->setStuckBound(bound); }
    /// The queues the files are written on, one per lane.
    std::vector<std::shared_ptr<DispatchQueue>> queues() const { return writer_->queues(); }
    /// Where the temporary files and directories lie.
    std::filesystem::path temporaryDirectory() const {
        return temporary_ ? temporary_->path : std::filesystem::path();
    }

    const std::filesystem::path& baseURL() const { return baseURL_; }
    /// Seconds since 2001-01-01 00:00:00 UTC when the writer was made: the first half of
    /// each exchange directory's name.
    double initialTimestamp() const { return initialTimestamp_; }
    /// The number of the next exchange directory.
    std::int64_t counter();
    /// Sets the root's modification date to now.
    void updateModificationDate();

private:
    /// Does a step's file work on the exchange's lane, while the exchange is active; whether it
    /// reached the disk.
    bool perform(RecordingStep& step);
    /// The root held open, opened again when it was replaced; null when it cannot be opened.
    std::shared_ptr<const StoreRoot> root(bool reopen = false);
    /// Gives the exchange the next number of the series, and a place among the directories
    /// to be published.
    void takeNumber(const std::shared_ptr<ExchangeRecording>& exchange);
    /// The exchange's directory is ready to be published (or will never be, `failed`); then
    /// moves those whose turn it is into the store, in number order.
    void settle(ExchangeRecording& exchange, bool failed);
    /// Moves the directories ready to be published into the store, in number order, up to the
    /// first that is not ready yet.
    void publishReady();
    /// After a stop, once no lane works: moves every directory still waiting that holds its
    /// metadata.json into the store, in number order, past those that do not.
    void publishWritten();
    /// Moves the exchange's directory into the store under its number; when the name is
    /// taken, the exchange takes the next number and waits again.
    void publish(const std::shared_ptr<ExchangeRecording>& exchange);
    /// Makes and opens the directory of temporaries and clears what a process before left in it.
    void openTemporaryDirectory();
    /// The name of a lane's temporary file.
    std::string spareName(std::size_t lane) const;
    /// Nothing more is written for the exchange; one whose first metadata.json was not
    /// written leaves no directory (see abandonUnwritten).
    void stop(ExchangeRecording& exchange);
    /// As stop, after a failed write: metadata.json first gets the metadata of the last step
    /// before the failed one if the writer had skipped it.
    void stopAfterFailure(ExchangeRecording& exchange);
    /// Replaces metadata.json with the text (see ExchangeRecording::replace); the first one
    /// lets the directory be published. Throws the system's error.
    void writeMetadata(ExchangeRecording& exchange, std::string& text);
    /// An exchange that ends before its first metadata.json was written: its directory goes
    /// and its number stays a gap, so that the directories after it are published.
    void abandonUnwritten(ExchangeRecording& exchange);
    /// After a turn of a lane: the root's date follows the metadata written in it.
    void afterWriterTurn();
    /// The texts an exchange holds go back to the writer's buffers.
    void giveBack(ExchangeRecording& exchange);

    const std::filesystem::path baseURL_;
    const double initialTimestamp_;
    /// Guards counter_ and unmade_: exchanges begin on the servers' queues.
    std::mutex counterMutex_;
    std::int64_t counter_ = 0;
    /// The exchanges whose directories are still to be published, in number order.
    std::deque<std::shared_ptr<ExchangeRecording>> unmade_;
    /// Held while directories are published, one at a time, by whichever lane gets there;
    /// guards the exchanges' directoryState.
    std::mutex directoryMutex_;
    std::shared_ptr<const StoreRoot> temporary_;
    std::string spareStem_;
    /// Guards root_: any lane may open the root again.
    std::mutex rootMutex_;
    std::shared_ptr<const StoreRoot> root_;
    /// Whether metadata was written since the root's date was last set by a lane, and when
    /// that was (steady clock, in its ticks); any lane.
    std::atomic<bool> rootChanged_ = false;
    std::atomic<std::chrono::steady_clock::rep> rootTouched_ = 0;
    std::unique_ptr<RecordingWriter> writer_;
};

} // namespace pemtrox
