// A monitor: a lock its owner may take again and again, one condition, and waits that hand the
// lock to other threads for their length whatever the owner's nesting.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>

namespace Brim::PTA {

inline constexpr std::int64_t NS_PER_SEC = 1000000000;

// Now on the monotonic clock (CLOCK_MONOTONIC), in nanoseconds: the time base of WaitUntil.
unsigned long long MonotonicNanoseconds();

// The point `nanos` (0 or more) nanoseconds after `now`, normalised to nanoseconds below a second.
timespec DeadlineAfter(const timespec& now, long long nanos);

// Lock, Unlock and the waits are protected: a class becomes a monitor by deriving from this one and
// uses them from its own members. Unlock and the waits must be called by the thread that holds the
// lock; any other caller stops the program with a failed consistency check.
class Synchronizable {
  public:
    Synchronizable();
    virtual ~Synchronizable();

    Synchronizable(const Synchronizable&) = delete;
    Synchronizable& operator=(const Synchronizable&) = delete;

    // Wake one waiter, or all of them. Neither takes the lock.
    void Notify();
    void NotifyAll();

  protected:
    void Lock();
    void Unlock();
    // Waits until notified. A spurious wake-up returns too: callers test their condition in a loop.
    void Wait();
    // Waits at most `nanos` nanoseconds. False when the time ran out, or at once (keeping the lock)
    // when `nanos` is negative; true otherwise, a spurious wake-up included.
    bool Wait(long long nanos);
    // As Wait(long long), up to an absolute deadline on the MonotonicNanoseconds() clock; a
    // deadline already passed behaves as Wait(0).
    bool WaitUntil(unsigned long long nanos);

  private:
    // Parks the owner's nesting for the length of a condition wait, which releases the mutex at any
    // nesting, and gives it back once the wait holds the mutex again.
    class NestingReleaser {
      public:
        explicit NestingReleaser(Synchronizable* sync);
        ~NestingReleaser();

        NestingReleaser(const NestingReleaser&) = delete;
        NestingReleaser& operator=(const NestingReleaser&) = delete;

      private:
        Synchronizable* mSync;
        std::uint32_t mNesting;
    };

    bool IsHeldByCaller() const;
    bool WaitForDeadline(const timespec& deadline);

    pthread_mutex_t mMutex;
    // Read by Lock without the mutex held; see Lock.
    std::atomic<pthread_t> mWhichThread{};
    // Lock calls by the owner beyond the first; touched only by the thread that holds the mutex.
    std::uint32_t mRecursiveNesting = 0;
    pthread_cond_t mCondVar;
};

}  // namespace Brim::PTA
