#include <atomic>
#include <ctime>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/Error.h"
#include "platform/LogEntryPoints.h"
#include "proxy/io/CustomLogFormatter.h"
#include "proxy/io/ISO8601.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;

namespace {

// A local wall-clock time as a time point.
Date localTime(int year, int month, int day, int hour, int minute, int second, int millis) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(millis);
}

LogMessage message(std::uint32_t flag, std::string text) {
    return LogMessage{localTime(2026, 3, 4, 5, 6, 7, 89), flag,    std::move(text),
                      "/src/proxy/io/PipeStream.cpp",     "write", 123};
}

} // namespace

TEST(CustomLogFormatter, FormatsEveryFlagByteForByte) {
    CustomLogFormatter f;
    struct Case {
        std::uint32_t flag;
        const char* expected;
    } cases[] = {
        {1, "2026-03-04 05:06:07:089 ERRR  hello"},
        {2, "2026-03-04 05:06:07:089 WARN  hello"},
        {4, "2026-03-04 05:06:07:089 INFO  hello"},
        {8, "2026-03-04 05:06:07:089 DEBG  hello  [PipeStream:123]"},
        {16, "2026-03-04 05:06:07:089 VRBS  hello"},
        {3, "2026-03-04 05:06:07:089 UNKN  hello"},
        {0, "2026-03-04 05:06:07:089 UNKN  hello"},
        {32, "2026-03-04 05:06:07:089 UNKN  hello"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(f.format(message(c.flag, "hello")), c.expected) << "flag " << c.flag;
}

TEST(CustomLogFormatter, LastDaysOfDecemberKeepTheCalendarYear) {
    // 2025-12-29 lies in ISO week 1 of 2026; the line must still say 2025.
    EXPECT_EQ(CustomLogFormatter::formatTime(localTime(2025, 12, 29, 23, 59, 59, 999)),
              "2025-12-29 23:59:59:999");
    EXPECT_EQ(CustomLogFormatter::formatTime(localTime(2027, 1, 1, 0, 0, 0, 0)), "2027-01-01 00:00:00:000");
}

TEST(LogStatements, PercentSignsPassUnchanged) {
    auto capture = test::CapturingLogger::install();
    logMessage("100% done %@ %lli");
    LOG_INFO("{}% of {}", 50, "%s");
    capture->uninstall();
    EXPECT_EQ(capture->lines(), (std::vector<std::string>{"100% done %@ %lli", "50% of %s"}));
}

TEST(LogStatements, ArgumentsAreNotEvaluatedWhenNoLoggerTakesTheFlag) {
    auto capture = test::CapturingLogger::install(logLevelErrorWarning);
    int evaluated = 0;
    auto costly = [&] {
        ++evaluated;
        return 1;
    };
    LOG_VERBOSE("{}", costly());
    LOG_DEBUG("{}", costly());
    LOG_INFO("{}", costly());
    EXPECT_EQ(evaluated, 0);
    LOG_WARNING("{}", costly());
    EXPECT_EQ(evaluated, 1);
    capture->uninstall();
}

TEST(LogStatements, WarningAndErrorAppendTheErrorDescriptionDirectly) {
    auto capture = test::CapturingLogger::install();
    logWarning("Failed to clear log: ", GenericError("disk full"));
    logWarning("Failed: ", makeError<GenericError>("gone"));
    logError("Failed to start recording: ", GenericError("read-only"));
    logError("Failed: ", makeError<GenericError>("lost"));
    capture->uninstall();
    EXPECT_EQ(capture->lines(),
              (std::vector<std::string>{"Failed to clear log: disk full", "Failed: gone",
                                        "Failed to start recording: read-only", "Failed: lost"}));
}

TEST(FileLogger, WritesFormattedLinesAndRollsToANewFile) {
    test::TempDir dir;
    auto logger = std::make_shared<FileLogger>(dir.path(), logLevelErrorWarning, std::chrono::seconds(0));
    logger->setFormatter(std::make_shared<CustomLogFormatter>());
    logger->log(message(2, "first"));
    auto firstPath = logger->currentLogFilePath();
    // Each line is in the file as soon as it is logged, without a flush: a user reads the
    // file while the program runs.
    EXPECT_TRUE(test::waitFor([&] {
        return test::slurp(firstPath) == "2026-03-04 05:06:07:089 WARN  first\n";
    })) << test::slurp(firstPath);
    logger->log(message(4, "dropped: info is not taken"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    logger->log(message(1, "second"));
    logger->flush();
    EXPECT_NE(logger->currentLogFilePath(), firstPath);
    std::string all;
    for (auto& entry : std::filesystem::directory_iterator(dir.path()))
        all += test::runCommand("cat '" + entry.path().string() + "'");
    EXPECT_NE(all.find("WARN  first\n"), std::string::npos);
    EXPECT_NE(all.find("ERRR  second\n"), std::string::npos);
    EXPECT_EQ(all.find("dropped"), std::string::npos);
}

TEST(FileLogger, ClearEmptiesTheCurrentFile) {
    test::TempDir dir;
    FileLogger logger(dir.path());
    logger.log(message(1, "something"));
    auto path = logger.currentLogFilePath();
    logger.flush();
    EXPECT_GT(std::filesystem::file_size(path), 0u);
    logger.clearCurrentLogFile();
    logger.flush();
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    logger.log(message(1, "again"));
    logger.flush();
    EXPECT_EQ(test::runCommand("cat '" + path.string() + "'"), "again\n");
}

// The log file's disk (a small ext4 file system of the test's own) stops answering or fills
// up: the thread that logs goes on at once; once the disk answers, the one file takes the
// lines again, with a count of those dropped meanwhile; a full disk is reported once.
TEST(FileLogger, ADiskThatStopsAnsweringOrFillsUpHoldsNoThreadThatLogs) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounts a file system of its own: needs root";
    struct Row {
        const char *name, *fault, *mend;
        int reports;
    } rows[] = {
        // A guard thaws the disk should the test die while it is frozen.
        {"frozen", "setsid sh -c 'sleep 60; fsfreeze -u D' >/dev/null 2>&1 & echo $! >D.guard; fsfreeze -f D",
         "fsfreeze -u D; kill -- -$(cat D.guard)", 0},
        // A large write leaves room that small ones still take.
        {"full", "dd if=/dev/zero of=D/f bs=64k; dd if=/dev/zero of=D/f bs=1k oflag=append conv=notrunc",
         "rm D/f", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir dir;
        auto sh = [&](const std::string& command) { // D is the disk
            int status = -1;
            test::runCommand("cd '" + dir.path().string() + "' && (" + command + ") >/dev/null 2>&1",
                             &status);
            return status == 0;
        };
        if (!sh("mkdir D && truncate -s 4M D.img && mkfs.ext4 -q D.img && mount -o loop D.img D"))
            GTEST_SKIP() << "needs loop devices and mkfs.ext4";
        std::shared_ptr<void> unmount(nullptr, [&](void*) { sh("fsfreeze -u D; umount D"); });
        auto logger = std::make_shared<FileLogger>(dir.path() / "D");
        logger->log(message(1, "before"));
        logger->flush();
        testing::internal::CaptureStderr();
        sh(row.fault);
        auto logging = std::async(std::launch::async, [&] {
            for (int i = 0; i < 3000; ++i)
                logger->log(message(1, "line " + std::to_string(i)));
        });
        auto returned = logging.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
        sh(row.mend);
        logging.wait();
        EXPECT_TRUE(returned) << "a thread that logs waited for the disk";
        // Every line is in the file, or in a count of dropped lines there.
        auto tally = [&] {
            logger->flush();
            return test::runCommand("awk '/^line /{n++} / log lines dropped/{n+=$1} END{print n+0}' '" +
                                    logger->currentLogFilePath().string() + "'");
        };
        EXPECT_TRUE(test::waitFor([&] { return tally() == "3000\n"; }, std::chrono::seconds(10))) << tally();
        auto reported = testing::internal::GetCapturedStderr();
        EXPECT_EQ(test::runCommand("ls '" + dir.path().string() + "/D' | grep -c '[.]log$'"), "1\n");
        EXPECT_EQ(std::count(reported.begin(), reported.end(), '\n'), row.reports) << reported;
    }
}

// Loggers come and go while other threads log (tests install and remove capturing loggers
// while a queue still logs): a line goes to the loggers of the moment, and a list replaced
// meanwhile is not freed under a thread still walking it (the address sanitizer sees that).
TEST(LogStatements, LoggersAddedAndRemovedWhileAnotherThreadLogs) {
    auto steady = test::CapturingLogger::install();
    std::atomic<bool> done{false};
    std::atomic<int> logged{0};
    std::thread writer([&] {
        while (!done) {
            LOG_WARNING("line");
            logged.fetch_add(1, std::memory_order_release);
        }
    });
    // The race needs lines logged while the list is being replaced: the rounds go on until
    // the writer has logged a good many of them, not for a fixed count that may end before
    // its thread has even started.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int rounds = 0;
    while ((rounds < 2000 || logged.load(std::memory_order_acquire) < 2000) &&
           std::chrono::steady_clock::now() < deadline) {
        test::CapturingLogger::install()->uninstall();
        ++rounds;
    }
    const int linesDuringRounds = logged.load(std::memory_order_acquire);
    done = true;
    writer.join();
    EXPECT_GE(linesDuringRounds, 2000) << "the writer logged too little while loggers changed";
    // The steady logger was there for every line: none may be lost to a list swapped under it.
    EXPECT_EQ(steady->count("line"), logged.load());
    steady->uninstall();
}
