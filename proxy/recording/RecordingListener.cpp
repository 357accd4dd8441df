#include "proxy/recording/RecordingListener.h"

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "proxy/engine/Fields.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ReservedHosts.h"
#include "proxy/io/CustomLogFormatter.h"
#include "proxy/recording/BodyFile.h"
#include "proxy/recording/FileOps.h"
#include "proxy/recording/RecordingError.h"
#include "proxy/recording/RecordingMetadata.h"
#include "proxy/recording/RecordingStore.h"

namespace pemtrox {

namespace {

// How many taken names (left by an earlier listener of the same second) a new exchange
// skips before it gives up.
constexpr int maxDirectoryAttempts = 100000;

// Replacing metadata.json costs a file creation and a rename, far more than a 4 KiB piece:
// while a body streams, it is replaced at most this often (the step into the body, every
// other step and the last one are always written).
constexpr auto bodyMetadataInterval = std::chrono::milliseconds(100);

// Beside the replaced files while the exchange runs: written over and swapped with the
// file being replaced, so that a replacement makes no file.
constexpr const char* spareFile = ".spare.tmp";

} // namespace

/// The recording of one exchange, kept in its record under keyAttribute. Its lock orders
/// the callbacks of the exchange, which may come from two queues at once.
struct RecordingListener::Exchange {
    explicit Exchange(std::filesystem::path directory)
        : directory(std::move(directory)), requestBody(this->directory / RecordingStore::requestBodyFile),
          responseBody(this->directory / RecordingStore::responseBodyFile) {}
    ~Exchange() { release(); }
    /// Closes the body files and removes the spare; a later step takes them up again.
    void release() {
        requestBody.close();
        responseBody.close();
        if (std::exchange(spare, false))
            ::unlink((directory / spareFile).c_str());
    }
    const std::filesystem::path directory;
    std::mutex mutex;
    /// False once cancelled or stopped after a failure: nothing more is written.
    bool active = true;
    BodyFile requestBody;
    BodyFile responseBody;
    /// What each replaced file holds, so that a step that would write the same bytes again
    /// (the head as received and as sent on, a step that changes no member) writes nothing.
    std::string metadata, requestHead, responseHead;
    /// Whether the spare of the replaced files may be there.
    bool spare = false;

    /// Replaces a file of the directory with the text unless it holds it already: the
    /// first time through a file of its own, later through the spare. Throws the system's error.
    void replace(const char* name, std::string text, std::string& written) {
        if (text == written)
            return;
        auto file = directory / name;
        if (written.empty()) {
            replaceFile(file, text);
        } else {
            written.clear();
            spare = true;
            replaceThroughSpare(file, text, directory / spareFile);
        }
        written = std::move(text);
    }
    /// When metadata.json was last replaced at a body piece; unset after any other step.
    std::optional<std::chrono::steady_clock::time_point> lastBodyMetadata;
};

/// The exchange's recording, locked, when it is being recorded.
class RecordingListener::Locked {
public:
    explicit Locked(ProxyEvent& evt) {
        // The attribute is set once, at the address step, before any other step of the
        // exchange can run, and never removed: reading it needs no lock.
        auto it = evt.attributes.find(keyAttribute);
        if (it == evt.attributes.end())
            return;
        auto* exchange = std::any_cast<std::shared_ptr<Exchange>>(&it->second);
        if (!exchange || !*exchange)
            return;
        exchange_ = *exchange;
        lock_ = std::unique_lock(exchange_->mutex);
    }
    explicit operator bool() const { return exchange_ && exchange_->active; }
    Exchange& operator*() const { return *exchange_; }
    Exchange* operator->() const { return exchange_.get(); }

private:
    std::shared_ptr<Exchange> exchange_;
    std::unique_lock<std::mutex> lock_;
};

std::shared_ptr<RecordingListener> RecordingListener::make(std::filesystem::path baseURL,
                                                           const RecordingSettings& settings,
                                                           bool allowExisting) {
    struct stat info {};
    if (::stat(baseURL.c_str(), &info) != 0) {
        if (errno != ENOENT || ::mkdir(baseURL.c_str(), 0700) != 0)
            systemError("mkdir(" + baseURL.string() + ")", errno)->raise();
    } else if (!allowExisting || !S_ISDIR(info.st_mode)) {
        RecordingError::recordingAlreadyExistsAtURL().raise();
    }
    // A file size limit must fail the write that crosses it (EFBIG), not end the process.
    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        ::signal(SIGXFSZ, SIG_IGN);
    return std::make_shared<RecordingListener>(std::move(baseURL), settings);
}

RecordingListener::RecordingListener(std::filesystem::path baseURL, const RecordingSettings& settings)
    : baseURL_(std::move(baseURL)),
      initialTimestamp_(RecordingStore::referenceTimestamp(std::chrono::system_clock::now())) {
    setSettings(settings);
}

std::int64_t RecordingListener::counter() {
    std::lock_guard lock(counterMutex_);
    return counter_;
}

void RecordingListener::setSettings(const RecordingSettings& settings) {
    bool hasIncludes = false;
    for (const auto& definition : settings.include)
        hasIncludes = hasIncludes || definition.enabled;
    auto config = std::make_shared<const Config>(Config{settings, hasIncludes});
    std::lock_guard lock(configMutex_);
    config_ = std::move(config);
}

std::shared_ptr<const RecordingListener::Config> RecordingListener::config() const {
    std::lock_guard lock(configMutex_);
    return config_;
}

RecordingSettings RecordingListener::settings() const {
    return config()->settings;
}

bool RecordingListener::settingsHasIncludes() const {
    return config()->hasIncludes;
}

void RecordingListener::startRecording(const std::shared_ptr<ProxyEvent>& evt) {
    if (evt->attributes.contains(keyAttribute))
        return;
    if (evt->host && (*evt->host == SSLTestHost || *evt->host == SSLTestHostLong))
        return;
    auto config = this->config();
    if (config->hasIncludes && !evt->matchesAny(config->settings.include))
        return;
    if (evt->matchesAny(config->settings.exclude))
        return;
    // mkdir without parents fails on a taken name, so a directory left by an earlier
    // listener of the same second is never shared: the exchange takes the next number.
    for (int attempt = 0; attempt < maxDirectoryAttempts; ++attempt) {
        std::int64_t number;
        {
            std::lock_guard lock(counterMutex_);
            number = counter_++;
        }
        auto directory = baseURL_ / RecordingStore::directoryName(initialTimestamp_, number);
        if (::mkdir(directory.c_str(), 0700) == 0) {
            evt->attributes[keyAttribute] = std::make_shared<Exchange>(std::move(directory));
            return;
        }
        if (errno != EEXIST || attempt + 1 == maxDirectoryAttempts) {
            logWarning("Failed to create directory for transaction: ",
                       systemError("mkdir(" + directory.string() + ")", errno));
            return;
        }
    }
}

void RecordingListener::cancelRecording(const std::shared_ptr<ProxyEvent>& evt) {
    Locked exchange(*evt);
    if (!exchange)
        return;
    if (auto error = RecordingStore::removeExchangeDirectory(baseURL_, exchange->directory))
        logWarning("Failed to remove cancelled transaction directory: ", error);
    exchange->active = false;
    exchange->release();
}

void RecordingListener::stopRecording(const std::shared_ptr<ProxyEvent>& evt) {
    if (Locked exchange{*evt})
        stop(*exchange);
}

void RecordingListener::stop(Exchange& exchange) {
    exchange.active = false;
    exchange.release();
}

void RecordingListener::endStep(const std::shared_ptr<ProxyEvent>& evt) {
    Locked exchange(*evt);
    if (!exchange)
        return;
    writeMetadata(*evt, *exchange);
    // Usually the last step: what stays open would otherwise wait for the record's end.
    exchange->release();
}

void RecordingListener::writeMetadata(const std::shared_ptr<ProxyEvent>& evt) {
    if (Locked exchange{*evt})
        writeMetadata(*evt, *exchange);
}

void RecordingListener::writeMetadata(ProxyEvent& evt, Exchange& exchange) {
    exchange.lastBodyMetadata.reset();
    try {
        exchange.replace(RecordingStore::metadataFile, recordingMetadata(evt), exchange.metadata);
    } catch (...) {
        logWarning("Failed to write metadata: ", currentError());
        stop(exchange);
    }
    updateModificationDate();
}

void RecordingListener::updateModificationDate() {
    touch(baseURL_);
}

void RecordingListener::writeRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    if (Locked exchange{*evt})
        writeHeader(*evt, *exchange, true);
}

