#include "Brim_PTA_Synchronizable.h"

#include <cerrno>

#include "Brim_Check.h"

namespace Brim::PTA {

unsigned long long MonotonicNanoseconds() {
    timespec now;
    BRIM_CHECK(clock_gettime(CLOCK_MONOTONIC, &now) == 0);
    return static_cast<unsigned long long>(now.tv_sec) * NS_PER_SEC +
           static_cast<unsigned long long>(now.tv_nsec);
}

timespec DeadlineAfter(const timespec& now, long long nanos) {
    timespec deadline;
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(nanos / NS_PER_SEC);
    deadline.tv_nsec = now.tv_nsec + static_cast<long>(nanos % NS_PER_SEC);
    if (deadline.tv_nsec >= NS_PER_SEC) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= NS_PER_SEC;
    }
    return deadline;
}

Synchronizable::Synchronizable() {
    BRIM_CHECK(pthread_mutex_init(&mMutex, nullptr) == 0);
    // Timed waits take an absolute deadline; on the monotonic clock, setting the wall clock neither
    // stretches nor cuts them.
    pthread_condattr_t attributes;
    BRIM_CHECK(pthread_condattr_init(&attributes) == 0);
    BRIM_CHECK(pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0);
    BRIM_CHECK(pthread_cond_init(&mCondVar, &attributes) == 0);
    pthread_condattr_destroy(&attributes);
}

Synchronizable::~Synchronizable() {
    pthread_cond_destroy(&mCondVar);
    pthread_mutex_destroy(&mMutex);
}

void Synchronizable::Notify() {
    pthread_cond_signal(&mCondVar);
}

void Synchronizable::NotifyAll() {
    pthread_cond_broadcast(&mCondVar);
}

bool Synchronizable::IsHeldByCaller() const {
    return pthread_equal(mWhichThread.load(std::memory_order_relaxed), pthread_self()) != 0;
}

void Synchronizable::Lock() {
    // Only the owner can find its own thread here: it wrote it itself, and nobody else writes it
    // while the owner holds the mutex. Any other thread sees 0 or another thread and blocks on the
    // mutex, which orders everything else, so relaxed accesses are enough.
    if (IsHeldByCaller()) {
        ++mRecursiveNesting;
        return;
    }
    BRIM_CHECK(pthread_mutex_lock(&mMutex) == 0);
    mRecursiveNesting = 0;
    mWhichThread.store(pthread_self(), std::memory_order_relaxed);
}

void Synchronizable::Unlock() {
    // Unlocking a default mutex from another thread is undefined; stop rather than go on.
    BRIM_CHECK(IsHeldByCaller());
    if (mRecursiveNesting != 0) {
        --mRecursiveNesting;
        return;
    }
    mWhichThread.store(pthread_t{}, std::memory_order_relaxed);
    BRIM_CHECK(pthread_mutex_unlock(&mMutex) == 0);
}

Synchronizable::NestingReleaser::NestingReleaser(Synchronizable* sync)
    : mSync(sync), mNesting(sync->mRecursiveNesting) {
    mSync->mRecursiveNesting = 0;
    mSync->mWhichThread.store(pthread_t{}, std::memory_order_relaxed);
}

Synchronizable::NestingReleaser::~NestingReleaser() {
    mSync->mRecursiveNesting = mNesting;
    mSync->mWhichThread.store(pthread_self(), std::memory_order_relaxed);
}

void Synchronizable::Wait() {
    BRIM_CHECK(IsHeldByCaller());
    NestingReleaser released(this);
    pthread_cond_wait(&mCondVar, &mMutex);
}

bool Synchronizable::Wait(long long nanos) {
    BRIM_CHECK(IsHeldByCaller());
    if (nanos < 0) {
        return false;
    }
    // Linux has no relative timed wait: the timeout becomes a deadline on the condition's clock.
    timespec now;
    BRIM_CHECK(clock_gettime(CLOCK_MONOTONIC, &now) == 0);
    return WaitForDeadline(DeadlineAfter(now, nanos));
}

bool Synchronizable::WaitUntil(unsigned long long nanos) {
    BRIM_CHECK(IsHeldByCaller());
    // The deadline goes to the wait as it is rather than as a time left: no second clock reading,
    // and no time left too large for Wait's signed argument. A past deadline times out at once.
    timespec deadline;
    deadline.tv_sec = static_cast<time_t>(nanos / NS_PER_SEC);
    deadline.tv_nsec = static_cast<long>(nanos % NS_PER_SEC);
    return WaitForDeadline(deadline);
}

bool Synchronizable::WaitForDeadline(const timespec& deadline) {
    NestingReleaser released(this);
    return pthread_cond_timedwait(&mCondVar, &mMutex, &deadline) != ETIMEDOUT;
}

}  // namespace Brim::PTA
