// posix_spawn returns once the child has let go of our memory, which is part way through its
// exec: for a moment /proc may still show our comm and an empty command line (the kernel sets
// them up after that point). Tests that look for a child by name wait for its exec to finish.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

// True once /proc shows `argv0` as the child's first argument; false after 5 s.
inline bool WaitForExec(pid_t pid, const std::string& argv0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
        std::string first;
        if (std::getline(cmdline, first, '\0') && first == argv0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}
