#include "platform/Log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "platform/Error.h"
#include "platform/ThreadName.h"

namespace pemtrox {

namespace {

struct Registry {
    std::mutex mutex;
    // Replaced as a whole so that logging walks an immutable snapshot without the lock.
    std::shared_ptr<const std::vector<std::shared_ptr<Logger>>> loggers =
        std::make_shared<std::vector<std::shared_ptr<Logger>>>();
    std::atomic<std::uint32_t> mask{0};
};

Registry& registry() {
    static Registry* r = new Registry(); // lives past static destruction: logging may run late
    return *r;
}

std::shared_ptr<const std::vector<std::shared_ptr<Logger>>> snapshot() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.loggers;
}

void replace(const std::function<void(std::vector<std::shared_ptr<Logger>>&)>& change) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto next = std::make_shared<std::vector<std::shared_ptr<Logger>>>(*r.loggers);
    change(*next);
    std::uint32_t mask = 0;
    for (auto& l : *next)
        mask |= l->levelMask();
    r.loggers = std::move(next);
    r.mask = mask;
}

// Sinks are given the finished line; the pattern adds only the line end.
void configureSink(spdlog::sinks::sink& sink) {
    sink.set_formatter(std::make_unique<spdlog::pattern_formatter>("%v"));
}

void sinkWrite(spdlog::sinks::sink& sink, std::string_view line) {
    spdlog::details::log_msg msg(spdlog::source_loc{}, "", spdlog::level::info,
                                 spdlog::string_view_t(line.data(), line.size()));
    sink.log(msg);
}

// Lines that wait for a log file that does not take them; later ones are dropped and counted.
constexpr std::size_t fileLogQueueLimit = 1000;
// How long a log file whose open or write failed (a full disk) is left alone before another try.
constexpr auto fileLogRetryDelay = std::chrono::seconds(2);
// How long a flush, a fatal error's included, and a file logger that goes wait for the writer.
constexpr auto fileLogFlushBound = std::chrono::seconds(3);

} // namespace

std::string LogMessage::fileName() const {
    std::string_view f(file ? file : "");
    if (auto slash = f.find_last_of('/'); slash != std::string_view::npos)
        f.remove_prefix(slash + 1);
    if (auto dot = f.find_last_of('.'); dot != std::string_view::npos && dot > 0)
        f = f.substr(0, dot);
    return std::string(f);
}

void Logger::setFormatter(std::shared_ptr<LogFormatter> formatter) {
    std::lock_guard lock(formatterMutex_);
    formatter_ = std::move(formatter);
}

void Logger::log(const LogMessage& message) {
    if (!(message.flag & levelMask_))
        return;
    write(formatted(message));
}

std::string Logger::formatted(const LogMessage& message) {
    std::shared_ptr<LogFormatter> formatter;
    {
        std::lock_guard lock(formatterMutex_);
        formatter = formatter_;
    }
    return formatter ? formatter->format(message) : message.message;
}

ConsoleLogger::ConsoleLogger(std::uint32_t levelMask)
    : Logger(levelMask), sink_(std::make_shared<spdlog::sinks::stderr_sink_mt>()) {
    configureSink(*sink_);
}

ConsoleLogger::~ConsoleLogger() = default;

void ConsoleLogger::write(std::string_view line) {
    sinkWrite(*sink_, line);
}

void ConsoleLogger::flush() {
    sink_->flush();
}

// What the logging threads and the writer share. The writer alone opens and writes the file,
// with the lock released; the lock covers only the queue, the file's name and the states.
struct FileLogger::Writer {
    std::filesystem::path directory;
    std::chrono::seconds rollingFrequency;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;    // to the writer: lines, a file's name, the stop
    std::condition_variable settled; // to flushes and the destructor: idle, failing or gone
    std::deque<std::string> queue;
    std::uint64_t dropped = 0;
    std::filesystem::path path;
    std::chrono::steady_clock::time_point openedAt;
    bool idle = true;     // the writer waits with nothing to do
    bool failing = false; // the last open or write failed; the next try is at retryAt
    std::chrono::steady_clock::time_point retryAt;
    bool stop = false;
    bool exited = false;
    bool clear = false; // empty the current file once the lines queued before are in it

    void namePathLocked() {
        auto now = std::chrono::system_clock::now();
        auto t = std::chrono::system_clock::to_time_t(now);
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        std::tm tm{};
        localtime_r(&t, &tm);
        char stamp[64];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d--%H-%M-%S", &tm);
        path = directory / fmt::format("pemtrox {}-{:03}.log", stamp, ms);
        openedAt = std::chrono::steady_clock::now();
    }

    void pushLocked(std::string line) {
        queue.push_back(std::move(line));
        idle = false;
        wake.notify_all();
    }

    void run();
};

