#include <gtest/gtest.h>

#include <atomic>

#include "event.h"
#include "thread.h"

TEST(Event, AutoResetAndWakesWaiter) {
    Event e;
    ASSERT_TRUE(e.valid());
    EXPECT_FALSE(e.Wait(0));
    e.Set();
    e.Set();
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.Wait(0)) << "one wait consumes the signal";

    std::atomic<bool> woke{false};
    Thread t;
    ASSERT_TRUE(t.Start([&] { woke = e.Wait(10000); }));
    e.Set();
    ASSERT_TRUE(t.Join(10000));
    EXPECT_TRUE(woke);
}

TEST(Thread, JoinWithDeadline) {
    Event release;
    Thread t;
    ASSERT_TRUE(t.Start([&] { release.Wait(10000); }));
    EXPECT_FALSE(t.Join(50)) << "still running";
    EXPECT_FALSE(t.Exited());
    release.Set();
    EXPECT_TRUE(t.Join(10000));
    EXPECT_TRUE(t.Exited());
}
