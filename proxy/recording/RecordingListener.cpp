#include "proxy/recording/RecordingListener.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/DispatchQueue.h"
#include "platform/LogEntryPoints.h"
#include "proxy/engine/Fields.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ReservedHosts.h"
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

// How much may wait for the writer before the exchanges that add to it pause: each step
// weighs its bytes plus a page, so a burst of small exchanges (each step a file operation)
// is held to about a second of the writer's work on a slow disk, and a body to a few MiB.
// Paused exchanges go on once the writer is down to half of it, so that they do not pause
// again at its next step.
constexpr std::size_t maxQueuedWeight = 8 << 20;
constexpr std::size_t resumeWeight = maxQueuedWeight / 2;
constexpr std::size_t stepWeight = 4096;

// Beside the replaced files while the exchange runs: written over and swapped with the
// file being replaced, so that a replacement makes no file.
constexpr const char* spareFile = ".spare.tmp";

} // namespace

/// The recording of one exchange, kept in its record under keyAttribute. The work on its
/// files runs on the writer queue or, without one, inside the callback, while the next
/// callback may already run on the server's queue: `mutex` orders that work.
struct RecordingListener::Exchange {
    ~Exchange() { release(); }
    /// Called once its directory has been made.
    void setDirectory(std::filesystem::path made) {
        directory = std::move(made);
        requestBody.emplace(directory / RecordingStore::requestBodyFile);
        responseBody.emplace(directory / RecordingStore::responseBodyFile);
    }
    /// Closes the body files and removes the spare; a later step takes them up again.
    void release() {
        if (requestBody)
            requestBody->close();
        if (responseBody)
            responseBody->close();
        if (std::exchange(spare, false))
            ::unlink((directory / spareFile).c_str());
    }
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

    /// False once cancelled or stopped after a failure: nothing more is written. Set under
    /// `mutex`; callbacks read it without, to skip work that would be dropped anyway.
    std::atomic<bool> active = true;

    std::mutex mutex;
    /// Set before any other work on the files.
    std::filesystem::path directory;
    std::optional<BodyFile> requestBody;
    std::optional<BodyFile> responseBody;
    /// What each replaced file holds, so that a step that would write the same bytes again
    /// (the head as received and as sent on, a step that changes no member) writes nothing.
    std::string metadata, requestHead, responseHead;
    /// Whether the spare of the replaced files may be there.
    bool spare = false;

    /// Guards the callbacks' own state below.
    std::mutex stepMutex;
    /// Body bytes handed to the writer so far, per direction, -1 before the first piece: what
    /// lies beyond the cap is neither copied nor queued.
    std::int64_t requestQueued = -1, responseQueued = -1;
    /// When metadata.json was last replaced at a body piece; unset after any other step.
    std::optional<std::chrono::steady_clock::time_point> lastBodyMetadata;
    /// The metadata of queued work that is still the last queued for the exchange: a later
    /// step's metadata takes its place instead of queueing more.
    std::shared_ptr<std::string> queuedMetadata;

    /// The exchange's copying, which the listener pauses while the writer is behind.
    std::shared_ptr<ExchangePause> pause;
    /// Whether the listener holds `pause` now; guarded by the listener's roomMutex_.
    bool pausedByWriter = false;
};

std::shared_ptr<RecordingListener> RecordingListener::make(std::filesystem::path baseURL,
                                                           const RecordingSettings& settings,
                                                           bool allowExisting, bool background) {
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
    return std::make_shared<RecordingListener>(std::move(baseURL), settings, background);
}

RecordingListener::RecordingListener(std::filesystem::path baseURL, const RecordingSettings& settings,
                                     bool background)
    : baseURL_(std::move(baseURL)),
      initialTimestamp_(RecordingStore::referenceTimestamp(std::chrono::system_clock::now())),
      writer_(background ? DispatchQueue::make("Recording") : nullptr) {
    setSettings(settings);
}

RecordingListener::~RecordingListener() {
    waitForWrites();
    if (writer_)
        writer_->stop();
}

void RecordingListener::waitForWrites() {
    if (writer_)
        writer_->sync([] {});
}

void RecordingListener::addWeight(const std::shared_ptr<Exchange>& exchange, std::size_t weight) {
    std::lock_guard lock(roomMutex_);
    queuedWeight_ += weight;
    if (queuedWeight_ <= maxQueuedWeight || exchange->pausedByWriter || !exchange->pause)
        return;
    exchange->pausedByWriter = true;
    exchange->pause->pause();
    paused_.push_back(exchange);
}