void FileLogger::Writer::run() {
    nameCurrentThread("LogWriter");
    int fd = -1;
    std::filesystem::path fdPath;
    std::string batch;
    std::unique_lock lock(mutex);
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (failing && now < retryAt) {
            if (stop)
                break;
            wake.wait_until(lock, retryAt);
            continue;
        }
        for (auto& line : queue)
            batch += line;
        queue.clear();
        // A file named but not made yet (its name already given out) takes these lines first.
        if (!batch.empty() && (path.empty() || (path == fdPath && now - openedAt >= rollingFrequency)))
            namePathLocked();
        if (batch.empty() && path == fdPath && !clear) {
            idle = true;
            settled.notify_all();
            if (stop)
                break;
            wake.wait(lock);
            continue;
        }
        auto target = path;
        bool clearing = std::exchange(clear, false);
        lock.unlock();
        int error = 0;
        if (target != fdPath) {
            if (fd >= 0)
                ::close(fd);
            std::error_code ec;
            std::filesystem::create_directories(directory, ec);
            fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            fdPath = fd >= 0 ? target : std::filesystem::path();
            error = fd >= 0 ? 0 : errno;
        }
        // Each line reaches the file when it is logged (no buffer of our own): a user reads the
        // file while the program runs, or after a crash.
        while (!error && !batch.empty()) {
            auto n = ::write(fd, batch.data(), batch.size());
            if (n >= 0)
                batch.erase(0, static_cast<std::size_t>(n));
            else if (errno != EINTR)
                error = errno;
        }
        // Emptied by this thread, after the lines before it, so that a disk that stops
        // answering holds only this thread; a file never made has nothing to empty.
        int clearError = 0;
        if (clearing && !error && fd >= 0 && ::ftruncate(fd, 0) != 0)
            clearError = errno;
        // Once per failure, not per line: the same file is tried again later with what waits.
        if (error && !failing)
            std::fprintf(stderr, "log file write failed: %s: %s\n", target.c_str(),
                         std::generic_category().message(error).c_str());
        if (clearError || (clearing && error))
            LOG_WARNING("Failed to clear log: {}",
                        GenericError("truncate(" + target.string() +
                                     "): " + std::generic_category().message(clearError ? clearError : error))
                            .description());
        lock.lock();
        failing = error != 0;
        if (failing) {
            retryAt = std::chrono::steady_clock::now() + fileLogRetryDelay;
            settled.notify_all();
        }
    }
    lock.unlock();
    if (fd >= 0)
        ::close(fd);
    lock.lock();
    exited = true;
    settled.notify_all();
}

FileLogger::FileLogger(std::filesystem::path directory, std::uint32_t levelMask,
                       std::chrono::seconds rollingFrequency)
    : Logger(levelMask), writer_(std::make_shared<Writer>()) {
    writer_->directory = std::move(directory);
    writer_->rollingFrequency = rollingFrequency;
    writer_->thread = std::thread([writer = writer_] { writer->run(); });
    // Lines logged just before the program ends are still in the queue.
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit([] { Log::flush(); }); });
}

FileLogger::~FileLogger() {
    bool exited = false;
    {
        std::unique_lock lock(writer_->mutex);
        noteDroppedLocked();
        writer_->stop = true;
        writer_->wake.notify_all();
        exited = writer_->settled.wait_for(lock, fileLogFlushBound, [&] { return writer_->exited; });
    }
    // A writer that a disk still holds finishes on its own: it keeps what it uses alive.
    if (exited)
        writer_->thread.join();
    else
        writer_->thread.detach();
}

void FileLogger::noteDroppedLocked() {
    if (!writer_->dropped)
        return;
    auto count = std::exchange(writer_->dropped, 0);
    writer_->pushLocked(
        formatted(
            LogMessage{std::chrono::system_clock::now(), static_cast<std::uint32_t>(LogFlag::warning),
                       fmt::format("{} log lines dropped: the log file did not take them in time", count),
                       __FILE__, __func__, __LINE__}) +
        "\n");
}

std::filesystem::path FileLogger::currentLogFilePath() {
    std::lock_guard lock(writer_->mutex);
    if (writer_->path.empty()) {
        writer_->namePathLocked();
        writer_->idle = false;
        writer_->wake.notify_all();
    }
    return writer_->path;
}

void FileLogger::clearCurrentLogFile() {
    std::lock_guard lock(writer_->mutex);
    if (writer_->path.empty())
        return;
    writer_->clear = true;
    writer_->idle = false;
    writer_->wake.notify_all();
}

void FileLogger::write(std::string_view line) {
    std::lock_guard lock(writer_->mutex);
    if (writer_->queue.size() >= fileLogQueueLimit) {
        ++writer_->dropped;
        return;
    }
    noteDroppedLocked();
    writer_->pushLocked(std::string(line) + '\n');
}

void FileLogger::flush() {
    auto& w = *writer_;
    std::unique_lock lock(w.mutex);
    if (w.queue.size() < fileLogQueueLimit)
        noteDroppedLocked();
    w.settled.wait_for(lock, fileLogFlushBound, [&] { return w.idle || w.failing || w.exited; });
}

void Log::addLogger(std::shared_ptr<Logger> logger) {
    replace([&](auto& v) { v.push_back(std::move(logger)); });
}

void Log::removeLogger(const std::shared_ptr<Logger>& logger) {
    replace([&](auto& v) { v.erase(std::remove(v.begin(), v.end(), logger), v.end()); });
}

void Log::removeAllLoggers() {
    replace([](auto& v) { v.clear(); });
}

bool Log::enabled(LogFlag flag) {
    return registry().mask.load(std::memory_order_relaxed) & static_cast<std::uint32_t>(flag);
}

void Log::log(LogFlag flag, const char* file, const char* function, int line, std::string message) {
    LogMessage msg{std::chrono::system_clock::now(),
                   static_cast<std::uint32_t>(flag),
                   std::move(message),
                   file,
                   function,
                   line};
    // The snapshot is held by name: a range over `*snapshot()` would let the temporary go
    // before the loop, and a logger removed meanwhile would free the list being walked.
    auto loggers = snapshot();
    for (auto& logger : *loggers)
        logger->log(msg);
}

void Log::flush() {
    auto loggers = snapshot();
    for (auto& logger : *loggers)
        logger->flush();
}

void fatalError(std::string_view text) {
    LOG_ERROR("{}", text);
    Log::flush();
    std::fprintf(stderr, "Fatal error: %.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
    std::abort();
}

} // namespace pemtrox
