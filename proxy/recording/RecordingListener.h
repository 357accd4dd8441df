#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "proxy/engine/ProxyServerAdapter.h"
#include "proxy/engine/RecordingSettings.h"

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
/// piece) and a queue of the listener's own writes it in the order of the exchange's steps,
/// a step's metadata taking the place of the previous step's while that waits unwritten
/// behind nothing else. The store passes through the same states, later. While the writer
/// is behind by more than a bound, each exchange that adds a step pauses its copying (see
/// ExchangePause) until the writer has caught up: a slow disk slows the recorded exchanges
/// alone and never blocks a caller's queue.
class RecordingListener : public ProxyServerAdapter {
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
    /// The queue the files are written on; null when the callbacks write themselves.
    const std::shared_ptr<DispatchQueue>& writerQueue() const { return writer_; }

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
    struct Exchange;

    std::shared_ptr<const Config> config() const;
    /// Makes the exchange's directory under the next free number; false (logged) when it cannot.
    bool makeDirectory(Exchange& exchange);
    /// The exchange's recording while it is being recorded, else null.
    static std::shared_ptr<Exchange> exchangeOf(ProxyEvent& evt);
    /// Runs work on the exchange's files, under its lock and while it is active: on the
    /// writer queue (`bytes`, what the work holds, counts against the bound), else at once.
    void submit(const std::shared_ptr<Exchange>& exchange, std::function<void(Exchange&)> work,
                std::size_t bytes = 0);
    void submitMetadata(const std::shared_ptr<Exchange>& exchange, std::string metadata);
    void headerStep(const std::shared_ptr<ProxyEvent>& evt, bool request);
    void bodyStep(const std::shared_ptr<ProxyEvent>& evt, const Data& data, bool request);
    void writeMetadata(ProxyEvent& evt, const std::shared_ptr<Exchange>& exchange);
    /// Nothing more is written for the exchange (called under its lock).
    static void stop(Exchange& exchange);
    /// The metadata of an ended exchange; its files are closed.
    void endStep(const std::shared_ptr<ProxyEvent>& evt);
    void writeHeader(ProxyEvent& evt, const std::shared_ptr<Exchange>& exchange, bool request);

    const std::filesystem::path baseURL_;
    const double initialTimestamp_;
    std::mutex counterMutex_;
    std::int64_t counter_ = 0;
    mutable std::mutex configMutex_;
    std::shared_ptr<const Config> config_;
    /// Null when the callbacks write themselves.
    std::shared_ptr<DispatchQueue> writer_;
    /// Adds a step's weight to what waits for the writer (its bytes plus a page: a step's
    /// file work costs far more than its bytes); past the bound the step's exchange pauses.
    void addWeight(const std::shared_ptr<Exchange>& exchange, std::size_t weight);
    /// Takes off a written step's weight; once the writer has caught up, the paused
    /// exchanges go on.
    void removeWeight(std::size_t weight);
    std::mutex roomMutex_;
    std::size_t queuedWeight_ = 0;
    std::vector<std::shared_ptr<Exchange>> paused_;
};

} // namespace pemtrox
