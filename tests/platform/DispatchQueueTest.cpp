#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "tests/support/TestSupport.h"

using namespace pemtrox;
using namespace std::chrono_literals;

TEST(DispatchQueue, RunsWorkInOrderOnItsOwnThread) {
    auto q = DispatchQueue::make("test");
    std::vector<int> seen;
    std::thread::id worker;
    for (int i = 0; i < 100; ++i)
        q->async([&, i] {
            seen.push_back(i);
            worker = std::this_thread::get_id();
            EXPECT_TRUE(q->isCurrent());
        });
    q->sync([] {});
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(seen[i], i);
    EXPECT_NE(worker, std::this_thread::get_id());
    EXPECT_FALSE(q->isCurrent());
    EXPECT_EQ(DispatchQueue::current(), nullptr);
}

TEST(DispatchQueue, SyncFromTheQueueItselfRunsInlineInsteadOfDeadlocking) {
    auto q = DispatchQueue::make("test");
    std::vector<std::string> order;
    q->sync([&] {
        order.push_back("outer");
        q->sync([&] { order.push_back("inner"); });
        order.push_back("after");
    });
    EXPECT_EQ(order, (std::vector<std::string>{"outer", "inner", "after"}));
}

TEST(DispatchQueue, SyncPropagatesExceptions) {
    auto q = DispatchQueue::make("test");
    EXPECT_THROW(q->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    int value = 0;
    q->sync([&] { value = 7; }); // the queue keeps running
    EXPECT_EQ(value, 7);
}

TEST(DispatchQueue, AsyncNeverRunsInsideTheCall) {
    auto q = DispatchQueue::make("test");
    bool ranInline = false;
    bool inCall = false;
    q->sync([&] {
        inCall = true;
        q->async([&] { ranInline = inCall; });
        inCall = false;
    });
    q->sync([] {});
    EXPECT_FALSE(ranInline);
}

TEST(DispatchQueue, AfterRunsOnceUnlessCancelled) {
    auto q = DispatchQueue::make("test");
    std::atomic<int> fired{0}, cancelledFired{0};
    q->after(5ms, [&] { ++fired; });
    auto t = q->after(50ms, [&] { ++cancelledFired; });
    t->cancel();
    EXPECT_TRUE(test::waitFor([&] { return fired == 1; }));
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(cancelledFired, 0);
}

TEST(DispatchQueue, RepeatingTimerTicksUntilCancelled) {
    auto q = DispatchQueue::make("test");
    std::atomic<int> ticks{0};
    auto start = std::chrono::steady_clock::now();
    std::atomic<std::chrono::steady_clock::duration> first{};
    auto t = q->every(10ms, [&] {
        if (ticks++ == 0)
            first = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(q->isCurrent());
    });
    EXPECT_TRUE(test::waitFor([&] { return ticks >= 3; }));
    EXPECT_GE(first.load(), 9ms); // the first tick waits one period
    q->sync([&] { t->cancel(); });
    int after = ticks;
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(ticks, after);
}

TEST(DispatchQueue, RepeatingTimerCanTickAtOnce) {
    auto q = DispatchQueue::make("test");
    std::atomic<int> ticks{0};
    auto t = q->every(10s, [&] { ++ticks; }, true);
    EXPECT_TRUE(test::waitFor([&] { return ticks == 1; }, 2s));
    t->cancel();
}

TEST(DispatchQueue, DestroyingTheQueueFromItsOwnWorkDoesNotHang) {
    auto q = DispatchQueue::make("test");
    std::atomic<bool> done{false};
    q->async([&, q]() mutable {
        q.reset();
        done = true;
    });
    q.reset();
    EXPECT_TRUE(test::waitFor([&] { return done.load(); }));
}
