// What the window costs while it waits, against the toolkit's own floor. An absolute share of a
// core says little on a machine that others share: the same window costs more when the caches
// are cold and the scheduler busy. So the program also runs, in the same process and under the
// same conditions, the floor: a bare window of the same toolkit with a timer every half second
// that does nothing. It takes turns with the utility's window over the simulated Orlo, over an
// empty simulated bus and over this machine's own FireWire stack, a few seconds each, so that a
// change in the machine's load touches every case alike, and prints each case's CPU time as a
// share of one core and as a ratio to the floor. A round of a case costs a few milliseconds of CPU,
// so another program's burst can double one round: the goals are judged on the median of the
// rounds' ratios, beside which the whole run's ratio and the lowest and highest round's are shown.
// So that a missed goal says where the time goes, it also runs the utility's window with a timer
// that does nothing instead of its tick (what its controls cost the toolkit), and measures what
// one tick's parts cost.
//
//   idle_cost [seconds] [rounds] [own]   (60 s for each case in 12 rounds, no more processes)
//
// `own` more processes of the same user wait beside the window throughout, as a user's shells,
// browser tabs and build jobs do: the editor search looks at each of them.
//
// The window runs offscreen unless QT_QPA_PLATFORM says otherwise (xcb under Xvfb, for one).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Clock.h"
#include "DemoOrlo.h"
#include "LinuxFireWireStack.h"
#include "OrloFirmwareUpdateDialog.h"
#include "Process.h"
#include "UnitDiagnosis.h"
#include "orlofirmwareupdate.h"

namespace {

constexpr double kTicksPerSecond = 2.0;  // the window's timer: every half second
constexpr int kTickMs = 500;

struct Usage {
    double cpu = 0;   // seconds of CPU time, all threads
    double wall = 0;  // seconds
    double Share() const { return wall > 0 ? cpu / wall * 100.0 : 0; }  // % of one core
    Usage& operator+=(const Usage& other) {
        cpu += other.cpu;
        wall += other.wall;
        return *this;
    }
};

// Runs `eventLoop` (which shows a window and runs the event loop until it is told to end) and
// measures `seconds` of it, after one second to settle.
Usage Measure(double seconds, const std::function<void()>& eventLoop) {
    Usage start, usage;
    QTimer::singleShot(1000, [&] {
        start = {Seconds(CLOCK_PROCESS_CPUTIME_ID), Seconds(CLOCK_MONOTONIC)};
    });
    QTimer::singleShot(static_cast<int>(1000 + seconds * 1000), [&] {
        usage = {Seconds(CLOCK_PROCESS_CPUTIME_ID) - start.cpu,
                 Seconds(CLOCK_MONOTONIC) - start.wall};
        QCoreApplication::exit(0);
    });
    eventLoop();
    return usage;
}

// A window whose timer does nothing every half second. The floor is a bare window: what any
// window of this toolkit that wakes so often costs. The utility's own window, built from its
// resource but without its dialog, shows what its controls cost the toolkit, apart from the tick.
void RunIdleWindow(bool ours) {
    std::unique_ptr<QWidget> window;
    if (!ours || CreateWindowFromResource(kMainResource, window) != noErr) {
        window = std::make_unique<QWidget>();
        window->resize(480, 240);
    }
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [] {});
    timer.start(kTickMs);
    window->show();
    QApplication::exec();
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
    timer.start(kTickMs);
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

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

struct Case {
    const char* what;
    std::function<void()> run;  // shows a window and runs the event loop
    fw::FireWireStack* stack;   // the window's, for its tick's parts; null for the others
    double goal;                // the highest ratio to the floor that meets the goal; 0: none
    Usage usage;
    std::vector<double> shares;  // each round's
};

}  // namespace

// `count` processes of ours that wait until they are killed; started before the toolkit has
// threads.
struct WaitingProcesses {
    explicit WaitingProcesses(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                pause();
                _exit(0);
            }
            if (pid > 0) children.push_back(pid);
        }
    }
    ~WaitingProcesses() {
        for (const pid_t child : children) kill(child, SIGKILL);
        for (const pid_t child : children) waitpid(child, nullptr, 0);
    }
    std::vector<pid_t> children;
};

