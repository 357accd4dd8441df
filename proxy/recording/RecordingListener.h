#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>

#include "proxy/engine/ProxyServerAdapter.h"
#include "proxy/engine/RecordingSettings.h"

namespace pemtrox {

/// Writes every exchange that the settings select into a directory of its own under the
/// recording root, step by step: "metadata.json" and the heads are replaced whole at each
/// step that changes them (never torn, even by a crash), the bodies are appended up to their
/// caps through files kept open until the exchange ends. It never
/// throws from a callback: a failure costs only the recording, and is logged.
///
/// Callbacks may arrive from several queues, for one exchange at the same time (the two
/// directions of a tunnel): each recorded exchange keeps its own lock in its record.
class RecordingListener : public ProxyServerAdapter {
public:
    /// The attribute under which an exchange record keeps its recording.
    static constexpr const char* keyAttribute = "RecordingListener.key";

    /// Makes the listener for the root, creating the root (mode 0700, no parents) when
    /// missing. Throws the system's error when it cannot be made, and
    /// RecordingError::recordingAlreadyExistsAtURL when something is there and it is not a
    /// directory or allowExisting is false.
    static std::shared_ptr<RecordingListener> make(std::filesystem::path baseURL,
                                                   const RecordingSettings& settings, bool allowExisting);
    /// Use make().
    RecordingListener(std::filesystem::path baseURL, const RecordingSettings& settings);

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

    /// Decides whether to record the exchange and, if so, makes its directory.
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
    class Locked;

    std::shared_ptr<const Config> config() const;
    void headerStep(const std::shared_ptr<ProxyEvent>& evt, bool request);
    void bodyStep(const std::shared_ptr<ProxyEvent>& evt, const Data& data, bool request);
    void writeMetadata(ProxyEvent& evt, Exchange& exchange);
    /// Nothing more is written for the exchange.
    void stop(Exchange& exchange);
    /// The metadata of an ended exchange; its files are closed.
    void endStep(const std::shared_ptr<ProxyEvent>& evt);
    void writeHeader(ProxyEvent& evt, Exchange& exchange, bool request);

    const std::filesystem::path baseURL_;
    const double initialTimestamp_;
    std::mutex counterMutex_;
    std::int64_t counter_ = 0;
    mutable std::mutex configMutex_;
    std::shared_ptr<const Config> config_;
};

} // namespace pemtrox
