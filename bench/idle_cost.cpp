// What the window costs while it waits: it runs offscreen for a given time, over the simulated
// Orlo, over an empty simulated bus, and over this machine's own FireWire stack, and prints the
// process's CPU time as a share of one core and of the machine, beside the number of processes on
// the machine. Then, for each, what one tick's parts cost, so that a missed goal says where the
// time goes.
//
//   idle_cost [seconds]     (20 by default, for each of the three)
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "Clock.h"
#include "DemoOrlo.h"
#include "LinuxFireWireStack.h"
#include "OrloFirmwareUpdateDialog.h"
#include "Process.h"
#include "UnitDiagnosis.h"
#include "orlofirmwareupdate.h"

namespace {

constexpr double kTicksPerSecond = 2.0;  // the window's timer: every half second

struct Usage {
    double cpu = 0;   // seconds of CPU time, all threads
    double wall = 0;  // seconds
};

// The window over `stack` for `seconds`, after one second to settle.
Usage IdleUsage(fw::FireWireStack& stack, double seconds) {
    Usage start, usage;
    QTimer::singleShot(1000, [&] {
        start = {Seconds(CLOCK_PROCESS_CPUTIME_ID), Seconds(CLOCK_MONOTONIC)};
    });
    QTimer::singleShot(static_cast<int>(1000 + seconds * 1000), [&] {
        usage = {Seconds(CLOCK_PROCESS_CPUTIME_ID) - start.cpu,
                 Seconds(CLOCK_MONOTONIC) - start.wall};
        QCoreApplication::exit(0);
    });
    RunFirmwareUpdateWindow(stack);
    return usage;
}

// What one tick's parts cost: each is called once every half second, as the window calls it, for
// `ticks` ticks, so that it runs as cold as it does there. Milliseconds of CPU per call.
struct TickParts {
    double identify = 0, diagnose = 0, editor = 0;
};

TickParts MeasureTickParts(fw::FireWireStack& stack, int ticks) {
    // The console lines identification writes go where they went while the window ran.
    Brim::PTA::COrloFirmwareUpdate controller(stack);
    TProcess processes(kMyProcess);
    TickParts total;
    const auto timed = [](double& sum, const auto& part) {
        const double start = Seconds(CLOCK_THREAD_CPUTIME_ID);
        part();
        sum += Seconds(CLOCK_THREAD_CPUTIME_ID) - start;
    };
    int done = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        bool found = false;
        timed(total.identify, [&] { found = controller.IsFound(); });
        // The window asks why no Orlo answers only when none does, and looks for an editor
        // only when one does.
        if (found) {
            timed(total.editor, [&] { processes.FindProcess(FourCC("KeyG")); });
        } else {
            timed(total.diagnose, [&] { DiagnoseNoOrlo(stack); });
        }
        if (++done == ticks) QCoreApplication::exit(0);
    });
    timer.start(static_cast<int>(1000 / kTicksPerSecond));
    QCoreApplication::exec();
    const double perCall = 1000.0 / ticks;
    return {total.identify * perCall, total.diagnose * perCall, total.editor * perCall};
}

// Runs `measure` with standard output sent to /dev/null, so that the window's console lines do not
// bury the figures (they are still written: their cost counts).
template <typename Measure>
auto Quietly(const Measure& measure) {
    std::cout.flush();
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
    const auto result = measure();
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return result;
}

void Report(const char* what, fw::FireWireStack& stack, double seconds, const char* goal) {
    const Usage usage = Quietly([&] { return IdleUsage(stack, seconds); });
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const double share = usage.cpu / usage.wall * 100.0;
    std::printf("%-34s %6.3f %% of one core, %.3f %% of the machine's %ld   %s\n", what, share,
                share / static_cast<double>(cores), cores, goal);
    const TickParts parts = Quietly([&] { return MeasureTickParts(stack, 10); });
    const double partsShare =
        (parts.identify + parts.diagnose + parts.editor) * kTicksPerSecond / 10.0;
    std::printf(
        "    a tick: identification %.3f ms, why no Orlo %.3f ms, editor search %.3f ms:\n"
        "    together %.3f %% of a core; the rest (event loop, painting) %.3f %%\n",
        parts.identify, parts.diagnose, parts.editor, partsShare, share - partsShare);
}

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    std::printf("the window waiting, %.0f s each, %d processes on the machine, run by uid %d\n",
                seconds, TProcess(kMyProcess).GetNumProcesses(), static_cast<int>(getuid()));
    {
        sim::SimulatedBus bus;
        bus.SetLogging(false);
        sim::PlugInDemoOrlo(bus);
        Report("with the simulated Orlo:", bus, seconds, "goal <= 0.10 %");
    }
    {
        sim::SimulatedBus bus;
        bus.SetLogging(false);
        Report("without a device (simulated bus):", bus, seconds, "goal <= 0.05 %");
    }
    {
        // For comparison: the same over the kernel's stack, on this machine as it is.
        linuxfw::LinuxFireWireStack stack;
        Report("without a device (this machine):", stack, seconds, "");
    }
    return 0;
}
