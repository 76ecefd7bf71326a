// Times `orlo-firmware-update --simulate update`, the whole program from start to exit, against
// the protocol's floor for the simulated Orlo: the pauses its download sequence must make. The
// ratio above the floor is the program's own cost (start, identification, transfers, waking
// late), to set beside download_bench's, which times the download sequence alone.
//
//   cli_bench [runs]     (3 by default)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Clock.h"

namespace {

// The floor for the simulated Orlo (DemoOrlo.h), whose erase takes three status polls:
// 1 ms after BeginUpdate, the ready check, the erase command, the header, each block and the CRC
// (FPGA: 2,631 blocks, M-CORE: 532), and 1 s after each of the three polls that find an erase
// running, in each image.
constexpr double kStepPauses = (4 + 2631 + 1) + (4 + 532 + 1);
constexpr double kFloorSeconds = kStepPauses * 0.001 + 2 * 3 * 1.0;

}  // namespace

int main(int argc, char* argv[]) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    std::printf("orlo-firmware-update --simulate update, %d runs; floor %.3f s\n", runs,
                kFloorSeconds);
    std::printf("%10s %10s %8s %10s\n", "wall", "floor", "ratio", "CPU");
    for (int run = 0; run < runs; ++run) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string program = CLI_PROGRAM, simulate = "--simulate", update = "update";
        char* arguments[] = {program.data(), simulate.data(), update.data(), nullptr};
        const double start = Seconds(CLOCK_MONOTONIC);
        pid_t pid = 0;
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, arguments, environ) != 0) {
            std::fprintf(stderr, "cannot start %s\n", program.c_str());
            return 1;
        }
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        const double wall = Seconds(CLOCK_MONOTONIC) - start;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "the update failed (status %d)\n", status);
            return 1;
        }
        const double cpu =
            static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
        std::printf("%9.3fs %9.3fs %8.4f %9.3fs\n", wall, kFloorSeconds, wall / kFloorSeconds, cpu);
    }
    return 0;
}
