#include "Brim_PTA_Thread.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>

#include "Brim_Check.h"

namespace Brim::PTA {

namespace {

// Priorities are offsets from the base priority of their policy on the Mach scale (0..127, larger
// is more urgent), where first-in-first-out threads start at 80.
constexpr int kMachFifoBasePriority = 80;

// How the policies map onto Linux. The scheduling goes into the creation attributes, so the thread
// runs its first instruction with it and nothing touches the thread's handle after creation (a
// detached thread may already have ended by then, and its handle with it).
//
// - kThreadPolicyTimeslice: SCHED_OTHER, set explicitly so that a thread started from a real-time
//   thread is time-shared all the same. Linux time-sharing has no static priority (it is always 0);
//   its counterpart of the Mach base priority 39 + offset would be the thread's nice value, which
//   is left as inherited: an unprivileged process cannot take back a nice value it raised, and the
//   update run asks for offset 0 anyway.
// - kThreadPolicyFifo: SCHED_FIFO at the Mach base priority 80 + offset, clamped into the range
//   Linux allows (1..99 on the same scale direction, so 80 stays 80).
// - kThreadPolicyRoundRobin: nothing set; the thread inherits the creator's scheduling, as the
//   policy has always done.
//
// Returns whether the attributes now ask for explicit scheduling.
bool SetScheduling(pthread_attr_t* attributes, Thread::eThreadPolicy policy, int priority) {
    sched_param parameters{};
    int linuxPolicy = SCHED_OTHER;
    switch (policy) {
        case Thread::kThreadPolicyTimeslice:
            break;
        case Thread::kThreadPolicyFifo:
            linuxPolicy = SCHED_FIFO;
            // Summed wide: any int offset clamps, none overflows.
            parameters.sched_priority = static_cast<int>(std::clamp<long long>(
                static_cast<long long>(kMachFifoBasePriority) + priority,
                sched_get_priority_min(SCHED_FIFO), sched_get_priority_max(SCHED_FIFO)));
            break;
        case Thread::kThreadPolicyRoundRobin:
            return false;
    }
    BRIM_CHECK(pthread_attr_setinheritsched(attributes, PTHREAD_EXPLICIT_SCHED) == 0);
    BRIM_CHECK(pthread_attr_setschedpolicy(attributes, linuxPolicy) == 0);
    BRIM_CHECK(pthread_attr_setschedparam(attributes, &parameters) == 0);
    return true;
}

}  // namespace

Thread::Thread(Runnable* r, int priority, eThreadPolicy policy)
    : mRunnable(r), mPriority(priority), mPolicy(policy) {}

Thread::~Thread() = default;

bool Thread::Start() {
    pthread_attr_t attributes;
    BRIM_CHECK(pthread_attr_init(&attributes) == 0);
    // Nobody joins the thread; its resources go back to the system when it ends.
    BRIM_CHECK(pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0);
    const bool explicitScheduling = SetScheduling(&attributes, mPolicy, mPriority);

    int result = pthread_create(&mPThread, &attributes, RunHelper, mRunnable);
    if (result == EPERM && explicitScheduling) {
        // The process may not use that policy or priority (no CAP_SYS_NICE, RLIMIT_RTPRIO too
        // low). The thread then runs as created by default, which is no reason to fail.
        BRIM_CHECK(pthread_attr_setinheritsched(&attributes, PTHREAD_INHERIT_SCHED) == 0);
        result = pthread_create(&mPThread, &attributes, RunHelper, mRunnable);
    }
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        mPThread = pthread_t{};
    }
    return result == 0;
}

void* Thread::RunHelper(void* param) {
    // The argument is the Runnable rather than this Thread: the creator may delete the Thread as
    // soon as Start has returned, possibly before this thread has read anything from it. After
    // Run() the Runnable is not touched either, since Run() may delete it.
    static_cast<Runnable*>(param)->Run();
    return nullptr;
}

}  // namespace Brim::PTA
