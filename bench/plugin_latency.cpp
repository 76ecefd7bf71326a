// How soon the window shows an Orlo that is plugged in: the time from the kernel's announcement of
// the Orlo's update unit to the Orlo's firmware version painted on the window. The window runs
// offscreen over this program's Linux stack; the kernel is the one the Linux stack's tests emulate
// (umockdev fakes sysfs, /dev/fwN and the uevents, cdevemu::Emulator answers as firewire-cdev
// does). Each Orlo is plugged in at a random moment of the window's half-second tick, shown,
// unplugged, and the next one plugged in. For comparison the same is measured with the window
// polling alone, as it did before it heard of changes on the bus.
//
//   plugin_latency [plug-ins]   (20 by default, each way)
//
// It runs itself under umockdev-wrapper when it is not already.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "CdevEmulator.h"
#include "Clock.h"
#include "LinuxFireWireStack.h"
#include "OrloFirmwareUpdateDialog.h"

namespace {

constexpr double kGoalMs = 100;
constexpr int kShownWithinMs = 3000;  // longer, and the plug-in counts as never shown
const QString kShownVersion = QStringLiteral("1-2");  // the emulated unit's firmware
const QString kNotFound = QStringLiteral("Orlo Not Found");

// The same stack keeping its word of changes to itself: the window then polls alone.
class PollingAlone final : public fw::FireWireStack {
  public:
    explicit PollingAlone(fw::FireWireStack& inner) : inner_(inner) {}
    IOReturn FindUnits(UInt32 specifierId, UInt32 softwareVersion,
                       std::vector<fw::UnitHandle>& units) override {
        return inner_.FindUnits(specifierId, softwareVersion, units);
    }
    IOReturn CreatePlugIn(fw::UnitHandle unit, std::unique_ptr<fw::PlugIn>& plugIn) override {
        return inner_.CreatePlugIn(unit, plugIn);
    }
    fw::BusFacts Facts(fw::UnitHandle unit) override { return inner_.Facts(unit); }

  private:
    fw::FireWireStack& inner_;
};

// Calls `painted` whenever the watched widget is painted.
class PaintWatch : public QObject {
  public:
    PaintWatch(QWidget* widget, std::function<void()> painted)
        : QObject(widget), painted_(std::move(painted)) {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted_();
        return false;
    }

  private:
    std::function<void()> painted_;
};

// Plugs in `count` Orlos one after another, each as the next /dev/fwN, under the window over a
// stack, and keeps how long each took to show, in milliseconds (-1: not within the bound).
class PlugIns {
  public:
    PlugIns(cdevemu::Emulator& emulator, int count, unsigned& nextNode, std::mt19937& random)
        : emulator_(emulator), count_(count), nextNode_(nextNode), random_(random) {}

    std::vector<double> Run(fw::FireWireStack& stack) {
        RunFirmwareUpdateWindow(stack, kMainResource, [this](QWidget& window) {
            window_ = &window;
            version_ = window.findChild<QLabel*>(QStringLiteral("currentFirmwareVersionStr"));
            new PaintWatch(version_, [this] { Painted(); });
            PlugInLater();
        });
        return latencies_;
    }

  private:
    // Half a second to settle, then anywhere within a tick.
    void PlugInLater() {
        const int ms = std::uniform_int_distribution<int>(500, 999)(random_);
        QTimer::singleShot(ms, window_, [this] { PlugIn(); });
    }

    void PlugIn() {
        if (version_->text() != kNotFound) {  // the last one not yet seen gone
            PlugInLater();
            return;
        }
        const unsigned index = nextNode_++;
        node_ = "/dev/fw" + std::to_string(index);
        emulator_.AddNode(0, index, 0xFFC1);
        pluggedAt_ = Seconds(CLOCK_MONOTONIC);
        waiting_ = true;
        emulator_.AddUnit(index, 0, sim::kUnitSpecifierId, sim::kUnitSwVersion);
        QTimer::singleShot(kShownWithinMs, window_, [this, node = node_] {
            if (!waiting_ || node != node_) return;
            waiting_ = false;
            latencies_.push_back(-1);
            Unplug();
        });
    }

    void Painted() {
        if (!waiting_ || version_->text() != kShownVersion) return;
        waiting_ = false;
        latencies_.push_back((Seconds(CLOCK_MONOTONIC) - pluggedAt_) * 1000.0);
        // Out of the paint event before the bus changes again.
        QTimer::singleShot(0, window_, [this] { Unplug(); });
    }

    void Unplug() {
        emulator_.Unplug(node_);
        if (static_cast<int>(latencies_.size()) < count_) {
            PlugInLater();
        } else {
            SendQuitRequest();
        }
    }

    cdevemu::Emulator& emulator_;
    const int count_;
    unsigned& nextNode_;
    std::mt19937& random_;
    QWidget* window_ = nullptr;
    QLabel* version_ = nullptr;
    std::string node_;
    double pluggedAt_ = 0;
    bool waiting_ = false;
    std::vector<double> latencies_;
};

void Report(const char* how, std::vector<double> latencies) {
    const auto missed = std::count(latencies.begin(), latencies.end(), -1.0);
    latencies.erase(std::remove(latencies.begin(), latencies.end(), -1.0), latencies.end());
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) {
        std::printf("%-28s never shown\n", how);
        return;
    }
    const auto at = [&](double share) {
        return latencies[static_cast<std::size_t>(share * static_cast<double>(latencies.size() - 1))];
    };
    std::printf("%-28s median %6.1f ms, 90th percentile %6.1f ms, fastest %6.1f, slowest %6.1f",
                how, at(0.5), at(0.9), latencies.front(), latencies.back());
    if (missed > 0) std::printf(", %ld never shown", static_cast<long>(missed));
    std::printf("\n");
}

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char* argv[]) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "umockdev") == nullptr) {
        // umockdev's sockets live under TMPDIR, and their paths must fit in 108 bytes.
        setenv("TMPDIR", "/tmp", 1);
        char self[4096] = {};
        if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
        std::vector<char*> arguments{const_cast<char*>(UMOCKDEV_WRAPPER), self};
        for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
        arguments.push_back(nullptr);
        ::execv(UMOCKDEV_WRAPPER, arguments.data());
        std::perror(UMOCKDEV_WRAPPER);
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int count = std::max(1, argc > 1 ? std::atoi(argv[1]) : 20);

    cdevemu::Emulator emulator;
    emulator.AddNode(0, 0, cdevemu::Emulator::kLocalNodeId);  // the machine's own node: no Orlo
    linuxfw::LinuxFireWireStack stack;
    PollingAlone polling(stack);
    std::mt19937 random(std::random_device{}());
    unsigned nextNode = 1;

    std::printf("an Orlo plugged in until its firmware version shows, %d times each way; load "
                "average %s\n",
                count, LoadAverage().c_str());
    // The window's console lines would bury the figures.
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
    const std::vector<double> heard = PlugIns(emulator, count, nextNode, random).Run(stack);
    const std::vector<double> polled = PlugIns(emulator, count, nextNode, random).Run(polling);
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);

    Report("hearing of bus changes:", heard);
    Report("polling alone (as before):", polled);
    std::vector<double> sorted = heard;
    std::sort(sorted.begin(), sorted.end());
    const bool met = std::count(heard.begin(), heard.end(), -1.0) == 0 && sorted.back() <= kGoalMs;
    std::printf("goal: every plug-in shown within %.0f ms: %s; load average now %s\n", kGoalMs,
                met ? "met" : "missed", LoadAverage().c_str());
    return 0;
}
