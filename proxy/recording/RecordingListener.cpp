#include "proxy/recording/RecordingListener.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/LogEntryPoints.h"
#include "proxy/engine/Fields.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ReservedHosts.h"
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

// While the writer is busy, the root's date is set after each of its turns, and at least
// this often within a long one.
constexpr auto rootTouchTicks =
    std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::milliseconds(100)).count();

// Threads of the writer: an exchange's files are made on one, other exchanges' meanwhile on
// the others. Making files is most of a small exchange's recording, and on a journaled ext4
// a lane spends much of its time waiting for the journal (its checkpoints, the directory's
// lock) rather than working, so that each lane added up to four made more small exchanges
// per second (intercepted HTTPS kept alive, recorded: about a fifth more from two lanes to
// three and again from three to four) while 1 MiB downloads through the proxy kept their
// pace (recorded at 0.62 of unrecorded, where an earlier measurement on a quieter machine had
// seen four lanes slow them by a quarter: watch that figure when changing this).
constexpr std::size_t writerLanes = 4;

// Removes the files in the directory of temporaries whose names do not begin with the prefix.
void removeStaleTemporaries(int directory, const std::string& keptPrefix) {
    int fd = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR* listing = ::fdopendir(fd);
    if (!listing) {
        ::close(fd);
        return;
    }
    while (auto* entry = ::readdir(listing)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != ".." && !name.starts_with(keptPrefix))
            ::unlinkat(directory, entry->d_name, 0);
    }
    ::closedir(listing);
}

} // namespace

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
    auto listener = std::make_shared<RecordingListener>(std::move(baseURL), settings, background);
    if (listener->writer_)
        listener->writer_->setOwner(listener);
    return listener;
}

RecordingListener::RecordingListener(std::filesystem::path baseURL, const RecordingSettings& settings,
                                     bool background)
    : baseURL_(std::move(baseURL)),
      initialTimestamp_(RecordingStore::referenceTimestamp(std::chrono::system_clock::now())) {
    setSettings(settings);
    root(true);
    openTemporaryDirectory();
    if (background)
        writer_ = std::make_unique<RecordingWriter>(
            writerLanes, [this](RecordingStep& step) { perform(step); }, [this] { afterWriterTurn(); });
}

RecordingListener::~RecordingListener() {
    // The steps still waiting are done while the writer is there for them to see: resetting
    // it first would clear the pointer that the lanes read as they work through them.
    if (writer_)
        writer_->waitForWrites();
    bool lanes = writer_ != nullptr;
    writer_.reset();
    // The lanes' spares go with them; those of the exchanges went with each.
    for (std::size_t lane = 0; lanes && temporary_ && lane < writerLanes; ++lane)
        ::unlinkat(temporary_->handle.get(), spareName(lane).c_str(), 0);
}

void RecordingListener::waitForWrites() {
    if (writer_)
        writer_->waitForWrites();
}

std::size_t RecordingListener::finishWrites(std::chrono::steady_clock::duration bound) {
    if (!writer_)
        return 0;
    auto dropped = writer_->finish(std::chrono::steady_clock::now() + bound);
    if (dropped > 0)
        LOG_WARNING("Recording stopped with {} steps not written within {} ms: dropped", dropped,
                    std::chrono::duration_cast<std::chrono::milliseconds>(bound).count());
    return dropped;
}

