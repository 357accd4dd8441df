#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "proxy/engine/ExchangePause.h"
#include "tests/support/TestSupport.h"

namespace pemtrox {
namespace {

// Work asked for while running goes at once; while paused it waits for the last resume and
// then runs on the queue that asked, not on the thread that resumed. A resume without a
// pause lifts nothing that comes later, and a caller on no queue is never held.
TEST(ExchangePause, HeldWorkRunsOnItsOwnQueueAfterTheLastResume) {
    ExchangePause pause;
    auto queue = DispatchQueue::make("Exchange");
    std::atomic<int> ran{0};
    std::atomic<bool> onItsQueue{false};
    queue->sync([&] { pause.whenRunning([&] { ++ran; }); });
    EXPECT_EQ(ran, 1);

    pause.resume(); // nothing to lift
    pause.pause();
    pause.pause();
    EXPECT_TRUE(pause.paused());
    queue->sync([&] {
        pause.whenRunning([&] {
            onItsQueue = queue->isCurrent();
            ++ran;
        });
    });
    pause.whenRunning([&] { ++ran; }); // this thread runs no queue
    EXPECT_EQ(ran, 2);
    pause.resume();
    queue->sync([] {});
    EXPECT_EQ(ran, 2) << "one pause is still there";
    std::thread([&] { pause.resume(); }).join();
    EXPECT_TRUE(test::waitFor([&] { return ran == 3; }));
    EXPECT_TRUE(onItsQueue);
    EXPECT_FALSE(pause.paused());
}

// Work held for a queue that has gone is dropped, not run elsewhere.
TEST(ExchangePause, WorkOfAQueueThatWentIsDropped) {
    ExchangePause pause;
    pause.pause();
    auto ran = std::make_shared<std::atomic<bool>>(false);
    {
        auto queue = DispatchQueue::make("Gone");
        queue->sync([&] { pause.whenRunning([ran] { *ran = true; }); });
    }
    pause.resume();
    EXPECT_FALSE(*ran);
    EXPECT_EQ(ran.use_count(), 1) << "the held work was let go";
}

// A resume from another thread racing the queue's own asking: every piece of work runs
// exactly once, whichever comes first.
TEST(ExchangePause, ResumeRacingTheAskRunsEachPieceOnce) {
    auto queue = DispatchQueue::make("Race");
    std::atomic<int> ran{0};
    const int rounds = 2000;
    for (int i = 0; i < rounds; ++i) {
        auto pause = std::make_shared<ExchangePause>();
        pause->pause();
        queue->async([pause, &ran] { pause->whenRunning([&ran] { ++ran; }); });
        pause->resume();
    }
    EXPECT_TRUE(test::waitFor([&] { return ran == rounds; })) << ran;
    queue->sync([] {});
    EXPECT_EQ(ran, rounds);
}

} // namespace
} // namespace pemtrox
