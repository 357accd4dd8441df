#include <fcntl.h>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/DispatchQueue.h"
#include "proxy/engine/HttpFields.h"
#include "proxy/engine/ProxyEvent.h"
#include "proxy/engine/ReservedHosts.h"
#include "proxy/recording/RecordingError.h"
#include "proxy/recording/RecordingListener.h"
#include "proxy/recording/RecordingStore.h"
#include "tests/recording/StoreSupport.h"

namespace pemtrox {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<HttpFields> head(const std::string& firstLine, const std::string& host = "h") {
    auto fields = std::make_shared<HttpFields>();
    for (auto line : {firstLine + "\r\n", "Host: " + host + "\r\n", std::string("\r\n")})
        fields->addLine(line);
    return fields;
}

/// A file read as a slow reader does: opened, read in two reads with a pause between. None
/// when it cannot be opened.
std::optional<std::string> readInTwo(const fs::path& path, std::size_t first) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text(first, '\0');
    auto n = ::read(fd, text.data(), first);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    std::this_thread::sleep_for(std::chrono::microseconds(1500));
    char rest[8192];
    while ((n = ::read(fd, rest, sizeof rest)) > 0)
        text.append(rest, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

class RecordingListenerTest : public testing::Test {
protected:
    void make(RecordingSettings settings = {}) { listener = RecordingListener::make(root, settings, true); }
    std::shared_ptr<ProxyEvent> start(const std::string& host = "example.com") {
        auto evt = ProxyEvent::make(nullptr);
        evt->host = host;
        evt->scheme = "http";
        evt->status = ProxyEventStatus::receivedRequestFirstLine;
        listener->proxyListenerReceivedRequestAddress(evt);
        return evt;
    }
    fs::path directory(std::int64_t counter) {
        return root / RecordingStore::directoryName(listener->initialTimestamp(), counter);
    }
    /// What the store holds once the steps so far are written.
    std::string file(const fs::path& path) {
        listener->waitForWrites();
        return test::slurp(path);
    }
    test::Store store;
    fs::path root = store.root;
    std::shared_ptr<RecordingListener> listener;
    std::shared_ptr<test::CapturingLogger> log = test::CapturingLogger::install();
};

TEST_F(RecordingListenerTest, MakesOrRefusesTheRoot) {
    make();
    EXPECT_EQ(test::mode(root), 0700u);
    EXPECT_NO_THROW(RecordingListener::make(root, {}, true));
    EXPECT_THROW(RecordingListener::make(root, {}, false), RecordingError);
    test::runCommand("touch " + (store.temp.path() / "file").string());
    EXPECT_THROW(RecordingListener::make(store.temp.path() / "file", {}, true), RecordingError);
    EXPECT_THROW(RecordingListener::make(store.temp.path() / "no" / "parent", {}, true), Error);
}

// Written by a writer that keeps up, the store shows every step.
TEST_F(RecordingListenerTest, WritesEachStepOfAnExchange) {
    make();
    auto evt = start();
    auto dir = directory(0);
    EXPECT_EQ(file(dir / "metadata.json").substr(0, 40), R"({"status":"RECEIVED_REQUEST_FIRST_LINE",)");
    EXPECT_EQ(test::mode(dir), 0700u);
    evt->requestHeader = head("POST /x HTTP/1.1");
    evt->status = ProxyEventStatus::receivedRequestHeader;
    listener->proxyListenerReceivedRequestHeader(evt);
    EXPECT_EQ(file(dir / "request_hdr.http"), "POST /x HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_NE(file(dir / "metadata.json").find("RECEIVED_REQUEST_HEADER"), std::string::npos);
    evt->requestHeader = head("POST http://h/x HTTP/1.1");
    listener->proxyListenerSentRequestHeader(evt);
    EXPECT_EQ(file(dir / "request_hdr.http"), "POST http://h/x HTTP/1.1\r\nHost: h\r\n\r\n");
    for (auto piece : {"abc", "def"})
        listener->proxyListenerReceivingRequestBody(evt, toData(piece));
    evt->responseHeader = head("HTTP/1.1 200 OK");
    listener->proxyListenerReceivedResponseHeader(evt);
    listener->proxyListenerReceivingResponseBody(evt, toData("body"));
    evt->status = ProxyEventStatus::complete;
    listener->proxyListenerTransactionComplete(evt);

    EXPECT_EQ(file(dir / "response_hdr.http"), "HTTP/1.1 200 OK\r\nHost: h\r\n\r\n");
    EXPECT_EQ(test::slurp(dir / "request.dat"), "abcdef");
    EXPECT_EQ(test::slurp(dir / "response.dat"), "body");
    EXPECT_EQ(test::slurp(dir / "metadata.json").substr(0, 20), R"({"status":"COMPLETE")");
    EXPECT_EQ(test::runCommand("cd " + dir.string() + " && stat -c '%a %n' .* *"),
              "700 .\n700 ..\n600 metadata.json\n600 request.dat\n600 request_hdr.http\n600 response.dat\n"
              "600 response_hdr.http\n");
    EXPECT_EQ(listener->counter(), 1);
}

// A writer far behind skips the metadata and heads that later steps replaced while they
// waited, but loses and reorders nothing: each file ends with its latest text, the bodies
// hold every piece in order, a cancelled exchange leaves nothing, and no temporary file stays.
TEST_F(RecordingListenerTest, AWriterBehindEndsWithTheLatestOfEachFileAndEveryPiece) {
    make();
    test::StalledWriter stall(*listener);
    std::vector<std::shared_ptr<ProxyEvent>> events;
    for (int i = 0; i < 3; ++i)
        events.push_back(start("host" + std::to_string(i)));
    for (int round = 0; round < 3; ++round) {
        for (auto& evt : events) {
            evt->requestHeader = head("GET /" + std::to_string(round) + " HTTP/1.1");
            evt->status = ProxyEventStatus::receivedRequestHeader;
            listener->proxyListenerReceivedRequestHeader(evt);
            listener->proxyListenerReceivingRequestBody(evt, toData(std::to_string(round)));
            evt->responseHeader = head("HTTP/1.1 20" + std::to_string(round) + " X");
            listener->proxyListenerSentResponseHeader(evt);
            evt->status = ProxyEventStatus::receivingResponseBody;
            listener->proxyListenerReceivingResponseBody(evt, toData("r" + std::to_string(round)));
        }
    }
    listener->proxyListenerTransactionCancelled(events[1]);
    for (auto& evt : events) {
        evt->status = ProxyEventStatus::complete;
        listener->proxyListenerTransactionComplete(evt);
    }
    EXPECT_TRUE(store.exchanges().empty());
    stall.resume();
    listener->waitForWrites();
    ASSERT_EQ(store.exchanges(), (std::vector<fs::path>{directory(0), directory(2)}));
    // Numbered in the order they started, whichever lane of the writer made them first.
    EXPECT_TRUE(test::metadataHolds(directory(0), R"(.host == "host0")"));
    EXPECT_TRUE(test::metadataHolds(directory(2), R"(.host == "host2")"));
    for (auto& dir : store.exchanges()) {
        EXPECT_EQ(test::slurp(dir / "request_hdr.http"), "GET /2 HTTP/1.1\r\nHost: h\r\n\r\n");
        EXPECT_EQ(test::slurp(dir / "response_hdr.http"), "HTTP/1.1 202 X\r\nHost: h\r\n\r\n");
        EXPECT_EQ(test::slurp(dir / "request.dat"), "012");
        EXPECT_EQ(test::slurp(dir / "response.dat"), "r0r1r2");
        EXPECT_TRUE(test::metadataHolds(dir, R"(.status == "COMPLETE")"));
        EXPECT_EQ(test::runCommand("ls -A " + dir.string()),
                  "metadata.json\nrequest.dat\nrequest_hdr.http\nresponse.dat\nresponse_hdr.http\n");
    }
}

// The root is held open; one removed and made again while the listener runs takes the next
// exchanges; the root's date follows each exchange's metadata.
TEST_F(RecordingListenerTest, ARootMadeAgainTakesTheNextExchangesAndItsDateFollowsTheMetadata) {
    make();
    start();
    listener->waitForWrites();
    fs::remove_all(root);
    fs::create_directory(root);
    auto evt = start();
    listener->waitForWrites();
    EXPECT_EQ(store.exchanges(), std::vector<fs::path>{directory(1)});
    fs::last_write_time(root, fs::file_time_type::clock::now() - std::chrono::hours(24));
    evt->status = ProxyEventStatus::complete;
    listener->proxyListenerTransactionComplete(evt);
    EXPECT_NE(file(directory(1) / "metadata.json").find("COMPLETE"), std::string::npos);
    EXPECT_GT(fs::last_write_time(root), fs::file_time_type::clock::now() - std::chrono::minutes(1));
}

TEST_F(RecordingListenerTest, SelectsByReservedHostsIncludesAndExcludes) {
    MatchDefinition matchA, matchB, disabled;
    matchA.hostnamePattern = "a.*";
    matchB.hostnamePattern = "*.b";
    disabled.enabled = false;
    using Defs = std::vector<MatchDefinition>;
    const std::tuple<std::string, Defs, Defs, bool> cases[] = {
        {std::string(SSLTestHost), {}, {}, false}, {std::string(SSLTestHostLong), {}, {}, false},
        {"TLS-TEST.pemtrox", {}, {}, true},        {"x", {disabled}, {}, true},
        {"x", {disabled, matchA}, {}, false},      {"a.x", {disabled, matchA}, {}, true},
        {"a.b", {matchA}, {matchB}, false},        {"c.b", {}, {disabled, matchB}, false},
    };
    make();
    std::int64_t counter = 0;
    for (const auto& [host, include, exclude, recorded] : cases) {
        RecordingSettings settings;
        settings.include = include;
        settings.exclude = exclude;
        listener->setSettings(settings);
        EXPECT_EQ(listener->settingsHasIncludes(),
                  std::any_of(include.begin(), include.end(), [](auto& d) { return d.enabled; }));
        auto evt = start(host);
        EXPECT_EQ(evt->attributes.contains(RecordingListener::keyAttribute), recorded) << host;
        EXPECT_EQ(listener->counter(), counter += recorded);
        listener->waitForWrites();
        EXPECT_EQ(store.exchanges().size(), static_cast<std::size_t>(counter));
    }
}

TEST_F(RecordingListenerTest, TakenNamesAreSkippedAndFailedDirectoriesUseTheirNumber) {
    make();
    fs::create_directory(directory(0));
    fs::create_directory(directory(1));
    start();
    listener->waitForWrites();
    EXPECT_TRUE(fs::exists(directory(2) / "metadata.json"));
    fs::remove_all(root);
    auto evt = start();
    listener->waitForWrites();
    EXPECT_FALSE(RecordingListener::recordingOf(*evt));
    EXPECT_TRUE(log->contains("Failed to create directory for transaction: "));
    EXPECT_EQ(listener->counter(), 4);
}

TEST_F(RecordingListenerTest, FailedWritesStopTheRecordingExceptRequestBodies) {
    RecordingSettings settings;
    settings.requestBodyMaxSize = 100;
    make(settings);
    auto evt = start();
    auto dir = directory(0);
    listener->waitForWrites();
    fs::create_directory(dir / "request.dat"); // the first request piece cannot be written
    listener->proxyListenerReceivingRequestBody(evt, toData("lost"));
    listener->waitForWrites();
    EXPECT_TRUE(log->contains("Failed to write request body: "));
    fs::remove(dir / "request.dat");
    listener->proxyListenerReceivingRequestBody(evt, toData("later"));
    listener->waitForWrites();
    EXPECT_FALSE(fs::exists(dir / "request.dat")) << "no file with a gap";
    evt->status = ProxyEventStatus::receivedRequestBody;
    listener->proxyListenerReceivedRequest(evt);
    EXPECT_NE(file(dir / "metadata.json").find("RECEIVED_REQUEST_BODY"), std::string::npos);

    fs::create_directory(dir / "response.dat");
    listener->proxyListenerReceivingResponseBody(evt, toData("x"));
    listener->waitForWrites();
    EXPECT_TRUE(log->contains("Failed to write response body: "));
    evt->status = ProxyEventStatus::complete;
    listener->proxyListenerTransactionComplete(evt);
    EXPECT_EQ(file(dir / "metadata.json").find("COMPLETE"), std::string::npos);

    // A head that cannot take the place of what is at its name; then no spare can be made
    // at all: the first metadata.json of the next exchange fails, and its directory goes.
    auto block = [&](bool onHead) {
        if (onHead)
            fs::create_directory(directory(listener->counter() - 1) / "request_hdr.http");
        else
            fs::remove_all(listener->temporaryDirectory());
    };
    for (auto [onHead, message] : {std::pair{true, "Failed to write request header: "},
                                   std::pair{false, "Failed to write metadata: "}}) {
        auto next = start();
        listener->waitForWrites();
        block(onHead);
        next->requestHeader = head("GET / HTTP/1.1");
        next->status = ProxyEventStatus::receivedRequestHeader;
        listener->proxyListenerReceivedRequestHeader(next);
        listener->waitForWrites();
        EXPECT_TRUE(log->contains(message)) << message;
        listener->proxyListenerReceivingResponseBody(next, toData("x"));
        listener->waitForWrites();
        EXPECT_FALSE(fs::exists(directory(listener->counter() - 1) / "response.dat")) << message;
    }
    start();
    listener->waitForWrites();
    EXPECT_FALSE(fs::exists(directory(listener->counter() - 1))) << "no directory stays empty";
}

// A writer behind skips the metadata of the step into the response body, which a later step
// replaced; when that body piece then fails, the exchange stops with the skipped step's
// metadata, as a writer that kept up would have left it.
TEST_F(RecordingListenerTest, AFailureBehindASkippedStepLeavesThatStepsMetadata) {
    make();
    auto evt = start();
    listener->waitForWrites();
    fs::create_directory(directory(0) / "response.dat");
    {
        test::StalledWriter stall(*listener);
        evt->status = ProxyEventStatus::receivingResponseBody;
        listener->proxyListenerReceivingResponseBody(evt, toData("x"));
        evt->status = ProxyEventStatus::complete;
        listener->proxyListenerTransactionComplete(evt);
    }
    listener->waitForWrites();
    EXPECT_TRUE(log->contains("Failed to write response body: "));
    EXPECT_TRUE(test::metadataHolds(directory(0), R"(.status == "RECEIVING_RESPONSE_BODY")"))
        << test::slurp(directory(0) / "metadata.json");
}

// On a serving queue, the steps that change metadata.json alone write it once, after the
// queue's turn; whatever else the exchange does in that turn still comes after it (a cancel
// drops it), a head sent on unchanged adds nothing, and a listener let go meanwhile still
// writes it.
TEST_F(RecordingListenerTest, MetadataOfAQueueTurnIsWrittenOnceInItsPlace) {
    using Evt = std::shared_ptr<ProxyEvent>;
    auto status = [](ProxyEventStatus next) { return [next](Evt& e) { e->status = next; }; };
    auto request = [this](Evt& e) { listener->proxyListenerReceivedRequest(e); };
    auto requestHead = [this](const char* line, bool sent) {
        return [this, line, sent](Evt& e) {
            e->requestHeader = head(line);
            sent ? listener->proxyListenerSentRequestHeader(e)
                 : listener->proxyListenerReceivedRequestHeader(e);
        };
    };
    struct Case {
        std::vector<std::function<void(Evt&)>> steps;
        const char* status; // none: no directory stays
        const char* requestHead = nullptr;
    };
    const Case cases[] = {
        {{status(ProxyEventStatus::receivedRequestBody), request}, "RECEIVED_REQUEST_BODY"},
        {{status(ProxyEventStatus::complete),
          [this](Evt& e) { listener->proxyListenerTransactionComplete(e); }},
         "COMPLETE"},
        {{request, [this](Evt& e) { listener->proxyListenerTransactionCancelled(e); }}, nullptr},
        {{status(ProxyEventStatus::receivedRequestBody), request,
          [this](Evt& e) { listener->stopRecording(e); }, status(ProxyEventStatus::complete), request},
         "RECEIVED_REQUEST_BODY"},
        {{requestHead("GET / HTTP/1.1", false), status(ProxyEventStatus::connected),
          requestHead("GET / HTTP/1.1", true)},
         "CONNECTED",
         "GET / HTTP/1.1\r\nHost: h\r\n\r\n"},
        {{requestHead("GET / HTTP/1.1", false), requestHead("GET http://h/ HTTP/1.1", true), request},
         "RECEIVED_REQUEST_FIRST_LINE",
         "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n"},
        {{status(ProxyEventStatus::receivedRequestBody), request, [this](Evt&) { listener.reset(); }},
         "RECEIVED_REQUEST_BODY"},
    };
    auto queue = DispatchQueue::make("RecordingListenerTest");
    int index = 0;
    for (const auto& [steps, expected, requestText] : cases) {
        SCOPED_TRACE(testing::Message() << "case " << index++);
        test::Store own;
        listener = RecordingListener::make(own.root, {}, true);
        std::weak_ptr<RecordingListener> made = listener;
        queue->sync([&] {
            auto evt = start();
            for (const auto& step : steps)
                step(evt);
        });
        // Work that a turn posts can run after work posted from outside meanwhile: two more
        // turns make sure the end of that one has come.
        queue->sync([] {});
        queue->sync([] {});
        if (listener)
            listener->waitForWrites();
        // One let go finishes its writes as it goes, on whichever thread lets go of it last.
        ASSERT_TRUE(test::waitFor([&] { return listener || made.expired(); }, std::chrono::seconds(20)));
        auto dirs = own.exchanges();
        ASSERT_EQ(dirs.size(), expected ? 1u : 0u);
        if (!expected)
            continue;
        EXPECT_TRUE(test::metadataHolds(dirs[0], std::string(".status == \"") + expected + "\""))
            << test::slurp(dirs[0] / "metadata.json");
        EXPECT_EQ(fs::exists(dirs[0] / "request_hdr.http"), requestText != nullptr);
        if (requestText) {
            EXPECT_EQ(test::slurp(dirs[0] / "request_hdr.http"), requestText);
        }
        EXPECT_EQ(test::runCommand("ls -A " + dirs[0].string()).find(".tmp"), std::string::npos);
    }
    EXPECT_FALSE(log->contains("Failed"));
}

TEST_F(RecordingListenerTest, CancelledExchangesLeaveNothing) {
    make();
    auto evt = start();
    listener->proxyListenerReceivingRequestBody(evt, toData("abc"));
    listener->proxyListenerTransactionCancelled(evt);
    listener->proxyListenerReceivingResponseBody(evt, toData("abc"));
    listener->proxyListenerTransactionComplete(evt);
    listener->waitForWrites();
    EXPECT_TRUE(store.exchanges().empty());
}

TEST_F(RecordingListenerTest, BodiesOffOrCappedAtNothing) {
    RecordingSettings settings;
    settings.recordRequestBody = false;
    settings.responseBodyMaxSize = -5;
    make(settings);
    auto evt = start();
    evt->status = ProxyEventStatus::receivingRequestBody;
    listener->proxyListenerReceivingRequestBody(evt, toData("abc"));
    listener->proxyListenerReceivingResponseBody(evt, toData("abc"));
    EXPECT_NE(file(directory(0) / "metadata.json").find("RECEIVING_REQUEST_BODY"), std::string::npos);
    EXPECT_FALSE(fs::exists(directory(0) / "request.dat"));
    EXPECT_EQ(fs::file_size(directory(0) / "response.dat"), 0u);
}

// Both directions of an exchange interleaved on its queue, as a tunnel copies them, while the
// settings are replaced from another thread.
TEST_F(RecordingListenerTest, BothDirectionsAndNewSettingsAtOnce) {
    make();
    auto queue = DispatchQueue::make("serving");
    std::shared_ptr<ProxyEvent> evt;
    queue->sync([&] {
        evt = start();
        evt->tunnel = true;
    });
    std::thread settings([&] {
        for (int i = 0; i < 200; ++i)
            listener->setSettings(RecordingSettings{});
    });
    for (int i = 0; i < 200; ++i)
        queue->async([&] {
            listener->proxyListenerReceivingRequestBody(evt, Data(40, 'q'));
            listener->proxyListenerReceivingResponseBody(evt, Data(60, 's'));
        });
    settings.join();
    queue->sync([] {});
    queue->sync([] {});
    listener->waitForWrites();
    EXPECT_EQ(fs::file_size(directory(0) / "request.dat"), 8000u);
    EXPECT_EQ(fs::file_size(directory(0) / "response.dat"), 10240u);
}

// Exchanges started on four serving queues at once, written by the four lanes of a writer that
// is slowed unevenly on purpose, while another thread lists the root again and again: the
// directories appear in number order, so once a name is seen, every lower one that the store
// ends with exists already (those of cancelled exchanges, which go again, aside). A listing
// itself is no snapshot (one taken while names appear may lack some), so each lower name is
// looked up on its own after the listing.
TEST_F(RecordingListenerTest, DirectoriesAppearInNumberOrderWhicheverLaneGetsThereFirst) {
    make();
    auto lanes = listener->writerQueues();
    ASSERT_EQ(lanes.size(), 4u);
    std::atomic<bool> done = false;
    // Per listing: its highest number, and the lower numbers missing when looked up after it.
    std::vector<std::pair<std::int64_t, std::set<std::int64_t>>> listings;
    auto numbers = [&] {
        std::set<std::int64_t> seen;
        for (const auto& entry : fs::directory_iterator(root))
            seen.insert(std::stoll(entry.path().filename().string().substr(16)));
        return seen;
    };
    std::thread lister([&] {
        while (!done) {
            auto seen = numbers();
            if (seen.empty())
                continue;
            std::set<std::int64_t> missing;
            for (auto n = std::int64_t{0}; n < *seen.rbegin(); ++n)
                if (!fs::exists(directory(n)))
                    missing.insert(n);
            listings.emplace_back(*seen.rbegin(), std::move(missing));
        }
    });
    std::thread slower([&] {
        for (unsigned i = 0; !done; ++i) {
            lanes[(i * 7) % lanes.size()]->async(
                [i] { std::this_thread::sleep_for(std::chrono::microseconds(200 + 300 * (i % 5))); });
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::vector<std::shared_ptr<DispatchQueue>> serving;
    for (int q = 0; q < 4; ++q)
        serving.push_back(DispatchQueue::make("serving"));
    for (int round = 0; round < 25; ++round) {
        for (std::size_t q = 0; q < serving.size(); ++q) {
            serving[q]->async([this, q, round] {
                for (int n = 0; n < 4; ++n) {
                    auto evt = start();
                    if ((round + n + static_cast<int>(q)) % 6 == 0) {
                        listener->proxyListenerTransactionCancelled(evt);
                    } else {
                        evt->status = ProxyEventStatus::complete;
                        listener->proxyListenerTransactionComplete(evt);
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (auto& queue : serving)
        queue->sync([] {});
    listener->waitForWrites();
    done = true;
    lister.join();
    slower.join();
    listener->waitForWrites();
    auto present = numbers();
    EXPECT_GT(present.size(), 250u);
    EXPECT_GT(listings.size(), 10u);
    std::size_t gaps = 0;
    for (const auto& [highest, missing] : listings)
        for (auto n : missing)
            gaps += present.contains(n);
    EXPECT_EQ(gaps, 0u) << "of " << listings.size() << " listings";
}

// A stop while every lane of the writer is stalled, as on a disk that stopped answering, ends
// within its bound and drops what waits, logging how much; the store holds only whole files,
// an exchange whose later steps were dropped keeps the metadata.json last written for it, and
// those whose first one was dropped have no directory. The listener, let go with its lanes
// still stalled, ends once they go on, writing nothing more, and leaves no temporary file.
TEST_F(RecordingListenerTest, AStopWithTheWriterStalledEndsWithinItsBound) {
    make();
    auto evt = start();
    listener->waitForWrites();
    evt->status = ProxyEventStatus::receivedRequestURL;
    listener->proxyListenerReceivedRequestURL(evt);
    listener->waitForWrites();
    auto temporaries = "ls -A " + listener->temporaryDirectory().string();
    EXPECT_EQ(test::runCommand(temporaries), "") << "nothing temporary stays after a rewrite";
    std::weak_ptr<RecordingListener> made = listener;
    test::StalledWriter stall(*listener);
    evt->requestHeader = head("GET / HTTP/1.1");
    evt->status = ProxyEventStatus::complete;
    listener->proxyListenerReceivedRequestHeader(evt);
    listener->proxyListenerTransactionComplete(evt);
    for (int i = 0; i < 8; ++i)
        start();
    auto began = std::chrono::steady_clock::now();
    EXPECT_GE(listener->finishWrites(std::chrono::milliseconds(200)), 10u);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    EXPECT_TRUE(log->contains("steps not written within 200 ms: dropped"));
    auto late = start();
    late->status = ProxyEventStatus::complete;
    listener->proxyListenerTransactionComplete(late);
    listener.reset();
    EXPECT_FALSE(made.expired()) << "a stalled lane holds what it uses";
    stall.resume();
    ASSERT_TRUE(test::waitFor([&] { return made.expired(); }, std::chrono::seconds(20)));
    // Gone once its destructor has run, which may still be running on a lane's thread.
    EXPECT_TRUE(
        test::waitFor([&] { return test::runCommand(temporaries).empty(); }, std::chrono::seconds(20)))
        << "nothing temporary stays once the listener is gone";
    ASSERT_EQ(store.exchanges().size(), 1u);
    EXPECT_TRUE(test::metadataHolds(store.exchanges()[0], R"(.status == "RECEIVED_REQUEST_URL")"));
    EXPECT_EQ(test::runCommand("ls -A " + store.exchanges()[0].string()), "metadata.json\n");
}

// A stop that drops a lower exchange's first steps (its lane stalled) still publishes the one
// after it, ended and written on another lane, once the writer goes.
TEST_F(RecordingListenerTest, AStopKeepsTheExchangesWrittenAfterOneItDropped) {
    make();
    std::promise<void> released;
    listener->writerQueues()[0]->async([stalled = released.get_future().share()] { stalled.wait(); });
    auto dropped = start(), written = start();
    listener->proxyListenerTransactionComplete(written);
    listener->writerQueues()[1]->sync([] {});
    auto name = directory(1), temporaries = listener->temporaryDirectory();
    EXPECT_GE(listener->finishWrites(std::chrono::milliseconds(50)), 1u);
    listener.reset();
    released.set_value();
    ASSERT_TRUE(test::waitFor([&] { return fs::is_empty(temporaries); }, std::chrono::seconds(10)));
    EXPECT_EQ(store.exchanges(), std::vector{name});
}

// While four threads record exchanges whose metadata.json and request head are replaced at
// each step (lengths changing) on the four lanes, reader threads open live exchanges' files
// and read each in two reads with a pause between: every read is whole, and its own
// exchange's (the host it names is the one its directory showed first).
TEST_F(RecordingListenerTest, LiveReadersReadWholeFilesOfTheirOwnExchange) {
    make();
    ASSERT_EQ(listener->writerQueues().size(), 4u);
    std::atomic<bool> done = false;
    // The recorders go on until the readers have read enough (on a busy machine they read
    // less in the same time), within a time limit.
    std::atomic<std::size_t> readSoFar = 0, recorded = 0;
    const std::size_t wantedReads = 1500;
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::vector<std::thread> recorders;
    for (int t = 0; t < 4; ++t)
        recorders.emplace_back([&, t] {
            for (int i = 0; i < 150 || (readSoFar < wantedReads && std::chrono::steady_clock::now() < limit);
                 ++i) {
                ++recorded;
                auto host = "e" + std::to_string(t) + "-" + std::to_string(i);
                auto evt = start(host);
                for (int step = 0; step < 12; ++step) {
                    auto path = "/" + std::string(static_cast<std::size_t>((step * 37 + i) % 200), 'p');
                    evt->setPath(path);
                    evt->requestHeader = head("GET " + path + " HTTP/1.1", host);
                    evt->status = ProxyEventStatus::receivedRequestHeader;
                    listener->proxyListenerReceivedRequestHeader(evt);
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
                evt->status = ProxyEventStatus::complete;
                listener->proxyListenerTransactionComplete(evt);
            }
        });
    std::mutex resultsMutex;
    std::size_t reads = 0;
    std::vector<std::string> faults;
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&, r] {
            std::map<std::string, std::string> hostOf;
            std::size_t mine = 0;
            std::vector<std::string> found;
            auto own = [&](const std::string& dir, const std::string& host, const std::string& text) {
                auto [at, added] = hostOf.emplace(dir, host);
                if (at->second != host)
                    found.push_back(dir + " shows " + at->second + " then " + host + ": " + text);
            };
            while (!done) {
                std::vector<std::string> dirs;
                for (const auto& entry : fs::directory_iterator(root))
                    dirs.push_back(entry.path().string());
                std::sort(dirs.begin(), dirs.end());
                // The newest directories are the live ones.
                for (std::size_t k = dirs.size() > 12 ? dirs.size() - 12 : 0; k < dirs.size(); ++k) {
                    const auto& dir = dirs[k];
                    // (A directory without metadata.json is another fault, which other tests catch.)
                    auto metadata = readInTwo(dir + "/metadata.json", 30 + 10 * static_cast<std::size_t>(r));
                    if (!metadata)
                        continue;
                    auto json = nlohmann::json::parse(*metadata, nullptr, false);
                    if (json.is_discarded() || !json.contains("host"))
                        found.push_back(dir + " metadata.json read torn: " + *metadata);
                    else
                        own(dir, json["host"].get<std::string>(), *metadata);
                    auto head = readInTwo(dir + "/request_hdr.http", 20);
                    if (!head)
                        continue; // not written yet
                    const auto& requestHead = *head;
                    auto hostAt = requestHead.find("\r\nHost: ");
                    auto hostEnd = requestHead.find("\r\n\r\n");
                    if (!requestHead.starts_with("GET /") || hostAt == std::string::npos ||
                        hostEnd == std::string::npos || hostEnd + 4 != requestHead.size())
                        found.push_back(dir + " request_hdr.http read torn: " + requestHead);
                    else
                        own(dir, requestHead.substr(hostAt + 8, hostEnd - hostAt - 8), requestHead);
                    mine += 2;
                    readSoFar += 2;
                }
            }
            std::lock_guard lock(resultsMutex);
            reads += mine;
            faults.insert(faults.end(), found.begin(), found.end());
        });
    for (auto& recorder : recorders)
        recorder.join();
    listener->waitForWrites();
    done = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_GE(reads, wantedReads);
    EXPECT_EQ(faults.size(), 0u) << "of " << reads << " reads, e.g. " << (faults.empty() ? "" : faults[0])
                                 << "\n"
                                 << (faults.size() > 1 ? faults.back() : "");
    EXPECT_EQ(store.exchanges().size(), recorded.load());
}

} // namespace
} // namespace pemtrox