int main(int argc, char* argv[]) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const int rounds = std::max(1, argc > 2 ? std::atoi(argv[2]) : 12);
    const WaitingProcesses own(argc > 3 ? std::max(0, std::atoi(argv[3])) : 0);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    sim::SimulatedBus withOrlo;
    withOrlo.SetLogging(false);
    sim::PlugInDemoOrlo(withOrlo);
    sim::SimulatedBus empty;
    empty.SetLogging(false);
    // The kernel's stack, on this machine as it is.
    linuxfw::LinuxFireWireStack machine;
    const auto window = [](fw::FireWireStack& stack) {
        return [&stack] { RunFirmwareUpdateWindow(stack); };
    };
    std::vector<Case> cases = {
        {"the floor (a bare window, a timer):", [] { RunIdleWindow(false); }, nullptr, 0, {}, {}},
        {"our window's controls, no tick:", [] { RunIdleWindow(true); }, nullptr, 0, {}, {}},
        // With many processes of the user's own to look among, a little more.
        {"with the simulated Orlo:",
         window(withOrlo),
         &withOrlo,
         own.children.empty() ? 1.5 : 2.0,
         {},
         {}},
        {"without a device (simulated bus):", window(empty), &empty, 1.2, {}, {}},
        {"without a device (this machine):", window(machine), &machine, 1.2, {}, {}},
    };

    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    std::printf(
        "the window waiting on the %s platform, %.0f s each in %d rounds; %ld cores, %d "
        "processes (%zu more of ours), run by uid %d; load average %s\n",
        QGuiApplication::platformName().toUtf8().constData(), seconds, rounds, cores,
        TProcess(kMyProcess).GetNumProcesses(), own.children.size(), static_cast<int>(getuid()),
        LoadAverage().c_str());
    std::fflush(stdout);
    for (int round = 0; round < rounds; ++round) {
        for (Case& one : cases) {
            const Usage usage = Quietly([&] { return Measure(seconds / rounds, one.run); });
            one.usage += usage;
            one.shares.push_back(usage.Share());
        }
    }

    const Case& floorCase = cases.front();
    const double floor = floorCase.usage.Share();
    std::printf("load average now %s\n", LoadAverage().c_str());
    std::printf("%-36s %s\n", "",
                "share of one core   ratio to the floor: median of the rounds (whole run; rounds)");
    for (const Case& one : cases) {
        std::printf("%-36s %7.3f %%", one.what, one.usage.Share());
        if (&one == &floorCase) {
            const auto [low, high] = std::minmax_element(one.shares.begin(), one.shares.end());
            std::printf("           1     (rounds %.3f to %.3f %%)\n", *low, *high);
            continue;
        }
        std::vector<double> ratios;
        for (std::size_t round = 0; round < one.shares.size(); ++round) {
            ratios.push_back(one.shares[round] / floorCase.shares[round]);
        }
        std::sort(ratios.begin(), ratios.end());
        const std::size_t middle = ratios.size() / 2;
        const double median =
            ratios.size() % 2 == 1 ? ratios[middle] : (ratios[middle - 1] + ratios[middle]) / 2.0;
        std::printf("       %6.2f x  (%.2f; %.2f to %.2f)", median, one.usage.Share() / floor,
                    ratios.front(), ratios.back());
        if (one.goal > 0) {
            std::printf("   goal <= %.1f x: %s", one.goal, median <= one.goal ? "met" : "missed");
        }
        std::printf("\n");
    }

    for (Case& one : cases) {
        if (one.stack == nullptr) continue;
        const TickParts parts = Quietly([&] { return MeasureTickParts(*one.stack, 10); });
        const double partsShare =
            (parts.identify + parts.diagnose + parts.editor) * kTicksPerSecond / 10.0;
        std::printf(
            "%s\n    a tick: identification %.3f ms, why no Orlo %.3f ms, editor search %.3f "
            "ms:\n    together %.3f %% of a core; the rest (event loop, painting) %.3f %%, the "
            "floor's %.3f %%\n",
            one.what, parts.identify, parts.diagnose, parts.editor, partsShare,
            one.usage.Share() - partsShare, floor);
    }
    return 0;
}
