#include <atomic>
#include <mutex>

#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "platform/HostResolver.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;

TEST(HostResolver, ConcurrentLookupsAreEachAnsweredOnceOnTheAskingQueue) {
    std::vector<std::shared_ptr<DispatchQueue>> queues{DispatchQueue::make("a"), DispatchQueue::make("b")};
    struct Case {
        std::string name;
        bool resolves;
    };
    const std::vector<Case> cases{{"localhost", true},
                                  {"127.0.0.1", true},
                                  {"::1", true},
                                  {"no-such-host.invalid", false},
                                  {"", false}};
    std::mutex mutex;
    std::map<int, int> answers;
    std::atomic<int> wrongQueue{0}, total{0};
    const int rounds = 8;
    for (int i = 0; i < rounds * static_cast<int>(cases.size()); ++i) {
        auto queue = queues[i % 2];
        const Case& c = cases[i % cases.size()];
        HostResolver::resolve(c.name, queue, [&, i, queue, c](HostResolution r) {
            if (!queue->isCurrent())
                ++wrongQueue;
            EXPECT_EQ(!r.addresses.empty(), c.resolves) << c.name;
            EXPECT_EQ(r.errorCode == 0, c.resolves) << c.name;
            if (!c.resolves) {
                EXPECT_FALSE(r.errorMessage.empty());
            }
            if (c.name == "localhost") {
                for (auto& a : r.addresses)
                    EXPECT_TRUE(a == "127.0.0.1" || a == "::1") << a;
            }
            if (c.name == "::1") {
                EXPECT_EQ(r.addresses, std::vector<std::string>{"::1"});
            }
            std::lock_guard lock(mutex);
            ++answers[i];
            ++total;
        });
    }
    ASSERT_TRUE(test::waitFor([&] { return total == rounds * static_cast<int>(cases.size()); },
                              std::chrono::seconds(20)));
    for (auto& q : queues)
        q->sync([] {});
    EXPECT_EQ(wrongQueue, 0);
    for (auto& [i, n] : answers)
        EXPECT_EQ(n, 1) << i;
}