void RecordingListener::removeWeight(std::size_t weight) {
    std::vector<std::shared_ptr<Exchange>> resumed;
    {
        std::lock_guard lock(roomMutex_);
        queuedWeight_ -= weight;
        if (queuedWeight_ > resumeWeight)
            return;
        resumed.swap(paused_);
        for (auto& exchange : resumed)
            exchange->pausedByWriter = false;
    }
    for (auto& exchange : resumed)
        exchange->pause->resume();
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
    auto exchange = std::make_shared<Exchange>();
    exchange->pause = evt->pause();
    if (writer_) {
        evt->attributes[keyAttribute] = exchange;
        submit(exchange, [this](Exchange& exchange) {
            if (!makeDirectory(exchange))
                exchange.active = false;
        });
    } else if (makeDirectory(*exchange)) {
        evt->attributes[keyAttribute] = exchange;
    }
}

bool RecordingListener::makeDirectory(Exchange& exchange) {
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
            exchange.setDirectory(std::move(directory));
            return true;
        }
        if (errno != EEXIST || attempt + 1 == maxDirectoryAttempts) {
            logWarning("Failed to create directory for transaction: ",
                       systemError("mkdir(" + directory.string() + ")", errno));
            return false;
        }
    }
    return false;
}

std::shared_ptr<RecordingListener::Exchange> RecordingListener::exchangeOf(ProxyEvent& evt) {
    // The attribute is set once, at the address step, before any other step of the
    // exchange can run, and never removed: reading it needs no lock.
    auto it = evt.attributes.find(keyAttribute);
    if (it == evt.attributes.end())
        return nullptr;
    auto* exchange = std::any_cast<std::shared_ptr<Exchange>>(&it->second);
    if (!exchange || !*exchange || !(*exchange)->active)
        return nullptr;
    return *exchange;
}

void RecordingListener::submit(const std::shared_ptr<Exchange>& exchange, std::function<void(Exchange&)> work,
                               std::size_t bytes) {
    auto run = [](Exchange& exchange, const std::function<void(Exchange&)>& work) {
        std::lock_guard lock(exchange.mutex);
        if (exchange.active)
            work(exchange);
    };
    if (!writer_) {
        run(*exchange, work);
        return;
    }
    {
        std::lock_guard lock(exchange->stepMutex);
        exchange->queuedMetadata.reset();
    }
    // Steps wait in memory while the disk is slower than the network: past a bound, the
    // exchange pauses, never the caller's queue.
    std::size_t weight = bytes + stepWeight;
    addWeight(exchange, weight);
    writer_->async([this, exchange, work = std::move(work), weight, run] {
        run(*exchange, work);
        removeWeight(weight);
    });
}

void RecordingListener::submitMetadata(const std::shared_ptr<Exchange>& exchange, std::string metadata) {
    auto write = [this](Exchange& exchange, std::string metadata) {
        std::lock_guard lock(exchange.mutex);
        if (!exchange.active)
            return;
        try {
            exchange.replace(RecordingStore::metadataFile, std::move(metadata), exchange.metadata);
        } catch (...) {
            logWarning("Failed to write metadata: ", currentError());
            stop(exchange);
        }
        updateModificationDate();
    };
    if (!writer_) {
        write(*exchange, std::move(metadata));
        return;
    }
    std::shared_ptr<std::string> queued;
    {
        std::lock_guard lock(exchange->stepMutex);
        if (exchange->queuedMetadata) {
            *exchange->queuedMetadata = std::move(metadata);
            return;
        }
        queued = std::make_shared<std::string>(std::move(metadata));
        exchange->queuedMetadata = queued;
    }
    std::size_t weight = queued->size() + stepWeight;
    addWeight(exchange, weight);
    writer_->async([this, exchange, queued, write, weight] {
        std::string metadata;
        {
            std::lock_guard lock(exchange->stepMutex);
            metadata = std::move(*queued);
            if (exchange->queuedMetadata == queued)
                exchange->queuedMetadata.reset();
        }
        write(*exchange, std::move(metadata));
        removeWeight(weight);
    });
}

void RecordingListener::cancelRecording(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto exchange = exchangeOf(*evt))
        submit(exchange, [this](Exchange& exchange) {
            if (auto error = RecordingStore::removeExchangeDirectory(baseURL_, exchange.directory))
                logWarning("Failed to remove cancelled transaction directory: ", error);
            stop(exchange);
        });
}

