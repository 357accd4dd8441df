#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "proxy/engine/ProxyServerAdapter.h"
#include "proxy/engine/RecordingSettings.h"
#include "proxy/recording/ExchangeRecordingContext.h"
#include "proxy/recording/RecordingPolicy.h"
#include "proxy/recording/RecordingStoreWriter.h"

namespace pemtrox {

class DispatchQueue;

/// Writes every exchange that the settings select (RecordingPolicy) into a directory of its
/// own under the recording root, step by step: "metadata.json" and the heads are replaced
/// whole at each step that changes them, the bodies are appended up to their caps. It never
/// throws from a callback: a failure costs only the recording, and is logged.
///
/// Each exchange's callbacks come from its server's queue, one at a time (see ProxyEvent);
/// one listener may serve servers on different queues, and its settings change from any
/// thread. What the listener keeps of an exchange between its callbacks is the exchange's
/// ExchangeRecordingContext, made when the exchange is selected and kept in its record until
/// it ends; it is touched on that queue alone and has no lock.
///
/// The file work is off the callers' queues: the callbacks take what the step needs (the
/// metadata, the head text, a copy of the body piece) and the RecordingStoreWriter writes it
/// in the order of the exchange's steps. A metadata or head step that a later one of the same
/// file replaced while it waited is skipped, so a writer that is behind writes each of an
/// exchange's files once, with its latest text, after the steps queued before it; one that
/// keeps up writes every step. The store passes through the same states, or fewer of them,
/// later; a metadata.json that exists is always whole.
/// A step that changes metadata.json alone builds it at the end of its queue's turn, once for
/// all such steps of the turn; any other step of the exchange builds it first.
/// While the writer is behind by more than a bound, each exchange that adds a step pauses its
/// copying (see ExchangePause) until the writer has caught up: a slow disk slows the recorded
/// exchanges alone and never blocks a caller's queue.
class RecordingListener : public ProxyServerAdapter, public std::enable_shared_from_this<RecordingListener> {
public:
    /// The attribute under which an exchange record keeps its ExchangeRecordingContext while
    /// it is being recorded.
    static constexpr const char* keyAttribute = "RecordingListener.key";

    /// Makes the listener for the root, creating the root (mode 0700, no parents) when
    /// missing. Throws the system's error when it cannot be made, and
    /// RecordingError::recordingAlreadyExistsAtURL when something is there and it is not a
    /// directory or allowExisting is false.
    static std::shared_ptr<RecordingListener> make(std::filesystem::path baseURL,
                                                   const RecordingSettings& settings, bool allowExisting);
    /// Use make().
    RecordingListener(std::filesystem::path baseURL, const RecordingSettings& settings);

    /// The exchange's context while it is being recorded (not stopped after a failed write,
    /// cancelled or ended), else null. On the exchange's queue.
    static std::shared_ptr<ExchangeRecordingContext> recordingOf(const ProxyEvent& evt);

    /// Returns once what the callbacks passed so far is written.
    void waitForWrites() { store_.waitForWrites(); }
    /// For a stop of the program: waits at most `bound` for what the callbacks passed so far
    /// to be written, then writes nothing more; the steps left are dropped, and their number
    /// logged and returned. Whatever reached the disk stays whole: an exchange whose steps were
    /// dropped keeps the last metadata.json written for it. A lane of the writer that is still
    /// in a step holds the listener until that step ends.
    std::size_t finishWrites(std::chrono::steady_clock::duration bound);
    /// Where the spares through which files are replaced lie: beside the root (in it, as
    /// ".tmp", when the root is a file system of its own). What a process that ended without
    /// a stop left there is removed when a listener is made.
    std::filesystem::path temporaryDirectory() const { return store_.temporaryDirectory(); }
    /// How long a writer that does nothing holds the exchanges it paused before they go on
    /// without their recording (RecordingWriter::stuckBound unless set): for tests that hold
    /// the writer on purpose, as a slow disk that still moves would.
    void setStuckBound(std::chrono::steady_clock::duration bound) { store_.setStuckBound(bound); }
    /// The queues the files are written on.
    std::vector<std::shared_ptr<DispatchQueue>> writerQueues() const { return store_.queues(); }

    const std::filesystem::path& baseURL() const { return store_.baseURL(); }
    /// Seconds since 2001-01-01 00:00:00 UTC when the listener was made.
    double initialTimestamp() const { return store_.initialTimestamp(); }
    /// The number of the next exchange directory.
    std::int64_t counter() { return store_.counter(); }

    /// Replaces the settings; the include check is recomputed with them, and readers see
    /// either the old pair or the new one.
    void setSettings(const RecordingSettings& settings) { policy_.setSettings(settings); }
    RecordingSettings settings() const { return policy_.settings(); }
    /// True when at least one include location is enabled.
    bool settingsHasIncludes() const { return policy_.hasIncludes(); }

    /// Decides whether to record the exchange and, if so, makes its context; its directory is
    /// made by the writer, and the exchange is taken as recorded until that fails.
    void startRecording(const std::shared_ptr<ProxyEvent>& evt);
    /// Removes the exchange's directory; nothing more is written for it.
    void cancelRecording(const std::shared_ptr<ProxyEvent>& evt);
    /// Nothing more is written for the exchange; what was written stays.
    void stopRecording(const std::shared_ptr<ProxyEvent>& evt);
    void writeMetadata(const std::shared_ptr<ProxyEvent>& evt);
    /// Sets the root's modification date to now.
    void updateModificationDate() { store_.updateModificationDate(); }
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
    using Context = ExchangeRecordingContext;
    using Kind = RecordingStep::Kind;

    /// The context the record holds, whatever its state.
    static std::shared_ptr<Context> heldContext(const ProxyEvent& evt);
    /// The exchange's context while it is recorded, else null; one that the writer stopped
    /// after a failure goes from the record here.
    static std::shared_ptr<Context> contextOf(ProxyEvent& evt);
    /// The exchange ends for the listener: its context goes from the record.
    static void forget(ProxyEvent& evt);
    void headerStep(const std::shared_ptr<ProxyEvent>& evt, bool request);
    void bodyStep(const std::shared_ptr<ProxyEvent>& evt, const Data& data, bool request);
    /// Builds the metadata now and hands it over.
    void writeMetadata(ProxyEvent& evt, Context& context);
    /// Builds the metadata at the end of the queue's turn when there is a queue, else now.
    void deferMetadata(const std::shared_ptr<ProxyEvent>& evt, const std::shared_ptr<Context>& context);
    /// Builds the metadata that waits for the end of the turn, if any, before another step.
    void flushMetadata(ProxyEvent& evt, Context& context);
    /// The metadata of an ended exchange; its files are closed and its context goes.
    void endStep(const std::shared_ptr<ProxyEvent>& evt);
    void submitHead(Context& context, bool request, const std::string& head);

    RecordingPolicy policy_;
    RecordingStoreWriter store_;
};

} // namespace pemtrox
