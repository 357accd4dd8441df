#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include <netdb.h>

#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "platform/HostResolver.h"
#include "tests/support/FakeDnsServer.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using Failure = HostResolution::Failure;

namespace {

/// A resolver that asks a fake DNS server; names starting with "dead" are never answered.
struct HostResolverTest : ::testing::Test {
    std::set<std::string> deadNames() {
        std::set<std::string> names;
        for (int i = 0; i < 40; ++i)
            names.insert("dead" + std::to_string(i) + ".test");
        return names;
    }
    test::FakeDnsServer dns{{{"good.test", "192.0.2.7"}}, deadNames()};
    std::shared_ptr<DispatchQueue> queue;
    std::mutex mutex;
    std::map<std::string, std::vector<HostResolution>> answers;

    void SetUp() override {
        HostResolver::configure({dns.address(), std::chrono::milliseconds(2500)});
        queue = DispatchQueue::make("resolver-test"); // its resolver starts with these settings
    }
    void TearDown() override { HostResolver::configure({}); }
    std::shared_ptr<HostLookup> resolve(const std::string& name) {
        return HostResolver::resolve(name, queue, [this, name](HostResolution r) {
            EXPECT_TRUE(queue->isCurrent());
            std::lock_guard lock(mutex);
            answers[name].push_back(std::move(r));
        });
    }
    std::size_t answered(const std::string& name) {
        std::lock_guard lock(mutex);
        return answers[name].size();
    }
};

} // namespace

TEST_F(HostResolverTest, AnswersEachLookupOnceOnTheAskingQueue) {
    struct Case {
        std::string name;
        Failure failure;
        std::vector<std::string> addresses;
    };
    const std::vector<Case> cases{
        {"good.test", Failure::none, {"192.0.2.7"}},
        {"localhost", Failure::none, {"127.0.0.1"}}, // from /etc/hosts
        {"127.0.0.1", Failure::none, {"127.0.0.1"}},
        {"::1", Failure::none, {"::1"}},
        {"missing.test", Failure::notFound, {}},
    };
    for (int round = 0; round < 3; ++round)
        for (const auto& c : cases)
            resolve(c.name);
    ASSERT_TRUE(test::waitFor([&] {
        for (const auto& c : cases)
            if (answered(c.name) < 3)
                return false;
        return true;
    }));
    queue->sync([] {});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(answered(c.name), 3u);
        const auto& r = answers[c.name].front();
        EXPECT_EQ(r.failure, c.failure);
        if (c.name == "localhost")
            EXPECT_FALSE(r.addresses.empty());
        else
            EXPECT_EQ(r.addresses, c.addresses);
        EXPECT_EQ(r.errorMessage.empty(), c.failure == Failure::none);
    }
}

TEST_F(HostResolverTest, DeadNamesTimeOutWithoutHoldingUpAGoodOne) {
    auto started = std::chrono::steady_clock::now();
    for (const auto& name : deadNames())
        resolve(name);
    resolve("good.test");
    ASSERT_TRUE(test::waitFor([&] { return answered("good.test") == 1; }));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2000));
    EXPECT_EQ(answers["good.test"].front().addresses, std::vector<std::string>{"192.0.2.7"});
    for (const auto& name : deadNames()) {
        ASSERT_TRUE(test::waitFor([&] { return answered(name) == 1; })) << name;
        EXPECT_EQ(answers[name].front().failure, Failure::timedOut);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
}

TEST_F(HostResolverTest, ACancelledLookupNeverAnswersAndLetsGoOfItsCompletion) {
    using Lookups = std::vector<std::shared_ptr<HostLookup>>;
    auto held = std::make_shared<int>(0);
    std::atomic<int> calls{0};
    auto start = [&](const std::string& name) {
        return HostResolver::resolve(name, queue, [held, &calls](HostResolution) { ++calls; });
    };
    resolve("good.test"); // its answer is kept from now on
    ASSERT_TRUE(test::waitFor([&] { return answered("good.test") == 1; }));
    struct Stage {
        const char* name;
        std::function<void()> run;
    } stages[] = {
        {"on the asking queue, in the call's turn",
         [&] {
             queue->sync([&] {
                 Lookups lookups;
                 for (std::string name : {"dead1.test", "missing.test", "192.0.2.1"})
                     lookups.push_back(start(name));
                 for (auto& lookup : lookups)
                     lookup->cancel();
             });
         }},
        {"from another thread, before the queue started it",
         [&] {
             std::promise<void> gate;
             queue->async([opened = gate.get_future().share()] { opened.wait(); });
             auto lookup = start("dead2.test");
             lookup->cancel();
             gate.set_value();
         }},
        {"from another thread, while its query is out",
         [&] {
             int asked = dns.queries();
             auto lookup = start("dead3.test");
             ASSERT_TRUE(test::waitFor([&] { return dns.queries() > asked; }));
             lookup->cancel();
         }},
        {"with its kept answer on the way", [&] { queue->sync([&] { start("good.test")->cancel(); }); }},
    };
    for (const auto& stage : stages) {
        SCOPED_TRACE(stage.name);
        stage.run();
        EXPECT_TRUE(test::waitFor([&] { return held.use_count() == 1; }));
        queue->sync([] {});
        EXPECT_EQ(calls, 0);
    }
    resolve("good.test"); // the queue's resolver still works
    ASSERT_TRUE(test::waitFor([&] { return answered("good.test") == 2; }));
    EXPECT_EQ(calls, 0);
}

