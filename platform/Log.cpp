#include "platform/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <vector>

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "platform/Error.h"

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
    std::shared_ptr<LogFormatter> formatter;
    {
        std::lock_guard lock(formatterMutex_);
        formatter = formatter_;
    }
    if (formatter)
        write(formatter->format(message));
    else
        write(message.message);
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

FileLogger::FileLogger(std::filesystem::path directory, std::uint32_t levelMask,
                       std::chrono::seconds rollingFrequency)
    : Logger(levelMask), directory_(std::move(directory)), rollingFrequency_(rollingFrequency) {}

FileLogger::~FileLogger() {
    std::lock_guard lock(mutex_);
    if (sink_)
        sink_->flush();
}

void FileLogger::openFileLocked() {
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    auto now = std::chrono::system_clock::now();
    auto t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d--%H-%M-%S", &tm);
    path_ = directory_ / fmt::format("pemtrox {}-{:03}.log", stamp, ms);
    sink_ = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path_.string());
    configureSink(*sink_);
    openedAt_ = std::chrono::steady_clock::now();
}

std::filesystem::path FileLogger::currentLogFilePath() {
    std::lock_guard lock(mutex_);
    if (!sink_)
        openFileLocked();
    return path_;
}

void FileLogger::clearCurrentLogFile() {
    std::lock_guard lock(mutex_);
    if (!sink_)
        return;
    sink_->flush();
    std::error_code ec;
    std::filesystem::resize_file(path_, 0, ec);
    if (ec)
        throw GenericError("truncate(" + path_.string() + "): " + ec.message());
}

void FileLogger::write(std::string_view line) {
    std::lock_guard lock(mutex_);
    try {
        if (!sink_ || std::chrono::steady_clock::now() - openedAt_ >= rollingFrequency_)
            openFileLocked();
        sinkWrite(*sink_, line);
        // Each line reaches the file when it is logged: the file holds only warnings and
        // errors, and a user reading it while the program runs, or after a crash, must not
        // find it a block behind.
        sink_->flush();
    } catch (const std::exception& e) {
        // A log line must never take the process down; report once on stderr.
        std::fprintf(stderr, "log file write failed: %s\n", e.what());
        sink_.reset();
    }
}

void FileLogger::flush() {
    std::lock_guard lock(mutex_);
    if (sink_)
        sink_->flush();
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
