#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "proxy/engine/ProxyServerAdapter.h"
#include "proxy/engine/RecordingSettings.h"
#include "proxy/recording/ExchangeRecording.h"
#include "proxy/recording/RecordingWriter.h"

namespace pemtrox {

class DispatchQueue;

/// Writes every exchange that the settings select into a directory of its own under the
/// recording root, step by step: "metadata.json" and the heads are replaced whole at each
/// step that changes them (never torn, even by a crash), the bodies are appended up to their
/// caps through files kept open until the exchange ends. It never
/// throws from a callback: a failure costs only the recording, and is logged.
///
/// Each exchange's callbacks come from its server's queue, one at a time (see ProxyEvent);
/// one listener may serve servers on different queues, and its settings change from any
/// thread. Each recorded exchange keeps its own locks in its record, for its file work on
/// the writer queue and so that callbacks of one exchange from two threads stay safe too.
///
/// A listener made to write in the background takes the file work off the callers' queues:
/// the callbacks take what the step needs (the metadata, the head text, a copy of the body
/// piece) and a RecordingWriter writes it in the order of the exchange's steps. A metadata or
/// head step that a later one of the same file replaced while it waited is skipped, so a
/// writer that is behind writes each of an exchange's files once, with its latest text, after
/// the steps queued before it; one that keeps up writes every step. The store passes through
/// the same states, or fewer of them, later; a metadata.json that exists is always whole.
/// A step that changes metadata.json alone builds it at the end of its queue's turn, once for
/// all such steps of the turn; any other step of the exchange builds it first.
/// While the writer is behind by more than a bound, each exchange that adds a step pauses its
/// copying (see ExchangePause) until the writer has caught up: a slow disk slows the recorded
/// exchanges alone and never blocks a caller's queue.
/// The exchange directories of one listener appear in the order of their numbers, which is
/// the order in which the exchanges were selected, whichever lane makes one: a reader that
/// takes the names above the last one it saw misses none. Nothing temporary lies in the store.
class RecordingListener : public ProxyServerAdapter, public std::enable_shared_from_this<RecordingListener> {
public:
    /// The attribute under which an exchange record keeps its recording.
    static constexpr const char* keyAttribute = "RecordingListener.key";

    /// Makes the listener for the root, creating the root (mode 0700, no parents) when
    /// missing. Throws the system's error when it cannot be made, and
    /// RecordingError::recordingAlreadyExistsAtURL when something is there and it is not a
    /// directory or allowExisting is false.
    /// The files are written inside the callbacks unless `background` is set.
    static std::shared_ptr<RecordingListener> make(std::filesystem::path baseURL,
                                                   const RecordingSettings& settings, bool allowExisting,
                                                   bool background = false);
    /// Use make().
    RecordingListener(std::filesystem::path baseURL, const RecordingSettings& settings, bool background);
    /// Waits for the writes in the background to end.
    ~RecordingListener() override;
    /// Returns once what the callbacks passed so far is written.
    void waitForWrites();
    /// For a stop of the program: waits at most `bound` for what the callbacks passed so far
    /// to be written, then writes nothing more; the steps left are dropped, and their number
    /// logged and returned. Whatever reached the disk stays whole: an exchange whose steps were
    /// dropped keeps the last metadata.json written for it. A lane of the writer that is still
    /// in a step holds the listener until that step ends.
    std::size_t finishWrites(std::chrono::steady_clock::duration bound);
    /// Where the spares through which files are replaced lie: beside the root (in it, as
    /// ".tmp", when the root is a file system of its own). What a process that ended without
    /// a stop left there is removed when a listener is made.
    std::filesystem::path temporaryDirectory() const {
        return temporary_ ? temporary_->path : std::filesystem::path();
    }
    /// The queues the files are written on; none when the callbacks write themselves.
    std::vector<std::shared_ptr<DispatchQueue>> writerQueues() const;

    const std::filesystem::path& baseURL() const { return baseURL_; }
    /// Seconds since 2001-01-01 00:00:00 UTC when the listener was made.
    double initialTimestamp() const { return initialTimestamp_; }
    /// The number of the next exchange directory.
    std::int64_t counter();

    /// Replaces the settings; the include check is recomputed with them, and readers see
    /// either the old pair or the new one.
    void setSettings(const RecordingSettings& settings);
    RecordingSettings settings() const;
    /// True when at least one include location is enabled.
    bool settingsHasIncludes() const;

    /// Decides whether to record the exchange and, if so, makes its directory (in the
    /// background, the exchange is taken as recorded until that fails).
    void startRecording(const std::shared_ptr<ProxyEvent>& evt);
    /// Removes the exchange's directory; nothing more is written for it.
    void cancelRecording(const std::shared_ptr<ProxyEvent>& evt);
    /// Nothing more is written for the exchange; what was written stays.
    void stopRecording(const std::shared_ptr<ProxyEvent>& evt);
    void writeMetadata(const std::shared_ptr<ProxyEvent>& evt);
    /// Sets the root's modification date to now.
    void updateModificationDate();
    void writeRequestHeader(const std::shared_ptr<ProxyEvent>& evt);
    void writeResponseHeader(const std::shared_ptr<ProxyEvent>& evt);

