#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/AppMessageChannel.h"
#include "platform/DispatchQueue.h"
#include "platform/HandshakeWorkers.h"
#include "platform/NetworkNamespace.h"
#include "platform/Reachability.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;

namespace {

/// The names of the process's threads as the system shows them (top -H, perf, gdb).
std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        auto name = test::slurp(task.path() / "comm");
        if (!name.empty())
            names.push_back(name.substr(0, name.size() - 1));
    }
    return names;
}

} // namespace

/// Each kind of thread the platform starts carries the name of its queue or job, read back
/// while it runs; a name longer than the system keeps is cut to 15 bytes, not refused.
TEST(ThreadNames, EachKindOfThreadIsNamedAfterItsQueueOrJob) {
    test::TempDir dir;
    struct Row {
        const char* kind;
        std::vector<std::string> names;
        // Starts the threads and keeps them alive for the check, or names the threads it saw
        // itself when they are gone by then.
        std::function<std::shared_ptr<void>(std::vector<std::string>& seenInside)> start;
    } rows[] = {
        {"queue", {"Proxying"}, [](auto&) { return DispatchQueue::make("Proxying"); }},
        {"long label",
         {"ARatherLongQueu"},
         [](auto&) { return DispatchQueue::make("ARatherLongQueueLabel"); }},
        {"handshake workers",
         {"Handshake 1", "Handshake 2"},
         [](auto&) { return HandshakeWorkers::shared(); }},
        {"app messages",
         {"AppMessages"},
         [&](auto&) {
             return std::shared_ptr<AppMessageServer>(AppMessageServer::start(
                 dir.path() / "names.sock", [](auto&, bool) { return std::nullopt; }));
         }},
        {"reachability",
         {"Reachability"},
         [](auto&) {
             auto monitor = Reachability::make();
             monitor->start();
             return monitor;
         }},
        {"namespace work",
         {"NetnsRun"},
         [](auto& seen) {
             NetworkNamespace::current().run([&] { seen.push_back(test::slurp("/proc/thread-self/comm")); });
             seen.back().pop_back();
             return std::shared_ptr<void>();
         }},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.kind);
        if (std::string(row.kind) == "namespace work" && ::geteuid() != 0) {
            std::cerr << "entering a namespace needs root: that row is skipped\n";
            continue;
        }
        std::vector<std::string> seen;
        auto held = row.start(seen);
        auto named = [&] {
            if (!held)
                return seen == row.names; // seen inside, by the thread itself
            seen = threadNames();         // a new thread names itself when it begins
            return std::all_of(row.names.begin(), row.names.end(), [&](const std::string& name) {
                return std::find(seen.begin(), seen.end(), name) != seen.end();
            });
        };
        EXPECT_TRUE(test::waitFor(named))
            << testing::PrintToString(row.names) << " among " << testing::PrintToString(seen);
    }
}
