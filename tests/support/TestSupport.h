#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace pemtrox::test {

/// A fresh directory, removed with everything in it at the end of the test. Its name carries
/// the test's process id: those of tests killed before their end are removed by the next one.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

/// Keeps every message it is given; installed for the life of the object.
class CapturingLogger : public Logger {
public:
    static std::shared_ptr<CapturingLogger> install(std::uint32_t levelMask = logLevelAll);
    explicit CapturingLogger(std::uint32_t levelMask) : Logger(levelMask) {}
    ~CapturingLogger() override;
    std::vector<std::string> lines();
    bool contains(const std::string& fragment);
    /// How many lines hold the fragment.
    int count(const std::string& fragment);
    void uninstall();

protected:
    void write(std::string_view line) override;

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::weak_ptr<CapturingLogger> self_;
};

/// Polls the condition until it holds or the time runs out; returns its last value.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(5));

/// A loopback port that refuses connections for the life of the object: a socket bound to
/// 127.0.0.1 that never listens. Unlike a port that was free a moment ago, no other test
/// running alongside can start listening on it meanwhile.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

/// A loopback port whose accept queue is full for the life of the object: connects to it
/// never complete (the kernel drops their SYNs), which is how a connect time-out is tested.
class BlackHole {
public:
    BlackHole();
    ~BlackHole();
    BlackHole(const BlackHole&) = delete;
    BlackHole& operator=(const BlackHole&) = delete;
    int port() const { return port_; }

private:
    int listener_ = -1;
    std::vector<int> fillers_;
    int port_ = 0;
};

/// The whole file's bytes ("" when it cannot be read).
std::string slurp(const std::filesystem::path& file);

/// The source tree: PEMTROX_SOURCE_DIR as ctest sets it, else the tree these tests were built
/// from, so that a test binary run by hand finds the same files.
std::filesystem::path sourceDirectory();

/// Whether the process of this id (decimal digits only) no longer runs: what a test named after
/// its process id and left behind can go. False for any other text.
bool processEnded(const std::string& id);

/// Runs a command through the shell and returns its standard output; exit status in *status.
std::string runCommand(const std::string& command, int* status = nullptr);

} // namespace pemtrox::test
