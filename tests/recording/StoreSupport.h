#pragma once

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "platform/DispatchQueue.h"
#include "proxy/recording/RecordingListener.h"
#include "tests/support/TestSupport.h"

namespace pemtrox::test {

namespace fs = std::filesystem;

inline unsigned mode(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 0777;
}

/// Whether `jq -e filter` holds for the files (a shell pattern, read as one array with -s).
inline bool jq(const std::string& filter, const std::string& files, bool slurpAll = false) {
    int status = -1;
    runCommand("jq -e " + std::string(slurpAll ? "-s '" : "'") + filter + "' " + files + " >/dev/null 2>&1",
               &status);
    return status == 0;
}

/// Whether `jq -e filter` holds for the exchange directory's metadata.json.
inline bool metadataHolds(const fs::path& directory, const std::string& filter) {
    return jq(filter, "'" + (directory / "metadata.json").string() + "'");
}

/// A recording root in a fresh directory and the exchange directories in it.
struct Store {
    TempDir temp;
    fs::path root = temp.path() / "Recording";
    std::vector<fs::path> exchanges() const {
        std::vector<fs::path> out;
        for (const auto& entry : fs::directory_iterator(root))
            out.push_back(entry.path());
        std::sort(out.begin(), out.end());
        return out;
    }
    /// Every metadata.json, for failure messages.
    std::string dump() const { return runCommand("head -c 2000 " + root.string() + "/*/metadata.json"); }
    /// Waits until there are n exchanges and each has ended.
    bool ended(std::size_t n) const {
        auto filter =
            "length == " + std::to_string(n) + R"( and all(.status == "COMPLETE" or .status == "EXCEPTION"))";
        return waitFor(
            [&] { return exchanges().size() == n && jq(filter, root.string() + "/*/metadata.json", true); },
            std::chrono::seconds(20));
    }
};

/// Blocks a recording listener's writer until resumed (at the latest at the end of the test,
/// so that the listener can finish): as a slow disk that still moves would, the exchanges it
/// pauses waiting for as long as it is blocked; with `stuck`, as a disk that stopped
/// answering, for the listener's bound at most.
class StalledWriter {
public:
    explicit StalledWriter(RecordingListener& listener, bool stuck = false) {
        if (!stuck)
            listener.setStuckBound(std::chrono::minutes(10));
        auto released = released_.get_future().share();
        for (auto& queue : listener.writerQueues())
            queue->async([released] { released.wait(); });
    }
    ~StalledWriter() { resume(); }
    void resume() {
        if (!resumed_.exchange(true))
            released_.set_value();
    }

private:
    std::promise<void> released_;
    std::atomic<bool> resumed_{false};
};

} // namespace pemtrox::test
