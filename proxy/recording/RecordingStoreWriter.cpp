#include "proxy/recording/RecordingStoreWriter.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Log.h"
#include "platform/LogEntryPoints.h"
#include "proxy/recording/FileOps.h"
#include "proxy/recording/RecordingStore.h"

namespace pemtrox {

namespace {

// How many taken names (left by an earlier listener of the same second) a new exchange
// skips before it gives up.
constexpr int maxDirectoryAttempts = 100000;

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

// Removes what lies in the directory of temporaries (files, and exchange directories never
// published) whose names `doomed` picks. A directory is first renamed to a name of this
// writer's (`stem`): a process that was killed a moment ago may still be moving it into the
// store, and either that move or this rename happens, never the move of a directory this
// removal has half emptied.
void removeTemporaries(const StoreRoot& temporary, const std::function<bool(std::string_view)>& doomed,
                       const std::string& stem) {
    int fd = ::openat(temporary.handle.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR* listing = ::fdopendir(fd);
    if (!listing) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;
    while (auto* entry = ::readdir(listing)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != ".." && doomed(name))
            names.emplace_back(name);
    }
    ::closedir(listing);
    int gone = 0;
    for (const auto& name : names) {
        if (::unlinkat(temporary.handle.get(), name.c_str(), 0) == 0 || (errno != EISDIR && errno != EPERM))
            continue;
        auto doomed = stem + "gone" + std::to_string(gone++);
        if (::renameat(temporary.handle.get(), name.c_str(), temporary.handle.get(), doomed.c_str()) != 0)
            continue;
        std::error_code error;
        std::filesystem::remove_all(temporary.path / doomed, error);
    }
}

// Whether a temporary's name (which begins with its process's id and "-") is that of a
// process that no longer runs (gone, or killed and not yet reaped); anything else there is no
// process's either. A process id taken again by another process keeps what it names until
// that one ends.
bool leftByEndedProcess(std::string_view name) {
    int process = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), process);
    if (error != std::errc() || end == name.data() + name.size() || *end != '-' || process <= 0)
        return true;
    if (::kill(process, 0) != 0)
        return errno == ESRCH;
    std::ifstream file("/proc/" + std::to_string(process) + "/stat");
    std::string stat(std::istreambuf_iterator<char>(file), {});
    auto state = stat.rfind(") ");
    return state != std::string::npos && stat.compare(state + 2, 1, "Z") == 0;
}

} // namespace

RecordingStoreWriter::RecordingStoreWriter(std::filesystem::path baseURL)
    : baseURL_(std::move(baseURL)),
      initialTimestamp_(RecordingStore::referenceTimestamp(std::chrono::system_clock::now())) {
    root(true);
    openTemporaryDirectory();
    writer_ = std::make_unique<RecordingWriter>(
        writerLanes, [this](RecordingStep& step) { return perform(step); }, [this] { afterWriterTurn(); },
        baseURL_.string());
}

RecordingStoreWriter::~RecordingStoreWriter() {
    // The steps still waiting are done while the writer is there for them to see: resetting
    // it first would clear the pointer that the lanes read as they work through them.
    writer_->waitForWrites();
    writer_.reset();
    // A stop that dropped a lower exchange's first metadata.json left the directories after
    // it waiting: those that hold one go into the store in number order all the same (their
    // numbers stay in order, with a gap). What is left among the temporaries (directories
    // without a metadata.json) goes with the writer.
    publishWritten();
    if (temporary_)
        removeTemporaries(
            *temporary_, [this](std::string_view name) { return name.starts_with(spareStem_); }, spareStem_);
}

std::int64_t RecordingStoreWriter::counter() {
    std::lock_guard lock(counterMutex_);
    return counter_;
}

