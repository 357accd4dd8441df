#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/DescriptorWatch.h"
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

TEST(DispatchQueue, SyncRunsInlineOnItsOwnQueueAndPassesOnExceptionsAsyncNeverRunsInline) {
    auto q = DispatchQueue::make("test");
    std::vector<std::string> order;
    bool inCall = false, asyncRanInline = false;
    q->sync([&] {
        order.push_back("outer");
        q->sync([&] { order.push_back("inner"); }); // no deadlock
        inCall = true;
        q->async([&] { asyncRanInline = inCall; });
        inCall = false;
        order.push_back("after");
    });
    EXPECT_EQ(order, (std::vector<std::string>{"outer", "inner", "after"}));
    EXPECT_THROW(q->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_EQ(q->onQueue([&] { return q->isCurrent() ? 7 : 0; }), 7); // the queue keeps running
    EXPECT_FALSE(asyncRanInline);
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
    std::atomic<int> ticks{0}, atOnce{0};
    auto start = std::chrono::steady_clock::now();
    std::atomic<std::chrono::steady_clock::duration> first{};
    auto t = q->every(10ms, [&] {
        if (ticks++ == 0)
            first = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(q->isCurrent());
    });
    auto slow = q->every(
        10s, [&] { ++atOnce; }, true);
    EXPECT_TRUE(test::waitFor([&] { return ticks >= 3 && atOnce == 1; }));
    EXPECT_GE(first.load(), 9ms); // the first tick waits one period, unless asked not to
    q->sync([&] {
        t->cancel();
        slow->cancel();
    });
    int after = ticks;
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(ticks, after);
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

// The watch owns its descriptor: a wait answers on the queue, never inside the call, true once
// there is something to read; closing answers the pending wait with false and closes the
// descriptor, which the peer sees.
TEST(DispatchQueue, DescriptorWatchAnswersOnTheQueueAndOwnsItsDescriptor) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    auto q = DispatchQueue::make("test");
    std::shared_ptr<DescriptorWatch> watch;
    std::atomic<int> answers{0};
    std::atomic<bool> lastAnswer{false};
    auto answer = [&](bool readable) {
        EXPECT_TRUE(q->isCurrent());
        lastAnswer = readable;
        ++answers;
    };
    ASSERT_EQ(::send(fds[1], "x", 1, MSG_NOSIGNAL), 1);
    q->sync([&] {
        watch = q->watchDescriptor(fds[0]);
        EXPECT_EQ(watch->descriptor(), fds[0]);
        watch->waitReadable(answer);
        EXPECT_EQ(answers, 0);
    });
    EXPECT_TRUE(test::waitFor([&] { return answers == 1; }));
    EXPECT_TRUE(lastAnswer);
    q->sync([&] {
        char byte;
        EXPECT_EQ(::read(watch->descriptor(), &byte, 1), 1);
        watch->waitReadable(answer);
        watch->close();
        watch->close();
        EXPECT_EQ(watch->descriptor(), -1);
    });
    EXPECT_TRUE(test::waitFor([&] { return answers == 2; }));
    EXPECT_FALSE(lastAnswer);
    errno = 0;
    EXPECT_EQ(::send(fds[1], "x", 1, MSG_NOSIGNAL), -1);
    EXPECT_EQ(errno, EPIPE);
    q->sync([&] { watch.reset(); });
    ::close(fds[1]);
}
