#include "Commands.h"

#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DownloadProgress.h"
#include "DownloadUnit.h"
#include "InhibitorLock.h"
#include "Process.h"
#include "UnitDiagnosis.h"
#include "orlofirmwareupdate.h"

namespace cli {
namespace {

using Brim::PTA::COrloFirmwareUpdate;
using Brim::PTA::UpdateOutcome;
using Cause = NoOrloDiagnosis::Cause;
using Clock = std::chrono::steady_clock;

constexpr OSType kVideoEditorSignature = FourCC("KeyG");  // see Process.h
constexpr auto kProgressInterval = std::chrono::milliseconds(50);

void Print(FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

void PrintJson(FILE* stream, const QJsonObject& object) {
    Print(stream, QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n");
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// With --json a failure is the document itself, {"error": {"code", "message"}}; without, a line
// on standard error.
int Fail(const Options& options, const Console& console, int code, const std::string& message) {
    if (options.json) {
        PrintJson(console.out, {{"error", QJsonObject{{"code", code}, {"message", Q(message)}}}});
    } else {
        Print(console.err, message + "\n");
    }
    return code;
}

int ExitCodeFor(Cause cause) {
    switch (cause) {
        case Cause::kInUse:
            return kInUse;
        case Cause::kNoPermission:
            return kNoPermission;
        default:
            return kNoOrlo;
    }
}

const char* CauseName(Cause cause) {
    switch (cause) {
        case Cause::kNone:
            return "none";
        case Cause::kNoController:
            return "no-controller";
        case Cause::kRegistry:
            return "registry";
        case Cause::kNoUnit:
            return "no-unit";
        case Cause::kNoPermission:
            return "no-permission";
        case Cause::kInUse:
            return "in-use";
        case Cause::kNotAnswering:
            return "not-answering";
        case Cause::kNotAnOrlo:
            return "not-an-orlo";
    }
    return "unknown";
}

// What identification found, as info reports it and update decides on it.
struct Identity {
    std::string node;
    std::string firmware;  // "M-CORE-FPGA", e.g. 1-2
    std::string serial;
    std::string embedded;  // the images in this program
    bool downgrade = false;
    bool editorRunning = false;
};

// Identifies the Orlo; on failure names the obstacle and returns the exit code (else kSuccess).
int Identify(fw::FireWireStack& stack, COrloFirmwareUpdate& controller, Identity& identity,
             NoOrloDiagnosis& why) {
    if (!controller.IsFound()) {
        why = DiagnoseNoOrlo(stack);
        // Nothing in the way now: the Orlo was plugged in just then. Ask once more.
        if (why.cause != Cause::kNone || !controller.IsFound()) {
            if (why.cause == Cause::kNone) {
                why = {Cause::kNotAnswering, kIOReturnError, "The Orlo could not be identified."};
            }
            return ExitCodeFor(why.cause);
        }
    }
    fw::UnitHandle unit;
    stack.FindUnit(DownloadUnit::kFirmwareUpdateUnitSpecID,
                   DownloadUnit::kFirmwareUpdateUnitSWVersion, unit);
    identity.node = stack.Facts(unit).node;
    controller.GetCurrentFirmwareVersionString(identity.firmware);
    controller.GetSerialNumberString(identity.serial);
    controller.GetUpdateFirmwareVersionString(identity.embedded);
    identity.downgrade = controller.IsDowngrade();
    identity.editorRunning = TProcess(kMyProcess).FindProcess(kVideoEditorSignature);
    return kSuccess;
}

int NotFound(const Options& options, const Console& console, const NoOrloDiagnosis& why, int code) {
    if (options.json) {
        PrintJson(console.out,
                  {{"found", false}, {"reason", CauseName(why.cause)}, {"message", Q(why.text)}});
    } else {
        Print(console.err, why.text + "\n");
    }
    return code;
}

// Quit signals during an update: counted by the handler, answered by the waiting loop.
std::atomic<int> gQuitSignals{0};

extern "C" void OnQuitSignal(int) {
    gQuitSignals.fetch_add(1, std::memory_order_relaxed);
}

void DeferQuitSignals() {
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
}

const char* PartName(DL_DEVICE_TYPE part) {
    return part == MCORE ? "mcore" : "fpga";
}

std::string ActivityText(const DownloadActivity& activity) {
    const std::string image = activity.part == MCORE ? "the M-CORE image" : "the FPGA image";
    switch (activity.stage) {
        case DownloadActivity::kPreparing:
            return "Preparing the Orlo";
        case DownloadActivity::kErasing:
            return "Erasing " + image;
        case DownloadActivity::kWriting:
            return "Writing " + image;
    }
    return {};
}

const char* StageName(DownloadActivity::Stage stage) {
    switch (stage) {
        case DownloadActivity::kPreparing:
            return "preparing";
        case DownloadActivity::kErasing:
            return "erasing";
        case DownloadActivity::kWriting:
            return "writing";
    }
    return "";
}

// Follows the progress record: on a terminal one line redrawn in place with the time left;
// otherwise a line for each stage and each 10 %; with --json a JSON line on standard error for
// each change.
class ProgressReport {
  public:
    ProgressReport(const Options& options, const Console& console)
        : _options(options), _console(console) {}

    void Show(const DownloadActivity& activity, UInt32 percent) {
        const bool newStage = activity.stage != _last.stage || activity.part != _last.part;
        if (!_started || newStage) _stageStart = Clock::now();
        const bool changed = !_started || newStage || percent != _percent;
        if (!changed) return;
        const bool tenth = !_started || newStage || percent / 10 != _percent / 10;
        _started = true;
        _last = activity;
        _percent = percent;
        if (_options.json) {
            PrintJson(_console.err, {{"stage", StageName(activity.stage)},
                                     {"part", PartName(activity.part)},
                                     {"percent", static_cast<int>(percent)}});
        } else if (_console.terminal) {
            Print(_console.out, "\r\x1b[K" + ActivityText(activity) + "  " +
                                    std::to_string(percent) + " %" + TimeLeft(activity, percent));
        } else if (tenth) {
            Print(_console.out, ActivityText(activity) + ": " + std::to_string(percent) + " %\n");
        }
    }
    void Finish() {
        if (_started && !_options.json && _console.terminal) Print(_console.out, "\n");
    }

  private:
    // While an image is written, its rate so far gives the rest of it; the M-CORE image, a fifth
    // of the FPGA image's size, follows the FPGA image's rate.
    std::string TimeLeft(const DownloadActivity& activity, UInt32 percent) const {
        if (activity.stage != DownloadActivity::kWriting) return {};
        const UInt32 base = activity.part == MCORE ? 80 : 40;
        const double done = (percent - base) / 20.0;
        if (done <= 0.0) return {};
        const double spent = std::chrono::duration<double>(Clock::now() - _stageStart).count();
        double left = spent / done * (1.0 - done);
        if (activity.part == Xilinx) left += spent / done * (67988.0 / 336680.0);
        return "  about " + std::to_string(static_cast<int>(left + 0.5)) + " s left";
    }

    const Options& _options;
    const Console& _console;
    bool _started = false;
    DownloadActivity _last{Xilinx, DownloadActivity::kPreparing};
    UInt32 _percent = 0;
    Clock::time_point _stageStart;
};

std::string OutcomeText(const UpdateOutcome& outcome) {
    char status[16];
    std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(outcome.status));
    switch (outcome.result) {
        case UpdateOutcome::Result::kSucceeded:
            return "Programming Complete. Cycle the power of the Orlo for the new firmware to take "
                   "effect.";
        case UpdateOutcome::Result::kNoUnit:
            return "Programming Failed: the Orlo was not found when programming began. It was not "
                   "updated.";
        case UpdateOutcome::Result::kInUse:
            return "Programming Failed: the Orlo is in use by another program. It was not updated.";
        case UpdateOutcome::Result::kFpgaFailed:
            return std::string("Programming Failed: the FPGA image failed (status ") + status +
                   "). Keep the Orlo connected and powered, and update it again.";
        case UpdateOutcome::Result::kMcoreFailed:
            return std::string("Programming Failed: the M-CORE image failed (status ") + status +
                   "). Keep the Orlo connected and powered, and update it again.";
        default:
            return std::string("Programming Failed: the update could not be started (status ") +
                   status + ").";
    }
}

const char* ResultName(UpdateOutcome::Result result) {
    switch (result) {
        case UpdateOutcome::Result::kSucceeded:
            return "succeeded";
        case UpdateOutcome::Result::kNoUnit:
            return "no-unit";
        case UpdateOutcome::Result::kInUse:
            return "in-use";
        case UpdateOutcome::Result::kFpgaFailed:
            return "fpga-failed";
        case UpdateOutcome::Result::kMcoreFailed:
            return "mcore-failed";
        default:
            return "not-started";
    }
}

// A "yes" typed at the prompt, on a terminal only.
bool ConfirmedDowngrade(const Identity& identity, const Console& console) {
    if (!console.terminal) return false;
    Print(console.err, "This is a downgrade: the Orlo has firmware " + identity.firmware +
                           ", this program brings " + identity.embedded + ". Type yes to go on: ");
    char answer[64] = {};
    if (std::fgets(answer, sizeof answer, console.in) == nullptr) return false;
    return std::strcmp(answer, "yes\n") == 0 || std::strcmp(answer, "yes") == 0;
}

}  // namespace

int List(fw::FireWireStack& stack, const Options& options, const Console& console) {
    std::vector<fw::UnitHandle> units;
    const IOReturn status = stack.FindUnits(DownloadUnit::kFirmwareUpdateUnitSpecID,
                                            DownloadUnit::kFirmwareUpdateUnitSWVersion, units);
    if (status != kIOReturnSuccess) {
        return Fail(options, console, kNoOrlo, DiagnoseNoOrlo(stack).text);
    }
    QJsonArray list;
    for (const fw::UnitHandle& unit : units) {
        const std::string node = stack.Facts(unit).node;
        list.append(QJsonObject{{"node", Q(node)}});
        if (!options.json) Print(console.out, node + "\n");
    }
    if (options.json) PrintJson(console.out, {{"units", list}});
    if (units.empty()) {
        if (!options.json) Print(console.err, DiagnoseNoOrlo(stack).text + "\n");
        return kNoOrlo;
    }
    return kSuccess;
}

int Info(fw::FireWireStack& stack, const Options& options, const Console& console) {
    COrloFirmwareUpdate controller(stack);
    Identity identity;
    NoOrloDiagnosis why;
    if (const int code = Identify(stack, controller, identity, why); code != kSuccess) {
        return NotFound(options, console, why, code);
    }
    const char* action =
        identity.editorRunning ? "refused" : (identity.downgrade ? "downgrade" : "upgrade");
    if (options.json) {
        QJsonObject info{{"found", true},
                         {"node", Q(identity.node)},
                         {"firmware", Q(identity.firmware)},
                         {"serial", Q(identity.serial)},
                         {"embedded", Q(identity.embedded)},
                         {"action", action},
                         {"downgrade", identity.downgrade},
                         {"editorRunning", identity.editorRunning}};
        PrintJson(console.out, info);
        return kSuccess;
    }
    std::string what = identity.downgrade ? "a downgrade" : "an upgrade";
    if (identity.editorRunning) what += ", refused while an editing application runs";
    Print(console.out, "Orlo:             " + identity.node + "\n" + "Firmware version: " +
                           identity.firmware + "\n" + "Serial number:    " + identity.serial +
                           "\n" + "This program:     " + identity.embedded + " (" + what + ")\n");
    return kSuccess;
}

int Update(fw::FireWireStack& stack, const Options& options, const Console& console) {
    COrloFirmwareUpdate controller(stack);
    Identity identity;
    NoOrloDiagnosis why;
    if (const int code = Identify(stack, controller, identity, why); code != kSuccess) {
        return NotFound(options, console, why, code);
    }
    if (identity.editorRunning && !options.force) {
        return Fail(options, console, kRefused,
                    "An editing application is running: quit it before updating the Orlo, or "
                    "give --force.");
    }
    if (identity.downgrade && !options.allowDowngrade && !ConfirmedDowngrade(identity, console)) {
        return Fail(options, console, kRefused,
                    "This is a downgrade (the Orlo has " + identity.firmware +
                        ", this program brings " + identity.embedded +
                        "): give --allow-downgrade to go on.");
    }

    // Keep the machine from suspending or shutting down while the flash is rewritten.
    logind::InhibitorLock inhibitor;
    QString error;
    if (!inhibitor.Take(QStringLiteral("ORLOFirmwareUpdate"),
                        QStringLiteral("Updating the Orlo's firmware"), error)) {
        Print(console.err, "Nothing prevents a suspend or shutdown during the update: " +
                               error.toStdString() + "\n");
    }
    // From here on the update must not be cut short: quit signals wait for its end.
    DeferQuitSignals();
    int answered = gQuitSignals.load();
    ProgressReport progress(options, console);
    controller.DoUpdate();
    for (bool done = false; !done;) {
        done = controller.GetDoneStatus();  // first: a done run's progress is final
        progress.Show(gDownloadProgress.GetActivity(), gDownloadProgress.Get());
        for (const int received = gQuitSignals.load(); answered < received; ++answered) {
            Print(console.err, "Quitting once the update has ended.\n");
        }
        if (!done) std::this_thread::sleep_for(kProgressInterval);
    }
    progress.Finish();
    inhibitor.Release();

    const UpdateOutcome outcome = controller.GetUpdateOutcome();
    if (options.json) {
        PrintJson(console.out,
                  {{"result", ResultName(outcome.result)},
                   {"status", static_cast<qint64>(static_cast<UInt32>(outcome.status))},
                   {"message", Q(OutcomeText(outcome))}});
    } else {
        Print(outcome.result == UpdateOutcome::Result::kSucceeded ? console.out : console.err,
              OutcomeText(outcome) + "\n");
    }
    return Brim::PTA::ExitStatusFor(outcome);
}

}  // namespace cli