    void proxyListenerTransactionComplete(const std::shared_ptr<ProxyEvent>& evt) override { endStep(evt); }
    void proxyListenerTransactionException(const std::shared_ptr<ProxyEvent>& evt) override { endStep(evt); }
    void proxyListenerTransactionBlocked(const std::shared_ptr<ProxyEvent>& evt) override {
        writeMetadata(evt);
    }
    void proxyListenerTransactionCancelled(const std::shared_ptr<ProxyEvent>& evt) override {
        cancelRecording(evt);
    }
    void proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerReceivedRequestURL(const std::shared_ptr<ProxyEvent>& evt) override {
        writeMetadata(evt);
    }
    void proxyListenerReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerSentRequestHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerReceivedRequest(const std::shared_ptr<ProxyEvent>& evt) override { writeMetadata(evt); }
    void proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt, const Data& data) override;
    void proxyListenerReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerSentResponseHeader(const std::shared_ptr<ProxyEvent>& evt) override;
    void proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>& evt,
                                            const Data& data) override;
    void proxyListenerReceivedResponse(const std::shared_ptr<ProxyEvent>& evt) override {
        writeMetadata(evt);
    }

private:
    struct Config {
        RecordingSettings settings;
        bool hasIncludes;
    };
    using Exchange = ExchangeRecording;
    using Kind = RecordingStep::Kind;

    std::shared_ptr<const Config> config() const;
    /// The root held open, opened again when it was replaced; null when it cannot be opened.
    std::shared_ptr<const StoreRoot> root(bool reopen = false);
    /// Gives the exchange the next number of the series, and a place among the directories
    /// to be made.
    void takeNumber(const std::shared_ptr<Exchange>& exchange);
    /// Makes the directories waiting to be made, in number order, until the exchange's has
    /// been made or has failed; false when it failed (logged) or was cancelled first.
    bool makeDirectoriesThrough(Exchange& exchange);
    /// Makes the exchange's directory under its number; when the name is taken, the exchange
    /// takes the next number and waits again.
    void makeDirectory(const std::shared_ptr<Exchange>& exchange);
    /// Makes and opens the directory of spares and clears what a process before left in it.
    void openTemporaryDirectory();
    /// The name of a spare: one per lane of the writer, one per exchange without a writer.
    std::string spareName(std::size_t number) const;
    /// The exchange's recording while it is being recorded, else null.
    static std::shared_ptr<Exchange> exchangeOf(ProxyEvent& evt);
    /// Hands a step to the writer, or does it at once without one.
    void submit(const std::shared_ptr<Exchange>& exchange, Kind kind, std::string text = {},
                std::uint64_t number = 0, std::int64_t cap = 0);
    /// Does a step's file work, under the exchange's lock and while it is active.
    void perform(RecordingStep& step);
    void headerStep(const std::shared_ptr<ProxyEvent>& evt, bool request);
    void bodyStep(const std::shared_ptr<ProxyEvent>& evt, const Data& data, bool request);
    /// Builds the metadata now and hands it over.
    void writeMetadata(ProxyEvent& evt, const std::shared_ptr<Exchange>& exchange);
    /// Builds the metadata at the end of the queue's turn when there is a writer and a queue,
    /// else now.
    void deferMetadata(const std::shared_ptr<ProxyEvent>& evt, const std::shared_ptr<Exchange>& exchange);
    /// Builds the metadata that waits for the end of the turn, if any, before another step.
    void flushMetadata(ProxyEvent& evt, const std::shared_ptr<Exchange>& exchange);
    /// Nothing more is written for the exchange (called under its lock).
    static void stop(Exchange& exchange);
    /// As stop, after a failed write: metadata.json first gets the metadata of the last step
    /// before the failed one if the writer had skipped it.
    static void stopAfterFailure(Exchange& exchange);
    /// The metadata of an ended exchange; its files are closed.
    void endStep(const std::shared_ptr<ProxyEvent>& evt);
    void writeHeader(ProxyEvent& evt, const std::shared_ptr<Exchange>& exchange, bool request);
    /// The event's head text when it differs from the last one handed over for its file
    /// (which it then becomes), else none.
    static std::optional<std::string> changedHead(ProxyEvent& evt, Exchange& exchange, bool request);
    void submitHead(const std::shared_ptr<Exchange>& exchange, bool request, const std::string& head);
    /// After a turn of the writer: the root's date follows the metadata written in it.
    void afterWriterTurn();
    /// A buffer for a step's text of about that size, from the writer's when there is one.
    std::string buffer(std::size_t size);
    /// The texts an exchange holds go back to the writer's buffers (on the writer).
    void giveBack(Exchange& exchange);

    const std::filesystem::path baseURL_;
    const double initialTimestamp_;
    /// Guards counter_ and unmade_.
    std::mutex counterMutex_;
    std::int64_t counter_ = 0;
    /// The exchanges whose directories are still to be made, in number order.
    std::deque<std::shared_ptr<Exchange>> unmade_;
    /// Held while directories are made, one at a time.
    std::mutex directoryMutex_;
    std::shared_ptr<const StoreRoot> temporary_;
    std::string spareStem_;
    std::atomic<std::size_t> nextSpare_ = 0;
    mutable std::mutex configMutex_;
    std::shared_ptr<const Config> config_;
    std::mutex rootMutex_;
    std::shared_ptr<const StoreRoot> root_;
    /// Null when the callbacks write themselves.
    std::unique_ptr<RecordingWriter> writer_;
    /// Whether metadata was written since the root's date was last set by the writer, and
    /// when that was (steady clock, in its ticks).
    std::atomic<bool> rootChanged_ = false;
    std::atomic<std::chrono::steady_clock::rep> rootTouched_ = 0;
};

} // namespace pemtrox
