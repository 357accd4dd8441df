#include <csignal>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "proxy/recording/RecordingListener.h"
#include "proxy/recording/RecordingWriter.h"

#include "tests/recording/StoreSupport.h"
#include "tests/support/TestOrigin.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/ProxyHarness.h"

namespace pemtrox::test {
namespace {

using namespace std::chrono_literals;

std::string bytes(std::size_t n) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>((i * 2654435761u) >> 13);
    return out;
}

/// Serves "/bytes/N" with N bytes of bytes(N), reading and dropping any request body.
TestOrigin::Script bytesOrigin() {
    return TestOrigin::serveEach([](const std::string& head, const std::string&) {
        auto path = head.substr(head.find(' ') + 1);
        return TestOrigin::ok(bytes(std::stoul(path.substr(path.find("/bytes/") + 7))));
    });
}

class RecordingEngineTest : public testing::Test {
protected:
    void SetUp() override {
        listener = RecordingListener::make(store.root, {}, true);
        proxy.queue->sync([&] { proxy.server->addProxyListener(listener); });
    }
    Store store;
    TestOrigin origin{bytesOrigin()};
    ProxyHarness proxy;
    std::shared_ptr<RecordingListener> listener;
};

TEST_F(RecordingEngineTest, BodiesAreWhatPassedUpToTheCap) {
    const std::size_t cap = 1048576;
    for (std::size_t size : {std::size_t(300000), std::size_t(2 * cap)}) {
        auto up = store.temp.path() / "up.bin", down = store.temp.path() / "down.bin";
        std::ofstream(up, std::ios::binary) << bytes(size + 7).substr(7);
        int status = -1;
        curl(proxy,
             "-H 'Expect:' --data-binary @" + up.string() + " -o " + down.string() + " " +
                 origin.url("/bytes/" + std::to_string(size)),
             &status);
        EXPECT_EQ(status, 0);
        ASSERT_TRUE(store.ended(size == cap * 2 ? 2 : 1)) << store.dump();
        auto dir = store.exchanges().back();
        EXPECT_EQ(slurp(dir / "request.dat"), slurp(up).substr(0, cap)) << size;
        EXPECT_EQ(slurp(dir / "response.dat"), slurp(down).substr(0, cap)) << size;
        EXPECT_EQ(slurp(down), bytes(size));
        EXPECT_TRUE(
            metadataHolds(dir, R"(.method == "POST" and .status == "COMPLETE" and .request.sizes.body == )" +
                                   std::to_string(size)));
        EXPECT_EQ(slurp(dir / "request_hdr.http").substr(0, 5), "POST ");
        EXPECT_EQ(slurp(dir / "response_hdr.http").substr(0, 15), "HTTP/1.1 200 OK");
    }
}

TEST_F(RecordingEngineTest, OpaqueTunnelKeepsTheStartOfEachDirection) {
    auto up = bytes(20001).substr(1), down = bytes(30000);
    up[0] = '\x16'; // not HTTP: the tunnel stays opaque
    TestOrigin raw([&](OriginConnection& c, TestOrigin&) {
        c.readBytes(up.size());
        c.write(down);
        c.close();
    });
    RawClient client(proxy.port());
    auto target = "127.0.0.1:" + std::to_string(raw.port());
    client.send("CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
    EXPECT_NE(client.readUntil("\r\n\r\n").find(" 200 "), std::string::npos);
    client.send(up);
    EXPECT_EQ(client.readAll(10000).size(), down.size());
    client.close();
    ASSERT_TRUE(store.ended(1)) << store.dump();
    auto dir = store.exchanges()[0];
    EXPECT_EQ(slurp(dir / "request.dat"), up.substr(0, 10240));
    EXPECT_EQ(slurp(dir / "response.dat"), down.substr(0, 10240));
    EXPECT_TRUE(metadataHolds(dir, R"(.method == "CONNECT" and .tunnel)"));
}

TEST_F(RecordingEngineTest, CancelledTunnelsAndSelection) {
    curl(proxy,
         "-p -o /dev/null " + origin.url("/bytes/6")); // the CONNECT is cancelled, its request recorded
    RecordingSettings settings;
    settings.include.emplace_back().hostnamePattern = "127.0.0.1";
    settings.exclude.emplace_back().pathPattern = "/bytes/1*";
    listener->setSettings(settings);
    for (auto path : {"/bytes/5", "/bytes/10"})
        curl(proxy, "-o /dev/null " + origin.url(path));
    ASSERT_TRUE(store.ended(2)) << store.dump();
    auto dirs = store.exchanges();
    EXPECT_TRUE(metadataHolds(dirs[0], R"(.path == "\/bytes\/6" and .method == "GET")"));
    EXPECT_EQ(dirs[0].filename().string().substr(16), "0000000001");
    EXPECT_TRUE(metadataHolds(dirs[1], R"(.path == "\/bytes\/5")"));
}

TEST_F(RecordingEngineTest, HundredParallelClientsGetHundredDirectories) {
    runCommand("seq 100 | xargs -P 100 -I{} curl -s -o /dev/null --max-time 20 --noproxy '' -x " +
               proxy.proxyURL() + " " + origin.url("/bytes/{}"));
    ASSERT_TRUE(store.ended(100)) << store.dump();
    EXPECT_TRUE(jq("map(.path) | unique | length == 100", store.root.string() + "/*/metadata.json", true));
}

struct StallCase {
    const char* name;
    std::int64_t cap;
    bool pauses; // the download waits for the writer
};

void PrintTo(const StallCase& c, std::ostream* os) {
    *os << c.name;
}

class RecordingStallTest : public RecordingEngineTest, public testing::WithParamInterface<StallCase> {};

// While the writer is stalled, a download whose body is recorded stops once the writer is a
// bound behind, and one recorded only up to a small cap never waits, as nothing more of it is
// queued; an exchange that is not recorded runs on the same proxy meanwhile. Once the writer
// resumes, every recording holds what passed up to its cap.
TEST_P(RecordingStallTest, OnlyAnExchangeBeingRecordedWaitsForTheWriter) {
    const auto& c = GetParam();
    const std::size_t size = 12 << 20;
    RecordingSettings settings;
    settings.responseBodyMaxSize = c.cap;
    settings.exclude.emplace_back().pathPattern = "/bytes/100";
    listener->setSettings(settings);
    StalledWriter stall(*listener);
    auto down = store.temp.path() / "down.bin";
    int status = -1;
    std::thread download([&] {
        curl(proxy, "-o " + down.string() + " " + origin.url("/bytes/" + std::to_string(size)), &status);
    });
    // Paused: the file stops growing for a second, short of the whole body.
    std::uintmax_t seen = 0;
    auto still = std::chrono::steady_clock::now();
    waitFor(
        [&] {
            std::error_code error;
            auto now = fs::file_size(down, error);
            if (!error && now != seen)
                seen = now, still = std::chrono::steady_clock::now();
            return seen == size || (seen > 0 && std::chrono::steady_clock::now() - still > 1s);
        },
        20s);
    EXPECT_EQ(seen < size, c.pauses) << seen;
    int plainStatus = -1;
    EXPECT_EQ(curl(proxy, origin.url("/bytes/100"), &plainStatus), bytes(100));
    EXPECT_EQ(plainStatus, 0);
    stall.resume();
    download.join();
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(slurp(down) == bytes(size));
    ASSERT_TRUE(store.ended(1)) << store.dump();
    auto dir = store.exchanges().at(0);
    EXPECT_TRUE(slurp(dir / "response.dat") == bytes(size).substr(0, static_cast<std::size_t>(c.cap)));
    EXPECT_TRUE(
        metadataHolds(dir, ".status == \"COMPLETE\" and .response.sizes.body == " + std::to_string(size)));
}

INSTANTIATE_TEST_SUITE_P(Caps, RecordingStallTest,
                         testing::Values(StallCase{"WholeBody", 12 << 20, true},
                                         StallCase{"SmallCap", 65536, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A writer stalled past its bound, as on a disk that stopped answering, holds a recorded
// download no longer than that: the download ends while the writer is still stalled, and one
// warning names the store. A second download meanwhile neither waits nor warns again, and is
// not recorded (its number stays a gap). Once the writer moves, one line says so; the first
// recording holds what was queued before it went on, with no gap, and a third download is
// recorded whole again.
TEST_F(RecordingEngineTest, AStalledWriterHoldsRecordedExchangesNoLongerThanItsBound) {
    auto log = CapturingLogger::install();
    const std::size_t size = 12 << 20;
    RecordingSettings settings;
    settings.responseBodyMaxSize = size;
    listener->setSettings(settings);
    auto url = origin.url("/bytes/" + std::to_string(size));
    auto download = [&] {
        int status = -1;
        auto body = curl(proxy, url, &status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(body == bytes(size));
    };
    const auto stuckBound = RecordingWriter::stuckBound;
    {
        StalledWriter stall(*listener, true);
        auto began = std::chrono::steady_clock::now();
        download();
        EXPECT_GE(std::chrono::steady_clock::now() - began, stuckBound - 500ms)
            << "paced while it might move";
        download();
        // It names how long the writer has written nothing: the bound or a little more.
        EXPECT_EQ(log->count("Recording store " + store.root.string() + " has written nothing for "), 1);
        EXPECT_EQ(log->count("writes again"), 0);
    }
    ASSERT_TRUE(waitFor([&] { return log->count("writes again after") == 1; }, 20s));
    listener->waitForWrites();
    ASSERT_EQ(store.exchanges().size(), 1u) << store.dump();
    auto first = store.exchanges()[0];
    auto kept = slurp(first / "response.dat");
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), size);
    EXPECT_TRUE(kept == bytes(size).substr(0, kept.size())) << "a prefix, without a gap";
    EXPECT_TRUE(metadataHolds(first, R"(.status == "RECEIVING_RESPONSE_BODY")"))
        << slurp(first / "metadata.json");
    download();
    ASSERT_TRUE(waitFor(
        [&] {
            return store.exchanges().size() == 2 &&
                   metadataHolds(store.exchanges()[1], R"(.status == "COMPLETE")");
        },
        20s))
        << store.dump();
    EXPECT_TRUE(slurp(store.exchanges()[1] / "response.dat") == bytes(size));
    EXPECT_EQ(store.exchanges()[1].filename().string().substr(16), "0000000002") << "the second left a gap";
    EXPECT_EQ(log->count("has written nothing"), 1);
}

/// The recording proxy in a process of its own, started through bash with a prefix
/// (such as a ulimit) and arguments after the root; killed at the end.
class ProbeProcess {
public:
    ProbeProcess(const fs::path& root, const fs::path& log, const std::string& prefix = "",
                 const std::string& arguments = "") {
        auto portFile = root.parent_path() / "port";
        fs::remove(portFile);
        pid_ = std::stoi(runCommand("bash -c '" + prefix + " exec " PEMTROX_RECORDING_PROBE " " +
                                    root.string() + " " + arguments + "' >" + portFile.string() + " 2>>" +
                                    log.string() + " & echo $!"));
        waitFor([&] { return slurp(portFile).find('\n') != std::string::npos; });
        port_ = std::atoi(slurp(portFile).c_str());
    }
    ~ProbeProcess() { kill(); }
    /// Kills the process and waits until it has ended: a system call of its that was under
    /// way ends first.
    void kill() {
        ::kill(pid_, SIGKILL);
        waitFor([&] {
            auto stat = slurp("/proc/" + std::to_string(pid_) + "/stat");
            auto state = stat.rfind(") ");
            return state == std::string::npos || stat[state + 2] == 'Z';
        });
    }
    std::string proxyURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int pid_ = 0;
    int port_ = 0;
};

TEST(RecordingProcessTest, KilledMidRecordingLeavesEveryMetadataValid) {
    Store store;
    TestOrigin origin(bytesOrigin());
    auto target = origin.url("/bytes/1048576");
    auto temporaries = store.temp.path() / ".Recording.tmp";
    // On a busy machine a kill may find every exchange ended or not begun yet: more rounds
    // then, until one is cut off mid-way.
    auto cutOff = [&] {
        return !store.exchanges().empty() &&
               jq(R"(any(.status != "COMPLETE"))", store.root.string() + "/*/metadata.json", true);
    };
    for (int round = 0; round < 5 || (round < 12 && !cutOff()); ++round) {
        ProbeProcess probe(store.root, store.temp.path() / "log");
        runCommand("for c in 1 2 3 4; do (for i in $(seq 30); do curl -s -o /dev/null --max-time 10 "
                   "--noproxy '' -x " +
                   probe.proxyURL() + " " + target + " || break; done) >/dev/null 2>&1 & done");
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 80 * (round % 5)));
        probe.kill();
    }
    // Every metadata.json there is parses (jq fails on any that does not), and some show an
    // exchange cut off mid-way.
    EXPECT_FALSE(store.exchanges().empty());
    EXPECT_TRUE(cutOff());
    // The temporaries the killed processes left (a file being written, a directory not yet
    // in the store) lie beside the store, where the next start removes them; the exchanges'
    // directories hold nothing but the store's files. Those of a dead process stand in for
    // what a kill between two steps leaves none of.
    std::ofstream(temporaries / "999999999-1-0") << "stale";
    fs::create_directory(temporaries / "999999999-1-x7");
    std::ofstream(temporaries / "999999999-1-x7" / "metadata.json") << "{}";
    // Those of a program still running on the same container stay.
    auto live = std::to_string(::getpid()) + "-1-0";
    std::ofstream(temporaries / live) << "live";
    ProbeProcess next(store.root, store.temp.path() / "log");
    EXPECT_EQ(runCommand("ls -A " + temporaries.string()), live + "\n");
    EXPECT_EQ(runCommand("cd " + store.root.string() +
                         " && find . -mindepth 2 -type f | sed 's|.*/||' | sort -u | grep -vxE "
                         "'metadata.json|request(_hdr.http|.dat)|response(_hdr.http|.dat)'"),
              "");
}

/// The exchange directories of the store whose metadata.json is missing or does not parse.
std::string directoriesWithoutMetadata(const Store& store) {
    std::string out;
    for (const auto& dir : store.exchanges())
        if (!nlohmann::json::accept(slurp(dir / "metadata.json")))
            out += dir.filename().string() + ": " + runCommand("stat -c %F " + dir.string() + " 2>&1") +
                   runCommand("ls -lA " + dir.string() + " 2>&1") + "\n";
    return out;
}

// Many small exchanges begin at once while the probe's lanes are held back unevenly, and the
// probe is killed: no directory of the store lacks a metadata.json that parses, neither
// after the kills nor after the next start, which clears what they left among the temporaries.
TEST(RecordingProcessTest, KilledWithTheWriterBehindLeavesNoDirectoryWithoutMetadata) {
    Store store;
    TestOrigin origin(bytesOrigin());
    auto target = origin.url("/bytes/100");
    auto log = store.temp.path() / "log";
    auto temporaries = store.temp.path() / ".Recording.tmp";
    std::string found;
    for (int round = 0; round < 4; ++round) {
        ProbeProcess probe(store.root, log, "", "--slow-writer");
        runCommand("for c in $(seq 8); do (for i in $(seq 60); do curl -s -o /dev/null --max-time 10 "
                   "--noproxy '' -x " +
                   probe.proxyURL() + " " + target + " || break; done) >/dev/null 2>&1 & done");
        std::this_thread::sleep_for(std::chrono::milliseconds(400 + 150 * round));
        probe.kill();
        found += directoriesWithoutMetadata(store);
    }
    EXPECT_GT(store.exchanges().size(), 40u) << slurp(log);
    EXPECT_EQ(found, "") << "after the kills";
    ProbeProcess next(store.root, log);
    EXPECT_EQ(runCommand("ls -A " + temporaries.string()), "");
    EXPECT_EQ(directoriesWithoutMetadata(store), "") << "after the next start";
}

TEST(RecordingProcessTest, FileSizeLimitStopsBodyFilesAndKeepsMetadata) {
    Store store;
    TestOrigin origin(bytesOrigin());
    auto log = store.temp.path() / "log";
    ProbeProcess probe(store.root, log, "ulimit -f 100;"); // 102400 bytes
    auto up = store.temp.path() / "up.bin", down = store.temp.path() / "down.bin";
    std::ofstream(up, std::ios::binary) << bytes(1048576);
    int status = -1;
    runCommand("curl -s -S --max-time 20 --noproxy '' -x " + probe.proxyURL() +
                   " -H 'Expect:' --data-binary @" + up.string() + " -o " + down.string() + " " +
                   origin.url("/bytes/1048576"),
               &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(slurp(down), bytes(1048576)) << "the exchange itself is unharmed";
    // The response body's failure is the last write of the exchange.
    ASSERT_TRUE(
        waitFor([&] { return slurp(log).find("Failed to write response body: ") != std::string::npos; }));
    ASSERT_EQ(store.exchanges().size(), 1u);
    auto dir = store.exchanges()[0];
    EXPECT_EQ(fs::file_size(dir / "request.dat"), 102400u);
    EXPECT_EQ(fs::file_size(dir / "response.dat"), 102400u);
    EXPECT_TRUE(metadataHolds(dir, R"(.status == "RECEIVING_RESPONSE_BODY")"));
    EXPECT_NE(slurp(log).find("Failed to write request body: Failed to write data: File too large"),
              std::string::npos);
}

} // namespace
} // namespace pemtrox::test
