#include "base/loopthread.h"
#include "support/testenv.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <atomic>

TEST(LoopThread, RunsPassesUntilStoppedAndStartsAgain)
{
    std::atomic<int> passes{0};
    LoopThread loop("test", 5, [&] { ++passes; });
    EXPECT_TRUE(loop.stopRequested());
    loop.start();
    loop.start();   // a second start while running does nothing
    EXPECT_TRUE(loop.isRunning());
    ASSERT_TRUE(TestEnv::waitUntil([&] { return passes.load() >= 3; }));
    loop.stop();
    EXPECT_FALSE(loop.isRunning());
    const int stoppedAt = passes.load();
    TestEnv::spin(30);
    EXPECT_EQ(passes.load(), stoppedAt);

    loop.start();
    ASSERT_TRUE(TestEnv::waitUntil([&] { return passes.load() > stoppedAt; }));
}

TEST(LoopThread, StopDoesNotWaitOutALongPause)
{
    std::atomic<int> passes{0};
    LoopThread loop("slow", 600000, [&] { ++passes; });
    loop.start();
    QElapsedTimer timer;
    timer.start();
    loop.stop();
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_EQ(passes.load(), 0);
}