void RecordingListener::stopRecording(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto exchange = exchangeOf(*evt))
        submit(exchange, [](Exchange& exchange) { stop(exchange); });
}

void RecordingListener::stop(Exchange& exchange) {
    exchange.active = false;
    exchange.release();
}

void RecordingListener::endStep(const std::shared_ptr<ProxyEvent>& evt) {
    auto exchange = exchangeOf(*evt);
    if (!exchange)
        return;
    writeMetadata(*evt, exchange);
    // Usually the last step: what stays open would otherwise wait for the record's end.
    submit(exchange, [](Exchange& exchange) { exchange.release(); });
}

void RecordingListener::writeMetadata(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto exchange = exchangeOf(*evt))
        writeMetadata(*evt, exchange);
}

void RecordingListener::writeMetadata(ProxyEvent& evt, const std::shared_ptr<Exchange>& exchange) {
    {
        std::lock_guard lock(exchange->stepMutex);
        exchange->lastBodyMetadata.reset();
    }
    submitMetadata(exchange, recordingMetadata(evt));
}

void RecordingListener::updateModificationDate() {
    touch(baseURL_);
}

void RecordingListener::writeRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto exchange = exchangeOf(*evt))
        writeHeader(*evt, exchange, true);
}

void RecordingListener::writeResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto exchange = exchangeOf(*evt))
        writeHeader(*evt, exchange, false);
}

void RecordingListener::writeHeader(ProxyEvent& evt, const std::shared_ptr<Exchange>& exchange,
                                    bool request) {
    const auto& head = request ? evt.requestHeader : evt.responseHeader;
    if (!head)
        return;
    auto text = head->headerText();
    std::size_t bytes = text.size();
    submit(
        exchange,
        [text = std::move(text), request](Exchange& exchange) {
            try {
                exchange.replace(request ? RecordingStore::requestHeaderFile
                                         : RecordingStore::responseHeaderFile,
                                 text, request ? exchange.requestHead : exchange.responseHead);
            } catch (...) {
                logWarning(request ? "Failed to write request header: " : "Failed to write response header: ",
                           currentError());
                stop(exchange);
            }
        },
        bytes);
}

void RecordingListener::proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) {
    startRecording(evt);
    writeMetadata(evt);
}

void RecordingListener::headerStep(const std::shared_ptr<ProxyEvent>& evt, bool request) {
    auto exchange = exchangeOf(*evt);
    if (!exchange)
        return;
    writeMetadata(*evt, exchange);
    writeHeader(*evt, exchange, request);
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
    auto exchange = exchangeOf(*evt);
    if (!exchange)
        return;
    auto now = std::chrono::steady_clock::now();
    bool metadataDue;
    {
        std::lock_guard lock(exchange->stepMutex);
        metadataDue =
            !exchange->lastBodyMetadata || now - *exchange->lastBodyMetadata >= bodyMetadataInterval;
    }
    if (metadataDue) {
        writeMetadata(*evt, exchange);
        std::lock_guard lock(exchange->stepMutex);
        exchange->lastBodyMetadata = now;
    }
    auto config = this->config();
    if (!(request ? config->settings.recordRequestBody : config->settings.recordResponseBody))
        return;
    auto cap = RecordingStore::bodyCap(config->settings, evt->tunnel, request);
    auto append = [request, cap](Exchange& exchange, const Data& data) {
        try {
            (request ? exchange.requestBody : exchange.responseBody)->append(data, cap);
        } catch (...) {
            logWarning(request ? "Failed to write request body: " : "Failed to write response body: ",
                       currentError());
            if (!request)
                stop(exchange);
        }
    };
    if (!writer_) {
        submit(exchange, [&](Exchange& exchange) { append(exchange, data); });
        return;
    }
    // Only what fits below the cap is copied for the writer. The first piece goes even when
    // empty: it makes the file.
    std::size_t fits;
    {
        std::lock_guard lock(exchange->stepMutex);
        auto& queued = request ? exchange->requestQueued : exchange->responseQueued;
        bool first = queued < 0;
        queued = std::max<std::int64_t>(queued, 0);
        fits = static_cast<std::size_t>(
            std::clamp<std::int64_t>(cap - queued, 0, static_cast<std::int64_t>(data.size())));
        if (fits == 0 && !first)
            return;
        queued += static_cast<std::int64_t>(fits);
    }
    Data piece(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(fits));
    submit(
        exchange, [append, piece = std::move(piece)](Exchange& exchange) { append(exchange, piece); }, fits);
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
