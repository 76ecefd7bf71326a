// Programs both embedded images into the simulated unit with the real pauses, and compares the
// time taken with the protocol's floor: the sum of the pauses the sequence asked for. Whatever
// lies above the floor is the cost of this program (transfers, CRC, image reads, oversleeping).
//
// It runs the update twice: on a quiet machine, and beside two CPU-bound processes it starts and
// stops itself (on two cores, each core then has a competitor). Like the utility, the update's
// thread first asks RealtimeKit for real-time scheduling.
//
//   download_bench [--realtime] [--pause=precise|plain|plain-default-slack]
//
// --realtime      sets that scheduling directly instead (root may), standing in for what
//                 RealtimeKit grants where no daemon runs
// --pause=plain   each pause a plain 1 ms clock_nanosleep with 1 ns timer slack, instead of the
//                 utility's pause; plain-default-slack the same with the default 50 us slack
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Clock.h"
#include "DownloadProgress.h"
#include "Downloader.h"
#include "RealtimeKit.h"
#include "SimulatedBus.h"

namespace {

enum class Pause { kPrecise, kPlain, kPlainDefaultSlack };

struct Options {
    bool direct = false;
    Pause pause = Pause::kPrecise;
};

struct Run {
    bool succeeded = false;
    unsigned pauses = 0;
    double wall = 0;
    double floor = 0;
    double cpu = 0;
    std::string scheduling;
};

void PlainSleep(UInt32 microseconds) {
    const timespec pause{0, static_cast<long>(microseconds) * 1000};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

// Both images, on a thread of their own as in the utility.
Run Update(const Options& options) {
    sim::SimulatedBus bus;
    bus.SetLogging(false);  // a real stack keeps no copy of each block either
    bus.AddUnit();          // healthy unit: each erase is over at the first poll
    Run run;
    std::uint64_t floorMicroseconds = 0;
    SetDownloadPause([&](UInt32 microseconds) {
        floorMicroseconds += microseconds;
        ++run.pauses;
        if (options.pause == Pause::kPrecise) {
            SleepPrecisely(microseconds);
        } else {
            PlainSleep(microseconds);
        }
    });

    std::thread thread([&] {
        std::string error;
        if (options.pause == Pause::kPlain) prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        const auto means =
            options.direct ? realtimekit::Means::kDirect : realtimekit::Means::kRealtimeKit;
        run.scheduling =
            realtimekit::MakeThisThreadRealtime(means, error)
                ? (options.direct ? "real-time, set directly" : "real-time, granted by RealtimeKit")
                : "time-shared (" + error + ")";

        const double wallStart = Seconds(CLOCK_MONOTONIC);
        const double cpuStart = Seconds(CLOCK_PROCESS_CPUTIME_ID);
        io_service_t service;
        bus.FindUnit(DownloadUnit::kFirmwareUpdateUnitSpecID,
                     DownloadUnit::kFirmwareUpdateUnitSWVersion, service);
        DownloadUnit unit(service);
        Downloader downloader;
        gDownloadProgress.SetDeviceType(Xilinx);
        downloader.DoDownload(&unit, fileXILINX);
        run.succeeded = downloader.GetError() == kIOReturnSuccess;
        gDownloadProgress.SetDeviceType(MCORE);
        downloader.DoDownload(&unit, fileMCORE);
        run.succeeded = run.succeeded && downloader.GetError() == kIOReturnSuccess;
        run.wall = Seconds(CLOCK_MONOTONIC) - wallStart;
        run.cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    });
    thread.join();
    run.floor = static_cast<double>(floorMicroseconds) * 1e-6;
    return run;
}

// Processes that do nothing but compute, one per core, until killed.
std::vector<pid_t> StartCompetitors() {
    std::vector<pid_t> competitors;
    for (long core = 0; core < sysconf(_SC_NPROCESSORS_ONLN); ++core) {
        const pid_t child = fork();
        if (child == 0) {
            setsid();  // a session of its own, as a program started elsewhere has
            volatile unsigned long spin = 0;
            for (;;) spin = spin + 1;
        }
        if (child > 0) competitors.push_back(child);
    }
    return competitors;
}

void StopCompetitors(const std::vector<pid_t>& competitors) {
    for (const pid_t competitor : competitors) kill(competitor, SIGKILL);
    for (const pid_t competitor : competitors) waitpid(competitor, nullptr, 0);
}

void Print(const char* what, const Run& run, const char* goal) {
    std::printf("%s\n", what);
    std::printf("  scheduling        %s\n", run.scheduling.c_str());
    std::printf("  downloads         %s, %u pauses\n", run.succeeded ? "ok" : "FAILED", run.pauses);
    std::printf("  wall time         %.3f s, protocol floor %.3f s\n", run.wall, run.floor);
    std::printf("  wall / floor      %.4f   (goal <= %s)\n", run.wall / run.floor, goal);
    std::printf("  CPU time          %.3f s = %.1f %% of wall   (goal <= 3.5 %%)\n", run.cpu,
                100.0 * run.cpu / run.wall);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);  // for the D-Bus request
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--realtime") {
            options.direct = true;
        } else if (argument == "--pause=plain") {
            options.pause = Pause::kPlain;
        } else if (argument == "--pause=plain-default-slack") {
            options.pause = Pause::kPlainDefaultSlack;
        } else if (argument != "--pause=precise") {
            std::fprintf(stderr,
                         "usage: %s [--realtime] [--pause=precise|plain|plain-default-slack]\n",
                         argv[0]);
            return 2;
        }
    }

    // The sequence's console lines are not what is measured.
    std::ostringstream discard;
    std::streambuf* const realOut = std::cout.rdbuf(discard.rdbuf());
    const Run quiet = Update(options);
    const std::vector<pid_t> competitors = StartCompetitors();
    const Run contended = Update(options);
    StopCompetitors(competitors);
    std::cout.rdbuf(realOut);

    std::printf("both images, simulated unit, real pauses (%s)\n",
                options.pause == Pause::kPrecise ? "the utility's"
                : options.pause == Pause::kPlain ? "plain 1 ms sleeps, 1 ns timer slack"
                                                 : "plain 1 ms sleeps, default timer slack");
    Print("quiet machine", quiet, "1.01");
    const std::string beside =
        "beside " + std::to_string(competitors.size()) + " CPU-bound processes";
    Print(beside.c_str(), contended, "1.02");
    return quiet.succeeded && contended.succeeded ? 0 : 1;
}