TEST_F(HostResolverTest, AResolverThatCouldNotStartIsStartedAgainByTheNextLookup) {
    auto fresh = DispatchQueue::make("resolver-test");
    std::vector<HostResolution> results;
    for (const std::string& servers : std::vector<std::string>{"not an address", dns.address()}) {
        HostResolver::configure({servers});
        fresh->sync([&] {
            HostResolver::resolve("good.test", fresh, [&](HostResolution r) { results.push_back(r); });
        });
    }
    ASSERT_TRUE(test::waitFor([&] { return fresh->onQueue([&] { return results.size() == 2; }); }));
    EXPECT_EQ(results[0].failure, Failure::noResolver);
    EXPECT_EQ(results[1].addresses, std::vector<std::string>{"192.0.2.7"});
}

TEST_F(HostResolverTest, NamesThatCannotBeLookedUpFailInsideTheCall) {
    for (const std::string& name :
         std::vector<std::string>{"", "bad name", std::string(300, 'a'), "caf\xc3\xa9.test"}) {
        std::optional<HostResolution> result;
        queue->sync([&] { HostResolver::resolve(name, queue, [&](HostResolution r) { result = r; }); });
        ASSERT_TRUE(result) << name;
        EXPECT_EQ(result->failure, Failure::rejected);
        EXPECT_EQ(result->errorCode, EAI_NONAME);
        EXPECT_EQ(result->errorMessage, gai_strerror(EAI_NONAME));
    }
}

// A name asked again within its answer's time to live is answered from memory: so the
// resolver must still ask again once that time is up, and never keep a failure.
TEST(HostResolverAnswers, AreKeptForTheirTimeToLiveAndFailuresAreNot) {
    test::FakeDnsServer dns{{{"kept.test", "192.0.2.1"}}, {}, 1};
    HostResolver::configure({dns.address(), std::chrono::milliseconds(2500)});
    auto queue = DispatchQueue::make("resolver-kept-test");
    auto lookUp = [&](const std::string& name) {
        std::promise<HostResolution> answer;
        HostResolver::resolve(name, queue, [&](HostResolution r) { answer.set_value(std::move(r)); });
        return answer.get_future().get();
    };
    using Addresses = std::vector<std::string>;
    EXPECT_EQ(lookUp("kept.test").addresses, Addresses{"192.0.2.1"});
    int asked = dns.queries();
    dns.setAnswer("kept.test", "192.0.2.2");
    EXPECT_EQ(lookUp("kept.test").addresses, Addresses{"192.0.2.1"});
    EXPECT_EQ(dns.queries(), asked);

    EXPECT_EQ(lookUp("missing.test").failure, Failure::notFound);
    asked = dns.queries();
    EXPECT_EQ(lookUp("missing.test").failure, Failure::notFound);
    EXPECT_GT(dns.queries(), asked);

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(lookUp("kept.test").addresses, Addresses{"192.0.2.2"});
    HostResolver::configure({});
}

// Each queue's resolver keeps at most its bound of answers: up to it, every name is answered
// from memory; one name more lets the others go instead of growing past it.
TEST(HostResolverAnswers, AreKeptUpToTheirBoundAndNoFurther) {
    auto nameOf = [](std::size_t i) { return "n" + std::to_string(i) + ".test"; };
    std::map<std::string, std::string> answers;
    for (std::size_t i = 0; i <= HostResolver::answersKept; ++i)
        answers[nameOf(i)] = "192.0.2." + std::to_string(i % 250 + 1);
    test::FakeDnsServer dns{answers, {}};
    HostResolver::configure({dns.address(), std::chrono::milliseconds(2500)});
    auto queue = DispatchQueue::make("resolver-bound-test");
    std::atomic<std::size_t> found{0};
    // In rounds of 50 lookups at once: the fake server answers one query at a time.
    auto lookUpAll = [&](std::size_t from, std::size_t to) {
        for (std::size_t round = from; round < to; round += 50) {
            found = 0;
            std::size_t end = std::min(to, round + 50);
            for (std::size_t i = round; i < end; ++i)
                HostResolver::resolve(nameOf(i), queue, [&](HostResolution r) {
                    if (r.failure == Failure::none)
                        ++found;
                });
            if (!test::waitFor([&] { return found == end - round; }))
                return false;
        }
        return true;
    };
    ASSERT_TRUE(lookUpAll(0, HostResolver::answersKept)) << found << " found";
    int asked = dns.queries();
    ASSERT_TRUE(lookUpAll(0, HostResolver::answersKept));
    EXPECT_EQ(dns.queries(), asked) << "at its bound, every answer is still kept";

    ASSERT_TRUE(lookUpAll(HostResolver::answersKept, HostResolver::answersKept + 1));
    asked = dns.queries();
    ASSERT_TRUE(lookUpAll(HostResolver::answersKept, HostResolver::answersKept + 1));
    EXPECT_EQ(dns.queries(), asked) << "the newest answer is kept";
    ASSERT_TRUE(lookUpAll(0, 1));
    EXPECT_GT(dns.queries(), asked) << "one past the bound, the older answers went";
    HostResolver::configure({});
}
