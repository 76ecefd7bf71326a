// Real-time scheduling for the thread that updates an Orlo. The update pauses a millisecond some
// three thousand times; on a machine whose cores are all busy, a time-shared thread wakes from
// such a pause late, and the update takes longer. A real-time thread takes the core from
// time-shared ones as soon as its pause ends.
//
// RealtimeKit (org.freedesktop.RealtimeKit1 on the system bus) grants real-time scheduling to
// unprivileged desktop programs, on two conditions it checks: the process's hard RLIMIT_RTTIME is
// at most the daemon's RTTimeUSecMax, and the priority at most its MaxRealtimePriority. The limit
// bounds the CPU time a real-time thread may take without blocking; past the hard limit the kernel
// kills the process. So before asking, the soft limit is set to half the hard one, and SIGXCPU,
// which the kernel sends at the soft limit, returns the thread to time-sharing: a thread that
// overruns is slowed down, never killed in the middle of an update.
#pragma once

#include <string>

namespace realtimekit {

// SCHED_RR at the lowest real-time priority: ahead of every time-shared thread, behind audio and
// the like, which RealtimeKit grants higher priorities.
constexpr int kPriority = 1;

enum class Means {
    kRealtimeKit,  // ask the daemon on the system bus
    kDirect,       // sched_setscheduler: for a process that may (root, CAP_SYS_NICE, RLIMIT_RTPRIO)
};

// Makes the calling thread real-time until it ends (real-time is not inherited by threads or
// processes it starts). Waits a few seconds at most for the daemon. On failure the thread's
// scheduling is as it was, and `error` says why in one line.
bool MakeThisThreadRealtime(Means means, std::string& error);

// For the update's thread: asks RealtimeKit; where it refuses or is absent, the thread goes on
// time-shared. Returns the line (without its line end) that a front end says then, the first
// time in the process only; empty otherwise.
std::string RequestForThisThread();

}  // namespace realtimekit
