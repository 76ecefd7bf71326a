// The benchmarks' one clock reading: seconds on `clock` (CLOCK_MONOTONIC for wall time, a CPU-time
// clock for CPU time).
#pragma once

#include <time.h>

inline double Seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
