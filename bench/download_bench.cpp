// Programs both embedded images into the simulated unit with the real pauses, and compares the
// time taken with the protocol's floor: the sum of the pauses the sequence asked for. Whatever
// lies above the floor is the cost of this program (transfers, CRC, image reads, oversleeping).
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "DownloadProgress.h"
#include "Downloader.h"
#include "SimulatedBus.h"

namespace {

double Seconds(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main() {
    sim::SimulatedBus bus;
    bus.SetLogging(false);  // a real stack keeps no copy of each block either
    bus.AddUnit();          // healthy unit: each erase is over at the first poll

    std::uint64_t floorMicroseconds = 0;
    unsigned pauses = 0;
    SetDownloadPause([&](UInt32 microseconds) {
        floorMicroseconds += microseconds;
        ++pauses;
        SleepPrecisely(microseconds);
    });

    // The sequence's console lines are not what is measured.
    std::ostringstream discard;
    std::streambuf* const realOut = std::cout.rdbuf(discard.rdbuf());

    const double wallStart = Seconds(CLOCK_MONOTONIC);
    const double cpuStart = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    IOReturn errors[2];
    {
        io_service_t service;
        bus.FindUnit(DownloadUnit::kFirmwareUpdateUnitSpecID,
                     DownloadUnit::kFirmwareUpdateUnitSWVersion, service);
        DownloadUnit unit(service);
        Downloader downloader;
        gDownloadProgress.SetDeviceType(Xilinx);
        downloader.DoDownload(&unit, fileXILINX);
        errors[0] = downloader.GetError();
        gDownloadProgress.SetDeviceType(MCORE);
        downloader.DoDownload(&unit, fileMCORE);
        errors[1] = downloader.GetError();
    }
    const double wall = Seconds(CLOCK_MONOTONIC) - wallStart;
    const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    std::cout.rdbuf(realOut);

    const double floor = static_cast<double>(floorMicroseconds) * 1e-6;
    std::printf("both images, simulated unit, real pauses\n");
    std::printf("  downloads         FPGA %s, M-CORE %s\n", errors[0] == 0 ? "ok" : "FAILED",
                errors[1] == 0 ? "ok" : "FAILED");
    std::printf("  pauses            %u\n", pauses);
    std::printf("  wall time         %.3f s\n", wall);
    std::printf("  protocol floor    %.3f s\n", floor);
    std::printf("  wall / floor      %.4f   (goal <= 1.02)\n", wall / floor);
    std::printf("  CPU time          %.3f s = %.1f %% of wall   (goal <= 5 %%)\n", cpu,
                100.0 * cpu / wall);
    return errors[0] == 0 && errors[1] == 0 ? 0 : 1;
}