std::shared_ptr<const StoreRoot> RecordingStoreWriter::root(bool reopen) {
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

std::shared_ptr<ExchangeRecording> RecordingStoreWriter::begin(std::shared_ptr<ExchangePause> pause) {
    auto exchange = std::make_shared<ExchangeRecording>();
    exchange->pause = std::move(pause);
    // Numbered here, in the order the exchanges begin; their directories appear in the store
    // in that order too, whichever lane of the writer gets to one first.
    takeNumber(exchange);
    exchange->lane = writer_->nextLane();
    exchange->useTemporaries(temporary_, spareName(exchange->lane),
                             spareStem_ + "x" + std::to_string(exchange->number));
    submit(exchange, Kind::makeDirectory);
    return exchange;
}

std::string RecordingStoreWriter::spareName(std::size_t lane) const {
    return spareStem_ + std::to_string(lane);
}

void RecordingStoreWriter::takeNumber(const std::shared_ptr<ExchangeRecording>& exchange) {
    std::lock_guard lock(counterMutex_);
    exchange->number = counter_++;
    unmade_.push_back(exchange);
}

void RecordingStoreWriter::settle(ExchangeRecording& exchange, bool failed) {
    {
        std::lock_guard lock(directoryMutex_);
        if (exchange.directoryState != ExchangeRecording::Directory::waiting)
            return;
        exchange.directoryState =
            failed ? ExchangeRecording::Directory::failed : ExchangeRecording::Directory::ready;
    }
    publishReady();
}

void RecordingStoreWriter::publishReady() {
    // A reader that lists the root must never find a name before a lower one of the series
    // that will still appear: the directories are moved in one at a time, in number order,
    // each lane moving in those before its own that are ready while their lanes are busy.
    std::lock_guard lock(directoryMutex_);
    for (;;) {
        std::shared_ptr<ExchangeRecording> next;
        {
            std::lock_guard counterLock(counterMutex_);
            if (unmade_.empty())
                return;
            auto state = unmade_.front()->directoryState;
            if (state == ExchangeRecording::Directory::waiting && !unmade_.front()->cancelled)
                return;
            next = std::move(unmade_.front());
            unmade_.pop_front();
        }
        // A cancelled exchange's lane removes what it made; its number stays a gap.
        if (next->cancelled)
            next->directoryState = ExchangeRecording::Directory::failed;
        if (next->directoryState == ExchangeRecording::Directory::ready)
            publish(next);
    }
}

void RecordingStoreWriter::publishWritten() {
    std::lock_guard lock(directoryMutex_);
    for (;;) {
        std::shared_ptr<ExchangeRecording> next;
        {
            std::lock_guard counterLock(counterMutex_);
            if (unmade_.empty())
                return;
            next = std::move(unmade_.front());
            unmade_.pop_front();
        }
        if (next->directoryState == ExchangeRecording::Directory::ready && !next->cancelled)
            publish(next);
    }
}

void RecordingStoreWriter::publish(const std::shared_ptr<ExchangeRecording>& exchange) {
    auto name = RecordingStore::directoryName(initialTimestamp_, exchange->number);
    auto root = this->root();
    int error = exchange->moveInto(root, name);
    if (error == ENOENT) {
        // The root may have been removed and made again since it was opened.
        root = this->root(true);
        error = exchange->moveInto(root, name);
    }
    if (error == 0) {
        exchange->directoryState = ExchangeRecording::Directory::published;
        return;
    }
    // A directory left by an earlier listener of the same second is never shared.
    if ((error == EEXIST || error == ENOTEMPTY) && ++exchange->directoryAttempts < maxDirectoryAttempts) {
        // The exchange takes the next number, behind those taken meanwhile.
        takeNumber(exchange);
        return;
    }
    logWarning("Failed to create directory for transaction: ",
               systemError("rename(" + (baseURL_ / name).string() + ")", error));
    exchange->directoryState = ExchangeRecording::Directory::failed;
    exchange->active = false;
    exchange->removeDirectory();
}

void RecordingStoreWriter::openTemporaryDirectory() {
    // The temporary files through which files are replaced, and the exchanges' directories
    // until they hold their first metadata.json, lie outside the store, beside the root, so
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
    // Names are "<process>-<writer>-<lane>" for files and "<process>-<writer>-x<number>"
    // for directories: what a process that ended left there (it crashed, or was killed) goes;
    // this process's other writers, and another program running on the same container, keep
    // theirs.
    static std::atomic<std::uint64_t> writers = 0;
    spareStem_ = std::to_string(::getpid()) + "-" + std::to_string(writers++) + "-";
    removeTemporaries(*temporary_, leftByEndedProcess, spareStem_);
}

void RecordingStoreWriter::submit(const std::shared_ptr<ExchangeRecording>& exchange, Kind kind,
                                  std::string text, std::uint64_t number, std::int64_t cap) {
    writer_->submit(exchange->lane, RecordingStep{exchange, kind, std::move(text), number, cap});
}

bool RecordingStoreWriter::perform(RecordingStep& step) {
    // No lock: an exchange's steps all run on its lane, one after the other.
    auto& exchange = *step.exchange;
    // A cancel reaches an exchange that the stuck writer let go on: its directory goes too.
    if (!exchange.active && !(step.kind == Kind::cancel && exchange.abandoned))
        return false;
    // Whether the exchange's directory was made: its end then removes or writes something.
    auto made = [&exchange] { return !exchange.directory().empty(); };
    switch (step.kind) {
    case Kind::makeDirectory:
        if (exchange.cancelled) {
            settle(exchange, true);
            exchange.active = false;
            return false;
        }
        if (!exchange.makeTemporaryDirectory()) {
            int error = errno;
            logWarning("Failed to create directory for transaction: ",
                       systemError("mkdir(" + temporaryDirectory().string() + ")", error));
            settle(exchange, true);
            exchange.active = false;
        }
        return true;
    case Kind::metadata: {
        // Of an exchange the writer let go on while stuck, every step queued is written: the
        // later one that replaced it may never have been queued.
        if (step.number != exchange.metadataNumber && !exchange.abandoned) {
            // A later step's metadata waits behind this one; kept in case a failure stops the
            // exchange before that one is written.
            exchange.skippedMetadata.swap(step.text);
            return false;
        }
        exchange.skippedMetadata.clear();
        bool changed = step.text != exchange.metadata;
        try {
            writeMetadata(exchange, step.text);
        } catch (...) {
            logWarning("Failed to write metadata: ", currentError());
            // A directory whose first metadata.json could not be written (a full disk lets
            // directories be made after files no longer can) never enters the store.
            stop(exchange);
        }
        if (auto now = std::chrono::steady_clock::now().time_since_epoch().count();
            now - rootTouched_ >= rootTouchTicks) {
            updateModificationDate();
            rootTouched_ = now;
        } else {
            rootChanged_ = true;
        }
        return changed;
    }
    case Kind::requestHead:
    case Kind::responseHead: {
        bool request = step.kind == Kind::requestHead;
        if (step.number != (request ? exchange.requestHeadNumber : exchange.responseHeadNumber) &&
            !exchange.abandoned)
            return false;
        auto& written = request ? exchange.requestHead : exchange.responseHead;
        bool changed = step.text != written;
        try {
            exchange.replace(request ? RecordingStore::requestHeaderFile : RecordingStore::responseHeaderFile,
                             step.text, written);
        } catch (...) {
            auto error = currentError();
            stopAfterFailure(exchange);
            logWarning(request ? "Failed to write request header: " : "Failed to write response header: ",
                       error);
        }
        return changed;
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
        return true;
    }
    case Kind::release: {
        // Closing files reaches no disk; removing a directory never written does.
        bool removes = !exchange.metadataWritten && made();
        abandonUnwritten(exchange);
        exchange.release();
        giveBack(exchange);
        return removes;
    }
    case Kind::stop: {
        bool writes =
            (!exchange.metadataWritten || (exchange.abandoned && !exchange.skippedMetadata.empty())) &&
            made();
        // The stop of an exchange that went on without its recording may come after a
        // skipped metadata step whose successor was never queued.
        if (exchange.abandoned)
            stopAfterFailure(exchange);
        else
            stop(exchange);
        giveBack(exchange);
        return writes;
    }
    case Kind::cancel: {
        bool removes = made();
        bool published;
        {
            std::lock_guard lock(directoryMutex_);
            published = exchange.directoryState == ExchangeRecording::Directory::published;
        }
        if (published) {
            auto directory = exchange.directory();
            if (int error = exchange.removeDirectory())
                logWarning("Failed to remove cancelled transaction directory: ",
                           systemError("remove(" + directory.string() + ")", error));
        } else {
            // Never published, and now never will be.
            exchange.removeDirectory();
            settle(exchange, true);
        }
        stop(exchange);
        return removes;
    }
    }
    return false;
}

void RecordingStoreWriter::abandonUnwritten(ExchangeRecording& exchange) {
    // An exchange that ends before its first metadata.json was written leaves no directory,
    // and keeps none of those after it from the store.
    if (!exchange.metadataWritten) {
        exchange.removeDirectory();
        settle(exchange, true);
    }
}

void RecordingStoreWriter::giveBack(ExchangeRecording& exchange) {
    // At its end the exchange's texts go back for the next exchanges' steps; a later step
    // then writes its files afresh.
    for (auto* text :
         {&exchange.metadata, &exchange.requestHead, &exchange.responseHead, &exchange.skippedMetadata})
        writer_->buffers().give(std::exchange(*text, {}));
}

void RecordingStoreWriter::afterWriterTurn() {
    if (rootChanged_.exchange(false)) {
        updateModificationDate();
        rootTouched_ = std::chrono::steady_clock::now().time_since_epoch().count();
    }
}

void RecordingStoreWriter::stop(ExchangeRecording& exchange) {
    abandonUnwritten(exchange);
    exchange.active = false;
    exchange.release();
}

void RecordingStoreWriter::stopAfterFailure(ExchangeRecording& exchange) {
    // The exchange's metadata stays that of the last step before the failed one, as when
    // every step is written, even where a later step's had taken its place.
    if (!exchange.skippedMetadata.empty()) {
        try {
            writeMetadata(exchange, exchange.skippedMetadata);
        } catch (...) {
        }
    }
    stop(exchange);
}

void RecordingStoreWriter::writeMetadata(ExchangeRecording& exchange, std::string& text) {
    exchange.replace(RecordingStore::metadataFile, text, exchange.metadata);
    // The directory may enter the store once it holds its first metadata.json.
    if (!std::exchange(exchange.metadataWritten, true))
        settle(exchange, false);
}

void RecordingStoreWriter::updateModificationDate() {
    if (auto root = this->root())
        touch(root->handle.get());
}

} // namespace pemtrox
