#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <type_traits>

#include "Brim_PTA_Runnable.h"
#include "Brim_PTA_Thread.h"

using namespace std::chrono_literals;
using Brim::PTA::Runnable;
using Brim::PTA::Thread;

namespace {

// Owners delete what derives from Runnable through their own class, never through the interface.
static_assert(!std::is_destructible_v<Runnable>);

struct Observation {
    int detachState = -1;
    int policy = -1;
    int priority = -1;
};

// Records how its thread was set up. Thread objects are detached and cannot be joined, so Run's
// very last action is the release store the test waits for; nothing of the object is touched after.
class Probe : public Runnable {
  public:
    // Has Run delete `thread`, once the test says Start has returned. Call before Start.
    void DeleteInRun(Thread* thread) { mThreadToDelete = thread; }

    void Run() override {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getdetachstate(&attributes, &mObserved.detachState);
            pthread_attr_destroy(&attributes);
        }
        sched_param parameters{};
        if (pthread_getschedparam(pthread_self(), &mObserved.policy, &parameters) == 0) {
            mObserved.priority = parameters.sched_priority;
        }
        if (mThreadToDelete != nullptr) {
            while (!mStartReturned.load(std::memory_order_acquire)) {
                std::this_thread::yield();
            }
            delete mThreadToDelete;
        }
        mDone.store(true, std::memory_order_release);
    }

    void StartReturned() { mStartReturned.store(true, std::memory_order_release); }

    // Waits (generously) for Run to finish; false if it never does.
    bool AwaitRun() const {
        for (int i = 0; i < 10000 && !mDone.load(std::memory_order_acquire); ++i) {
            std::this_thread::sleep_for(1ms);
        }
        return mDone.load(std::memory_order_acquire);
    }

    const Observation& Observed() const { return mObserved; }

  private:
    Thread* mThreadToDelete = nullptr;
    std::atomic<bool> mStartReturned{false};
    std::atomic<bool> mDone{false};
    Observation mObserved;
};

Observation RunOnThread(int priority, Thread::eThreadPolicy policy) {
    Probe probe;
    Thread thread(&probe, priority, policy);
    EXPECT_TRUE(thread.Start());
    EXPECT_TRUE(probe.AwaitRun());
    return probe.Observed();
}

// Whether this process may put a thread under SCHED_FIFO (root, CAP_SYS_NICE or RLIMIT_RTPRIO).
bool MayUseFifo() {
    int result = -1;
    std::thread trial([&] {
        const sched_param parameters{1};
        result = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
    });
    trial.join();
    return result == 0;
}

TEST(ThreadTest, TimesliceThreadIsDetachedAndTimeShared) {
    const Observation observed = RunOnThread(0, Thread::kThreadPolicyTimeslice);
    EXPECT_EQ(observed.detachState, PTHREAD_CREATE_DETACHED);
    EXPECT_EQ(observed.policy, SCHED_OTHER);
    EXPECT_EQ(observed.priority, 0);
}

TEST(ThreadTest, RunMayDeleteItsOwnThread) {
    Probe probe;
    auto* thread = new Thread(&probe, 0, Thread::kThreadPolicyTimeslice);
    probe.DeleteInRun(thread);
    EXPECT_TRUE(thread->Start());
    probe.StartReturned();
    EXPECT_TRUE(probe.AwaitRun());
}

TEST(ThreadTest, FifoRunsAtTheMachBasePlusOffsetWhereAllowed) {
    if (MayUseFifo()) {
        const Observation observed = RunOnThread(0, Thread::kThreadPolicyFifo);
        EXPECT_EQ(observed.policy, SCHED_FIFO);
        EXPECT_EQ(observed.priority, 80);
        EXPECT_EQ(observed.detachState, PTHREAD_CREATE_DETACHED);
        // Offsets beyond Linux's range are clamped into it.
        EXPECT_EQ(RunOnThread(5, Thread::kThreadPolicyFifo).priority, 85);
        EXPECT_EQ(RunOnThread(50, Thread::kThreadPolicyFifo).priority,
                  sched_get_priority_max(SCHED_FIFO));
        EXPECT_EQ(RunOnThread(-100, Thread::kThreadPolicyFifo).priority,
                  sched_get_priority_min(SCHED_FIFO));
        EXPECT_EQ(RunOnThread(INT_MAX, Thread::kThreadPolicyFifo).priority,
                  sched_get_priority_max(SCHED_FIFO));
    } else {
        // Not allowed: the thread runs all the same, scheduled as created.
        const Observation observed = RunOnThread(0, Thread::kThreadPolicyFifo);
        EXPECT_EQ(observed.policy, SCHED_OTHER);
        EXPECT_EQ(observed.detachState, PTHREAD_CREATE_DETACHED);
    }
}

TEST(ThreadTest, FromARealTimeCreatorTimesliceIsTimeSharedAndRoundRobinInherits) {
    if (!MayUseFifo()) {
        GTEST_SKIP() << "this process may not make a SCHED_FIFO creator thread";
    }
    Observation timeslice;
    Observation roundRobin;
    std::thread creator([&] {
        const sched_param parameters{20};
        ASSERT_EQ(pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters), 0);
        timeslice = RunOnThread(7, Thread::kThreadPolicyTimeslice);
        roundRobin = RunOnThread(7, Thread::kThreadPolicyRoundRobin);
    });
    creator.join();
    EXPECT_EQ(timeslice.policy, SCHED_OTHER);
    EXPECT_EQ(timeslice.priority, 0);
    EXPECT_EQ(roundRobin.policy, SCHED_FIFO);
    EXPECT_EQ(roundRobin.priority, 20);
    EXPECT_EQ(roundRobin.detachState, PTHREAD_CREATE_DETACHED);
}

// In a child process that has given up the right to real-time scheduling: no real-time priority
// allowed by its limit, and no longer root (which would override the limit).
void StartFifoWithoutPrivilege() {
    const rlimit none{0, 0};
    if (setrlimit(RLIMIT_RTPRIO, &none) != 0 || (geteuid() == 0 && setuid(65534) != 0)) {
        std::fprintf(stderr, "cannot drop the privilege\n");
        std::exit(2);
    }
    Probe probe;
    Thread thread(&probe, 0, Thread::kThreadPolicyFifo);
    const bool started = thread.Start();
    if (!started || !probe.AwaitRun()) {
        std::fprintf(stderr, "the thread did not run\n");
        std::exit(3);
    }
    std::fprintf(stderr, "policy %d detached %d\n", probe.Observed().policy,
                 probe.Observed().detachState == PTHREAD_CREATE_DETACHED);
    std::exit(0);
}

TEST(ThreadDeathTest, FifoWithoutPrivilegeFallsBackSilentlyToTheDefault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child's only output is the line the test matches: Start itself reports nothing.
    EXPECT_EXIT(StartFifoWithoutPrivilege(), testing::ExitedWithCode(0),
                "^policy " + std::to_string(SCHED_OTHER) + " detached 1\n$");
}

}  // namespace
