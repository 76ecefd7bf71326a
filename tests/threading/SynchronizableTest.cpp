#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

#include "Brim_PTA_Synchronizable.h"

using namespace std::chrono_literals;
using Brim::PTA::DeadlineAfter;
using Brim::PTA::MonotonicNanoseconds;
using Brim::PTA::NS_PER_SEC;

namespace {

constexpr long long kLongTimeout = 10 * NS_PER_SEC;

// A monitor whose locking the tests drive from outside.
class TestMonitor : public Brim::PTA::Synchronizable {
  public:
    using Synchronizable::Lock;
    using Synchronizable::Unlock;
    using Synchronizable::Wait;
    using Synchronizable::WaitUntil;
};

// A second thread that takes the monitor once and lets it go: shows when the lock is free. The
// constructor returns once the thread has had time to block in Lock.
class Contender {
  public:
    explicit Contender(TestMonitor& monitor)
        : mThread([this, &monitor] {
              mStarted = true;
              monitor.Lock();
              mEntered = true;
              monitor.Unlock();
          }) {
        while (!mStarted) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(30ms);
    }
    ~Contender() {
        if (mThread.joinable()) {
            mThread.join();
        }
    }

    bool Entered() const { return mEntered; }
    void Join() { mThread.join(); }

  private:
    std::atomic<bool> mStarted{false};
    std::atomic<bool> mEntered{false};
    std::thread mThread;
};

// The calling thread holds `monitor` and needs exactly `unlocks` Unlock calls to free it: another
// thread stays out through the first `unlocks` - 1 of them and gets in after the last.
void ExpectFreedByUnlocks(TestMonitor& monitor, int unlocks) {
    Contender contender(monitor);
    for (int i = 1; i < unlocks; ++i) {
        monitor.Unlock();
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(contender.Entered()) << "the monitor was free before Unlock number " << unlocks;
    monitor.Unlock();
    contender.Join();
    EXPECT_TRUE(contender.Entered());
}

long long NanosSince(unsigned long long start) {
    return static_cast<long long>(MonotonicNanoseconds() - start);
}

TEST(SynchronizableTest, OwnerNestsAndOnlyTheLastUnlockFreesTheMonitor) {
    TestMonitor monitor;
    monitor.Lock();
    monitor.Lock();
    monitor.Lock();
    ExpectFreedByUnlocks(monitor, 3);

    // Free again: an ordinary lock and unlock pair works from scratch.
    monitor.Lock();
    ExpectFreedByUnlocks(monitor, 1);
}

TEST(SynchronizableTest, WaitLetsOthersInAndRestoresTheNesting) {
    TestMonitor monitor;
    bool notified = false;  // guarded by the monitor
    monitor.Lock();
    monitor.Lock();
    // The notifier can only get in because the wait gives up the lock at nesting 1.
    std::thread notifier([&] {
        monitor.Lock();
        notified = true;
        monitor.Notify();
        monitor.Unlock();
    });
    while (!notified) {
        monitor.Wait();
    }
    notifier.join();
    ExpectFreedByUnlocks(monitor, 2);
}

TEST(SynchronizableTest, NegativeTimeoutReturnsAtOnceKeepingTheLock) {
    TestMonitor monitor;
    monitor.Lock();
    Contender contender(monitor);
    EXPECT_FALSE(monitor.Wait(-1));
    EXPECT_FALSE(monitor.Wait(LLONG_MIN));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(contender.Entered());
    monitor.Unlock();
    contender.Join();
    EXPECT_TRUE(contender.Entered());
}

TEST(SynchronizableTest, ZeroTimeoutTimesOutAndRestoresTheNesting) {
    TestMonitor monitor;
    monitor.Lock();
    monitor.Lock();
    EXPECT_FALSE(monitor.Wait(0));
    ExpectFreedByUnlocks(monitor, 2);
}

TEST(SynchronizableTest, TimedWaitTimesOutAfterItsTimeout) {
    TestMonitor monitor;
    monitor.Lock();
    const unsigned long long start = MonotonicNanoseconds();
    EXPECT_FALSE(monitor.Wait(30 * 1000 * 1000LL));
    EXPECT_GE(NanosSince(start), 30 * 1000 * 1000LL);
    ExpectFreedByUnlocks(monitor, 1);
}

TEST(SynchronizableTest, TimedWaitReturnsTrueWhenNotified) {
    TestMonitor monitor;
    bool notified = false;
    monitor.Lock();
    std::thread notifier([&] {
        monitor.Lock();
        notified = true;
        monitor.Notify();
        monitor.Unlock();
    });
    bool result = true;
    while (!notified && result) {
        result = monitor.Wait(kLongTimeout);
    }
    EXPECT_TRUE(result);
    EXPECT_TRUE(notified);
    ExpectFreedByUnlocks(monitor, 1);
    notifier.join();
}

TEST(SynchronizableTest, NotifyAllWakesEveryWaiter) {
    TestMonitor monitor;
    int waiting = 0;  // guarded by the monitor, as is `go`
    bool go = false;
    std::atomic<int> timedOut{0};
    auto waiter = [&] {
        monitor.Lock();
        ++waiting;
        while (!go) {
            if (!monitor.Wait(kLongTimeout)) {
                ++timedOut;
                break;
            }
        }
        monitor.Unlock();
    };
    std::thread first(waiter);
    std::thread second(waiter);
    // Both waiters counted themselves and went straight into Wait without letting go in between:
    // once this thread holds the monitor and sees 2, both are parked in the condition wait.
    monitor.Lock();
    while (waiting < 2) {
        monitor.Unlock();
        std::this_thread::sleep_for(1ms);
        monitor.Lock();
    }
    go = true;
    monitor.NotifyAll();
    monitor.Unlock();
    first.join();
    second.join();
    EXPECT_EQ(timedOut, 0);
}

TEST(SynchronizableTest, WaitUntilAPassedDeadlineTimesOutAtOnce) {
    TestMonitor monitor;
    monitor.Lock();
    monitor.Lock();
    EXPECT_FALSE(monitor.WaitUntil(0));
    EXPECT_FALSE(monitor.WaitUntil(MonotonicNanoseconds() - 1));
    ExpectFreedByUnlocks(monitor, 2);
}

TEST(SynchronizableTest, WaitUntilTimesOutAtItsDeadline) {
    TestMonitor monitor;
    monitor.Lock();
    const unsigned long long deadline = MonotonicNanoseconds() + 30 * 1000 * 1000ULL;
    EXPECT_FALSE(monitor.WaitUntil(deadline));
    EXPECT_GE(MonotonicNanoseconds(), deadline);
    ExpectFreedByUnlocks(monitor, 1);
}

TEST(SynchronizableTest, WaitUntilTheFarFutureWaitsForANotification) {
    // A deadline beyond what fits a signed time left must still wait, not time out at once.
    TestMonitor monitor;
    bool notified = false;
    monitor.Lock();
    std::thread notifier([&] {
        monitor.Lock();
        notified = true;
        monitor.Notify();
        monitor.Unlock();
    });
    bool result = true;
    while (!notified && result) {
        result = monitor.WaitUntil(ULLONG_MAX);
    }
    EXPECT_TRUE(result);
    ExpectFreedByUnlocks(monitor, 1);
    notifier.join();
}

TEST(SynchronizableTest, DeadlineSplitsTheTimeoutIntoSecondsAndNanoseconds) {
    struct Case {
        timespec now;
        long long nanos;
        time_t seconds;
        long nanoseconds;
    };
    const Case cases[] = {
        {{0, 0}, 1500000000, 1, 500000000},
        {{0, 0}, 1000000000, 1, 0},
        {{0, 0}, 999999999, 0, 999999999},
        {{0, 0}, 0, 0, 0},
        {{10, 600000000}, 1500000000, 12, 100000000},  // nanoseconds carry into seconds
        {{10, 600000000}, 400000000, 11, 0},
        {{10, 999999999}, 1, 11, 0},
        {{0, 0}, LLONG_MAX, LLONG_MAX / NS_PER_SEC, LLONG_MAX % NS_PER_SEC},
    };
    for (const Case& c : cases) {
        const timespec deadline = DeadlineAfter(c.now, c.nanos);
        EXPECT_EQ(deadline.tv_sec, c.seconds) << c.nanos;
        EXPECT_EQ(deadline.tv_nsec, c.nanoseconds) << c.nanos;
    }
}

TEST(SynchronizableDeathTest, UnlockByAThreadThatDoesNotHoldTheLockStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            TestMonitor monitor;
            monitor.Unlock();
        },
        "failed assertion `IsHeldByCaller\\(\\)'");
    EXPECT_DEATH(
        {
            TestMonitor monitor;
            monitor.Lock();
            std::thread other([&] { monitor.Wait(0); });
            other.join();
        },
        "failed assertion `IsHeldByCaller\\(\\)'");
}

}  // namespace
