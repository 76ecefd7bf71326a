// Runs a Runnable on a new, detached POSIX thread with a chosen scheduling policy.
#pragma once

#include <pthread.h>

#include "Brim_PTA_Runnable.h"

namespace Brim::PTA {

class Thread {
  public:
    enum eThreadPolicy {
        kThreadPolicyTimeslice = 0,
        kThreadPolicyRoundRobin = 1,
        kThreadPolicyFifo = 2,
    };

    // Creates no thread; Start does. `r` is not owned and must outlive its Run().
    Thread(Runnable* r, int priority, eThreadPolicy policy);
    // Neither joins nor cancels the thread: the object may go at any time after Start has
    // returned, also from inside Run().
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Creates and starts the thread; call once. Returns false, with nothing started, when the
    // system cannot create a thread. Callers that have a way to report that check the result.
    bool Start();
    // The thread's handle; valid once Start has returned true.
    pthread_t GetPThread() const { return mPThread; }

  private:
    static void* RunHelper(void* param);

    Runnable* mRunnable;
    int mPriority;
    eThreadPolicy mPolicy;
    pthread_t mPThread{};
};

}  // namespace Brim::PTA