std::vector<std::shared_ptr<DispatchQueue>> RecordingListener::writerQueues() const {
    return writer_ ? writer_->queues() : std::vector<std::shared_ptr<DispatchQueue>>{};
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

std::shared_ptr<const StoreRoot> RecordingListener::root(bool reopen) {
    std::lock_guard lock(rootMutex_);
    if (reopen || !root_) {
        // Exchanges made in an earlier root keep that one's handle for their own files.
        int fd = ::open(baseURL_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0)
            root_ = std::make_shared<const StoreRoot>(StoreRoot{FileDescriptor(fd), baseURL_});
        else if (reopen)
            root_.reset();
    }
    return root_;
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
    // Numbered here, in the order the exchanges start; their directories are made in that
    // order too, whichever lane of the writer gets to one first.
    takeNumber(exchange);
    if (writer_) {
        exchange->lane = writer_->nextLane();
        exchange->useSpare(temporary_, spareName(exchange->lane), false);
        evt->attributes[keyAttribute] = exchange;
        submit(exchange, Kind::makeDirectory);
    } else {
        exchange->useSpare(temporary_, spareName(writerLanes + nextSpare_++), true);
        if (makeDirectoriesThrough(*exchange))
            evt->attributes[keyAttribute] = exchange;
    }
}

std::string RecordingListener::spareName(std::size_t number) const {
    return spareStem_ + std::to_string(number);
}

void RecordingListener::takeNumber(const std::shared_ptr<Exchange>& exchange) {
    std::lock_guard lock(counterMutex_);
    exchange->number = counter_++;
    unmade_.push_back(exchange);
}

bool RecordingListener::makeDirectoriesThrough(Exchange& exchange) {
    // A reader that lists the root and takes the names above the last one it saw must never
    // find a name before a lower one of the series that will still appear: the directories
    // are made one at a time, in number order, each lane making those before its own that
    // their lanes have not got to yet.
    std::lock_guard lock(directoryMutex_);
    while (exchange.directoryState == Exchange::Directory::waiting) {
        std::shared_ptr<Exchange> next;
        {
            std::lock_guard counterLock(counterMutex_);
            if (unmade_.empty())
                break;
            next = std::move(unmade_.front());
            unmade_.pop_front();
        }
        makeDirectory(next);
    }
    return exchange.directoryState == Exchange::Directory::made;
}

void RecordingListener::makeDirectory(const std::shared_ptr<Exchange>& exchange) {
    if (exchange->cancelled) {
        exchange->directoryState = Exchange::Directory::failed;
        return;
    }
    auto name = RecordingStore::directoryName(initialTimestamp_, exchange->number);
    auto root = this->root();
    // mkdir without parents fails on a taken name, so a directory left by an earlier listener
    // of the same second is never shared.
    bool made = exchange->makeDirectory(root, name);
    if (!made && errno == ENOENT) {
        // The root may have been removed and made again since it was opened.
        root = this->root(true);
        made = exchange->makeDirectory(root, name);
    }
    if (made) {
        exchange->directoryState = Exchange::Directory::made;
        return;
    }
    if (errno == EEXIST && ++exchange->directoryAttempts < maxDirectoryAttempts) {
        // The exchange takes the next number, behind those taken meanwhile.
        takeNumber(exchange);
        return;
    }
    logWarning("Failed to create directory for transaction: ",
               systemError("mkdir(" + (baseURL_ / name).string() + ")", errno));
    exchange->directoryState = Exchange::Directory::failed;
}

void RecordingListener::openTemporaryDirectory() {
    // The spares through which files are replaced lie outside the store, beside the root, so
    // that no reader takes them for an exchange, and a crash leaves them where the next start
    // finds them at once, without looking into the exchanges' directories. On another file
    // system they could not be renamed into the store: there, they lie in the root.
    auto clean = baseURL_.lexically_normal();
    if (!clean.has_filename())
        clean = clean.parent_path();
    auto path = clean.parent_path() / ("." + clean.filename().string() + ".tmp");
    auto sameDevice = [&](const std::filesystem::path& candidate) {
        struct stat rootInfo {
        }, info{};
        if (::mkdir(candidate.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        return ::stat(baseURL_.c_str(), &rootInfo) == 0 && ::stat(candidate.c_str(), &info) == 0 &&
               S_ISDIR(info.st_mode) && info.st_dev == rootInfo.st_dev;
    };
    if (!sameDevice(path)) {
        path = baseURL_ / ".tmp";
        if (!sameDevice(path))
            return;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    temporary_ = std::make_shared<const StoreRoot>(StoreRoot{FileDescriptor(fd), path});
    // Names are "<process>-<listener>-<spare>": what another process left there (it crashed,
    // or was killed) goes; this process's other listeners keep theirs.
    static std::atomic<std::uint64_t> listeners = 0;
    auto process = std::to_string(::getpid()) + "-";
    spareStem_ = process + std::to_string(listeners++) + "-";
    removeStaleTemporaries(temporary_->handle.get(), process);
}

std::shared_ptr<RecordingListener::Exchange> RecordingListener::exchangeOf(ProxyEvent& evt) {
    // The attribute is set once, at the address step, before any other step of the
    // exchange can run, and never removed: reading it needs no lock.
    auto it = evt.attributes.find(keyAttribute);
    if (it == evt.attributes.end())
        return nullptr;
    auto* exchange = std::any_cast<std::shared_ptr<Exchange>>(&it->second);
    if (!exchange || !*exchange || !(*exchange)->active || (*exchange)->ended)
        return nullptr;
    return *exchange;
}

void RecordingListener::submit(const std::shared_ptr<Exchange>& exchange, Kind kind, std::string text,
                               std::uint64_t number, std::int64_t cap) {
    RecordingStep step{exchange, kind, std::move(text), number, cap};
    if (writer_)
        writer_->submit(exchange->lane, std::move(step));
    else
        perform(step);
}

void RecordingListener::perform(RecordingStep& step) {
    auto& exchange = *step.exchange;
    std::lock_guard lock(exchange.mutex);
    if (!exchange.active)
        return;
    switch (step.kind) {
    case Kind::makeDirectory:
        if (!makeDirectoriesThrough(exchange))
            exchange.active = false;
        break;
    case Kind::metadata:
        if (step.number != exchange.metadataNumber) {
            // A later step's metadata waits behind this one; kept in case a failure stops the
            // exchange before that one is written.
            exchange.skippedMetadata.swap(step.text);
            break;
        }
        exchange.skippedMetadata.clear();
        try {
            exchange.replace(RecordingStore::metadataFile, step.text, exchange.metadata);
            exchange.metadataWritten = true;
        } catch (...) {
            logWarning("Failed to write metadata: ", currentError());
            // A directory whose first metadata.json could not be written (a full disk lets
            // directories be made after files no longer can) would stay empty for ever.
            if (!exchange.metadataWritten)
                exchange.removeEmptyDirectory();
            stop(exchange);
        }
        if (auto now = std::chrono::steady_clock::now().time_since_epoch().count();
            !writer_ || now - rootTouched_ >= rootTouchTicks) {
            updateModificationDate();
            rootTouched_ = now;
        } else {
            rootChanged_ = true;
        }
        break;
    case Kind::requestHead:
    case Kind::responseHead: {
        bool request = step.kind == Kind::requestHead;
        if (step.number != (request ? exchange.requestHeadNumber : exchange.responseHeadNumber))
            break;
        try {
            exchange.replace(request ? RecordingStore::requestHeaderFile : RecordingStore::responseHeaderFile,
                             step.text, request ? exchange.requestHead : exchange.responseHead);
        } catch (...) {
            auto error = currentError();
            stopAfterFailure(exchange);
            logWarning(request ? "Failed to write request header: " : "Failed to write response header: ",
                       error);
        }
        break;
    }
    case Kind::requestBody:
    case Kind::responseBody: {
        bool request = step.kind == Kind::requestBody;
        try {
            exchange.appendBody(request, step.text, step.cap);
        } catch (...) {
            auto error = currentError();
            if (!request)
                stopAfterFailure(exchange);
            logWarning(request ? "Failed to write request body: " : "Failed to write response body: ", error);
        }
        break;
    }
    case Kind::release:
        exchange.release();
        giveBack(exchange);
        break;
    case Kind::stop:
        stop(exchange);
        giveBack(exchange);
        break;
    case Kind::cancel:
        if (auto error = RecordingStore::removeExchangeDirectory(baseURL_, exchange.directory()))
            logWarning("Failed to remove cancelled transaction directory: ", error);
        stop(exchange);
        break;
    }
}

std::string RecordingListener::buffer(std::size_t size) {
    if (writer_)
        return writer_->buffers().take(size);
    std::string buffer;
    buffer.reserve(size);
    return buffer;
}

void RecordingListener::giveBack(Exchange& exchange) {
    // At its end the exchange's texts go back for the next exchanges' steps; a later step
    // then writes its files afresh.
    if (writer_)
        for (auto* text :
             {&exchange.metadata, &exchange.requestHead, &exchange.responseHead, &exchange.skippedMetadata})
            writer_->buffers().give(std::exchange(*text, {}));
}

void RecordingListener::afterWriterTurn() {
    if (rootChanged_.exchange(false)) {
        updateModificationDate();
        rootTouched_ = std::chrono::steady_clock::now().time_since_epoch().count();
    }
}

void RecordingListener::cancelRecording(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto exchange = exchangeOf(*evt)) {
        exchange->cancelled = true;
        {
            std::lock_guard lock(exchange->stepMutex);
            exchange->metadataWaits = false;
        }
        exchange->ended = true;
        submit(exchange, Kind::cancel);
    }
}

void RecordingListener::stopRecording(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto exchange = exchangeOf(*evt)) {
        flushMetadata(*evt, exchange);
        exchange->ended = true;
        submit(exchange, Kind::stop);
    }
}

void RecordingListener::stop(Exchange& exchange) {
    exchange.active = false;
    exchange.release();
}

void RecordingListener::stopAfterFailure(Exchange& exchange) {
    // The exchange's metadata stays that of the last step before the failed one, as when
    // every step is written, even where a later step's had taken its place.
    if (!exchange.skippedMetadata.empty()) {
        try {
            exchange.replace(RecordingStore::metadataFile, exchange.skippedMetadata, exchange.metadata);
        } catch (...) {
        }
    }
    stop(exchange);
}

void RecordingListener::endStep(const std::shared_ptr<ProxyEvent>& evt) {
    auto exchange = exchangeOf(*evt);
    if (!exchange)
        return;
    writeMetadata(*evt, exchange);
    {
        // A head after the end is written afresh, as the writer gives its texts back.
        std::lock_guard lock(exchange->stepMutex);
        std::string().swap(exchange->requestHeadGiven);
        std::string().swap(exchange->responseHeadGiven);
    }
    // Usually the last step: what stays open would otherwise wait for the record's end.
    submit(exchange, Kind::release);
}

void RecordingListener::writeMetadata(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto exchange = exchangeOf(*evt))
        deferMetadata(evt, exchange);
}

void RecordingListener::writeMetadata(ProxyEvent& evt, const std::shared_ptr<Exchange>& exchange) {
    std::string metadata;
    {
        std::lock_guard lock(exchange->stepMutex);
        exchange->lastBodyMetadata.reset();
        exchange->metadataWaits = false;
        metadata = recordingMetadata(evt, &exchange->times, buffer(1024));
    }
    submit(exchange, Kind::metadata, std::move(metadata), ++exchange->metadataNumber);
}

void RecordingListener::deferMetadata(const std::shared_ptr<ProxyEvent>& evt,
                                      const std::shared_ptr<Exchange>& exchange) {
    // Several steps of an exchange often follow each other in one turn of its queue (the
    // address, the URL, the request read whole), and a writer behind them would write the
    // last one's metadata only: it is built once, when the turn has ended. Without a writer
    // each step's file is written in its callback, as callers expect.
    auto* queue = writer_ ? DispatchQueue::current() : nullptr;
    if (!queue) {
        writeMetadata(*evt, exchange);
        return;
    }
    {
        std::lock_guard lock(exchange->stepMutex);
        exchange->lastBodyMetadata.reset();
        if (std::exchange(exchange->metadataWaits, true))
            return;
    }
    // The listener stays until then, so that a listener let go meanwhile still writes the step.
    queue->async([self = shared_from_this(), evt, exchange] { self->flushMetadata(*evt, exchange); });
}

void RecordingListener::flushMetadata(ProxyEvent& evt, const std::shared_ptr<Exchange>& exchange) {
    {
        std::lock_guard lock(exchange->stepMutex);
        if (!exchange->metadataWaits)
            return;
    }
    if (exchange->active)
        writeMetadata(evt, exchange);
}

void RecordingListener::updateModificationDate() {
    if (auto root = this->root())
        touch(root->handle.get());
}

void RecordingListener::writeRequestHeader(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto exchange = exchangeOf(*evt)) {
        flushMetadata(*evt, exchange);
        writeHeader(*evt, exchange, true);
    }
}

