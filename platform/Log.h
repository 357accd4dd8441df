#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace spdlog::sinks {
class sink;
}

namespace pemtrox {

/// The bit values of the log flags.
enum class LogFlag : std::uint32_t { error = 1, warning = 2, info = 4, debug = 8, verbose = 16 };

constexpr std::uint32_t logLevelErrorWarning = 1 | 2;
constexpr std::uint32_t logLevelAll = 1 | 2 | 4 | 8 | 16;

/// One log statement as handed to the loggers.
struct LogMessage {
    std::chrono::system_clock::time_point timestamp;
    std::uint32_t flag = 0;
    std::string message;
    const char* file = "";
    const char* function = "";
    int line = 0;
    /// The source file's name without directories and extension.
    std::string fileName() const;
};

/// Turns a message into the text of one line (without the line end).
class LogFormatter {
public:
    virtual ~LogFormatter() = default;
    virtual std::string format(const LogMessage& message) = 0;
};

/// A destination of log lines. It takes the messages whose flag is in its level mask.
class Logger {
public:
    explicit Logger(std::uint32_t levelMask) : levelMask_(levelMask) {}
    virtual ~Logger() = default;
    std::uint32_t levelMask() const { return levelMask_; }
    /// Replaces the formatter; without one the bare message text is written.
    void setFormatter(std::shared_ptr<LogFormatter> formatter);
    void log(const LogMessage& message);
    virtual void flush() {}

protected:
    virtual void write(std::string_view line) = 0;
    /// The line for a message, as the formatter of the moment makes it.
    std::string formatted(const LogMessage& message);

private:
    std::uint32_t levelMask_;
    std::mutex formatterMutex_;
    std::shared_ptr<LogFormatter> formatter_;
};

/// Writes to standard error.
class ConsoleLogger : public Logger {
public:
    explicit ConsoleLogger(std::uint32_t levelMask = logLevelAll);
    ~ConsoleLogger() override;
    void flush() override;

protected:
    void write(std::string_view line) override;

private:
    std::shared_ptr<spdlog::sinks::sink> sink_;
};

/// Writes to files in one directory: a new file every `rollingFrequency`, no size limit.
/// Thread-safe. A thread of its own ("LogWriter") opens and writes the file, so a disk that
/// stops answering or fills up holds no thread that logs: a line only joins a bounded queue,
/// and a line that finds it full is dropped and counted (a line in the file says how many
/// once it takes lines again). A failed open or write is reported once on standard error and
/// tried again on the same file a little later.
class FileLogger : public Logger {
public:
    FileLogger(std::filesystem::path directory, std::uint32_t levelMask = logLevelErrorWarning,
               std::chrono::seconds rollingFrequency = std::chrono::seconds(86400));
    /// Gives the queued lines a few seconds to reach the file.
    ~FileLogger() override;
    /// The file being written (named on first use, made by the writer).
    std::filesystem::path currentLogFilePath();
    /// Empties the current file once the lines logged before are in it, on the writer's thread;
    /// a failure is logged as "Failed to clear log: " (to the loggers then registered).
    void clearCurrentLogFile();
    /// Waits until the queued lines are in the file, the file fails, or a few seconds pass.
    void flush() override;

protected:
    void write(std::string_view line) override;

private:
    struct Writer;
    void noteDroppedLocked();
    std::shared_ptr<Writer> writer_;
};

/// The logging framework: a set of loggers and the union of their level masks.
class Log {
public:
    static void addLogger(std::shared_ptr<Logger> logger);
    static void removeLogger(const std::shared_ptr<Logger>& logger);
    static void removeAllLoggers();
    /// Whether any logger takes the flag. Log macros test this before evaluating anything.
    static bool enabled(LogFlag flag);
    static void log(LogFlag flag, const char* file, const char* function, int line, std::string message);
    static void flush();
};

/// Flushes the log, writes the text to standard error and aborts.
[[noreturn]] void fatalError(std::string_view text);

} // namespace pemtrox

#define PEMTROX_LOG(flag, ...)                                                                               \
    do {                                                                                                     \
        if (::pemtrox::Log::enabled(flag))                                                                   \
            ::pemtrox::Log::log(flag, __FILE__, __func__, __LINE__, ::fmt::format(__VA_ARGS__));             \
    } while (0)

/// Log statements: fmt format strings; the arguments are evaluated only when a logger
/// takes the level.
#define LOG_ERROR(...) PEMTROX_LOG(::pemtrox::LogFlag::error, __VA_ARGS__)
#define LOG_WARNING(...) PEMTROX_LOG(::pemtrox::LogFlag::warning, __VA_ARGS__)
#define LOG_INFO(...) PEMTROX_LOG(::pemtrox::LogFlag::info, __VA_ARGS__)
#define LOG_DEBUG(...) PEMTROX_LOG(::pemtrox::LogFlag::debug, __VA_ARGS__)
#define LOG_VERBOSE(...) PEMTROX_LOG(::pemtrox::LogFlag::verbose, __VA_ARGS__)