void RecordingListener::writeResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    if (Locked exchange{*evt})
        writeHeader(*evt, *exchange, false);
}

void RecordingListener::writeHeader(ProxyEvent& evt, Exchange& exchange, bool request) {
    const auto& head = request ? evt.requestHeader : evt.responseHeader;
    if (!head)
        return;
    try {
        if (request)
            exchange.replace(RecordingStore::requestHeaderFile, head->headerText(), exchange.requestHead);
        else
            exchange.replace(RecordingStore::responseHeaderFile, head->headerText(), exchange.responseHead);
    } catch (...) {
        logWarning(request ? "Failed to write request header: " : "Failed to write response header: ",
                   currentError());
        stop(exchange);
    }
}

void RecordingListener::proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) {
    startRecording(evt);
    writeMetadata(evt);
}

void RecordingListener::headerStep(const std::shared_ptr<ProxyEvent>& evt, bool request) {
    Locked exchange(*evt);
    if (!exchange)
        return;
    writeMetadata(*evt, *exchange);
    if (exchange)
        writeHeader(*evt, *exchange, request);
}

void RecordingListener::proxyListenerReceivedRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    headerStep(evt, true);
}

void RecordingListener::proxyListenerSentRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    headerStep(evt, true);
}

void RecordingListener::proxyListenerReceivedResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    headerStep(evt, false);
}

void RecordingListener::proxyListenerSentResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    headerStep(evt, false);
}

void RecordingListener::bodyStep(const std::shared_ptr<ProxyEvent>& evt, const Data& data, bool request) {
    Locked exchange(*evt);
    if (!exchange)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!exchange->lastBodyMetadata || now - *exchange->lastBodyMetadata >= bodyMetadataInterval) {
        writeMetadata(*evt, *exchange);
        exchange->lastBodyMetadata = now;
    }
    auto config = this->config();
    if (!exchange || !(request ? config->settings.recordRequestBody : config->settings.recordResponseBody))
        return;
    try {
        (request ? exchange->requestBody : exchange->responseBody)
            .append(data, RecordingStore::bodyCap(config->settings, evt->tunnel, request));
    } catch (...) {
        logWarning(request ? "Failed to write request body: " : "Failed to write response body: ",
                   currentError());
        if (!request)
            stop(*exchange);
    }
}

void RecordingListener::proxyListenerReceivingRequestBody(const std::shared_ptr<ProxyEvent>& evt,
                                                          const Data& data) {
    bodyStep(evt, data, true);
}

void RecordingListener::proxyListenerReceivingResponseBody(const std::shared_ptr<ProxyEvent>& evt,
                                                           const Data& data) {
    bodyStep(evt, data, false);
}

} // namespace pemtrox