void RecordingListener::writeResponseHeader(const std::shared_ptr<ProxyEvent>& evt) {
    if (auto exchange = exchangeOf(*evt)) {
        flushMetadata(*evt, exchange);
        writeHeader(*evt, exchange, false);
    }
}

void RecordingListener::writeHeader(ProxyEvent& evt, const std::shared_ptr<Exchange>& exchange,
                                    bool request) {
    if (auto head = changedHead(evt, *exchange, request))
        submitHead(exchange, request, *head);
}

std::optional<std::string> RecordingListener::changedHead(ProxyEvent& evt, Exchange& exchange, bool request) {
    const auto& head = request ? evt.requestHeader : evt.responseHeader;
    if (!head)
        return std::nullopt;
    auto text = head->headerText();
    std::lock_guard lock(exchange.stepMutex);
    auto& given = request ? exchange.requestHeadGiven : exchange.responseHeadGiven;
    if (text == given)
        return std::nullopt;
    given = text;
    return text;
}

void RecordingListener::submitHead(const std::shared_ptr<Exchange>& exchange, bool request,
                                   const std::string& head) {
    auto& number = request ? exchange->requestHeadNumber : exchange->responseHeadNumber;
    auto text = buffer(head.size());
    text.assign(head);
    submit(exchange, request ? Kind::requestHead : Kind::responseHead, std::move(text), ++number);
}

void RecordingListener::proxyListenerReceivedRequestAddress(const std::shared_ptr<ProxyEvent>& evt) {
    startRecording(evt);
    writeMetadata(evt);
}

void RecordingListener::headerStep(const std::shared_ptr<ProxyEvent>& evt, bool request) {
    auto exchange = exchangeOf(*evt);
    if (!exchange)
        return;
    // A head handed over already (as received, then as sent on unchanged) writes nothing:
    // the step changes metadata.json alone.
    auto head = changedHead(*evt, *exchange, request);
    if (!head) {
        deferMetadata(evt, exchange);
        return;
    }
    writeMetadata(*evt, exchange);
    submitHead(exchange, request, *head);
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
    if (!metadataDue)
        flushMetadata(*evt, exchange);
    auto cap = RecordingStore::bodyCap(config->settings, evt->tunnel, request);
    auto bytes = reinterpret_cast<const char*>(data.data());
    // Only what fits below the cap is copied for the writer. The first piece goes even when
    // empty: it makes the file.
    std::size_t fits = data.size();
    if (writer_) {
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
    auto piece = buffer(fits);
    piece.assign(bytes, fits);
    submit(exchange, request ? Kind::requestBody : Kind::responseBody, std::move(piece), 0, cap);
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
