#include "Commands.h"

#include <signal.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DownloadProgress.h"
#include "DownloadUnit.h"
#include "InhibitorLock.h"
#include "Process.h"
#include "RealtimeKit.h"
#include "SeatUser.h"
#include "UnitDiagnosis.h"
#include "UserTexts.h"
#include "orlofirmwareupdate.h"

namespace cli {
namespace {

using Brim::PTA::COrloFirmwareUpdate;
using Brim::PTA::UpdateOutcome;
using Cause = NoOrloDiagnosis::Cause;
using Clock = std::chrono::steady_clock;

constexpr OSType kVideoEditorSignature = FourCC("KeyG");  // see Process.h

// The command line's texts are translated in this context.
struct Cli {
    Q_DECLARE_TR_FUNCTIONS(Cli)
};
constexpr auto kProgressInterval = std::chrono::milliseconds(50);

void Print(FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

void Print(FILE* stream, const QString& text) {
    Print(stream, text.toStdString());
}

void PrintJson(FILE* stream, const QJsonObject& object) {
    Print(stream, QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n");
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
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

// The GUID as list and info show it, and as sysfs shows a node's.
std::string GuidText(UInt64 guid) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(guid));
    return text;
}

// What identification found, as info reports it and update decides on it.
struct Identity {
    std::string node;
    std::string guid;
    std::string firmware;  // "M-CORE-FPGA", e.g. 1-2
    std::string serial;
    std::string embedded;  // the images in this program
    bool downgrade = false;
    bool current = false;  // the Orlo has the embedded images' versions already
    bool editorRunning = false;
    std::string editor;     // the editing application's name, where it is known
    std::size_t units = 0;  // update units on the bus, this one among them
};

// Reads what the controller identified into `identity`.
void Describe(fw::FireWireStack& stack, COrloFirmwareUpdate& controller, Identity& identity) {
    // The node of the Orlo identified, not of whichever the registry lists first now.
    const fw::BusFacts facts = stack.Facts(controller.GetOrloInfo().unit);
    identity.node = facts.node;
    identity.guid = GuidText(controller.GetOrloInfo().guid);
    controller.GetCurrentFirmwareVersionString(identity.firmware);
    controller.GetSerialNumberString(identity.serial);
    controller.GetUpdateFirmwareVersionString(identity.embedded);
    identity.downgrade = controller.IsDowngrade();
    identity.current = controller.IsCurrent();
    identity.units = controller.GetUnitsFound();
    // Whoever runs this (root, another account), the editors of the user at the Orlo's seat
    // count.
    TProcess processes(kMyProcess);
    processes.SetOwners(ProcessOwners(
        logind::SeatUser::Ask(QDBusConnection::systemBus(),
                              QString::fromStdString(facts.seat.empty() ? "seat0" : facts.seat))));
    // The one search that decides, for each Orlo: every process is looked at now.
    identity.editorRunning = processes.FindProcessThoroughly(kVideoEditorSignature);
    identity.editor = processes.GetApplicationName();
}

// Identifies the Orlo (the one options.device names, else the first); on failure names the
// obstacle and returns the exit code (else kSuccess).
int Identify(fw::FireWireStack& stack, COrloFirmwareUpdate& controller, const Options& options,
             Identity& identity, NoOrloDiagnosis& why) {
    controller.SelectDevice(options.device);
    if (!controller.IsFound()) {
        why = DiagnoseNoOrlo(stack, options.device);
        // Nothing in the way now: the Orlo was plugged in just then. Ask once more.
        if (why.cause != Cause::kNone || !controller.IsFound()) {
            if (why.cause == Cause::kNone) {
                why.cause = Cause::kNotAnswering;
                why.status = kIOReturnError;
            }
            return ExitCodeFor(why.cause);
        }
    }
    Describe(stack, controller, identity);
    return kSuccess;
}

int NotFound(const Options& options, const Console& console, const NoOrloDiagnosis& why, int code) {
    if (options.json) {
        PrintJson(
            console.out,
            {{"found", false}, {"reason", CauseName(why.cause)}, {"message", NoOrloText(why)}});
    } else {
        Print(console.err, NoOrloText(why) + QLatin1Char('\n'));
    }
    return code;
}

// One update unit as list shows it: the Orlo identified, or why it could not be.
struct Listed {
    std::string node;
    bool identified = false;
    std::string guid, firmware, serial;
    NoOrloDiagnosis why;
};

// Every update unit on the bus, each identified or diagnosed. False when the registry cannot
// be read.
bool Survey(fw::FireWireStack& stack, std::vector<Listed>& listed) {
    std::vector<fw::UnitHandle> units;
    if (stack.FindUnits(DownloadUnit::kFirmwareUpdateUnitSpecID,
                        DownloadUnit::kFirmwareUpdateUnitSWVersion, units) != kIOReturnSuccess) {
        return false;
    }
    for (const fw::UnitHandle unit : units) {
        Listed entry;
        entry.node = stack.Facts(unit).node;
        COrloFirmwareUpdate controller(stack);
        entry.identified = controller.Identify(unit);
        if (entry.identified) {
            entry.guid = GuidText(controller.GetOrloInfo().guid);
            controller.GetCurrentFirmwareVersionString(entry.firmware);
            controller.GetSerialNumberString(entry.serial);
        } else {
            entry.why = DiagnoseUnit(stack, unit);
        }
        listed.push_back(std::move(entry));
    }
    return true;
}

QJsonArray ListedJson(const std::vector<Listed>& listed) {
    QJsonArray array;
    for (const Listed& entry : listed) {
        if (entry.identified) {
            array.append(QJsonObject{{"node", Q(entry.node)},
                                     {"guid", Q(entry.guid)},
                                     {"firmware", Q(entry.firmware)},
                                     {"serial", Q(entry.serial)}});
        } else {
            array.append(QJsonObject{{"node", Q(entry.node)},
                                     {"reason", CauseName(entry.why.cause)},
                                     {"message", NoOrloText(entry.why)}});
        }
    }
    return array;
}

QString ListedText(const std::vector<Listed>& listed) {
    QString text;
    for (const Listed& entry : listed) {
        if (entry.identified) {
            text += Cli::tr("%1  GUID %2  firmware %3  serial %4")
                        .arg(Q(entry.node), Q(entry.guid), Q(entry.firmware), Q(entry.serial));
        } else {
            const QString why = NoOrloText(entry.why);
            text += why.isEmpty() ? Cli::tr("%1  not identified").arg(Q(entry.node))
                                  : Cli::tr("%1  not identified: %2").arg(Q(entry.node), why);
        }
        text += QLatin1Char('\n');
    }
    return text;
}

// Quit signals and Ctrl-Z during an update: counted by the handlers, answered by the waiting
// loop.
std::atomic<int> gQuitSignals{0};
std::atomic<int> gStopSignals{0};

extern "C" void OnQuitSignal(int) {
    gQuitSignals.fetch_add(1, std::memory_order_relaxed);
}

extern "C" void OnStopSignal(int) {
    gStopSignals.fetch_add(1, std::memory_order_relaxed);
}

// For the length of an update: quit signals wait for its end, and nothing stops the process
// mid-image with the Orlo in update mode. Ctrl-Z (SIGTSTP) is answered with a line; SIGTTIN and
// SIGTTOU (a read, or with stty tostop a write, on the terminal from the background) are ignored,
// not caught: the kernel restarts a terminal read or write whose signal was caught, and signals
// again, without end, while an ignored SIGTTOU lets the write through and an ignored SIGTTIN
// fails the read (nothing reads the terminal during an update). The stop signals are as before
// once the update has ended.
class HeldSignals {
  public:
    HeldSignals() {
        Set(SIGINT, OnQuitSignal);
        Set(SIGTERM, OnQuitSignal);
        Set(SIGHUP, OnQuitSignal);
        Set(SIGQUIT, OnQuitSignal);
        _stops[0] = Set(SIGTSTP, OnStopSignal);
        _stops[1] = Set(SIGTTIN, SIG_IGN);
        _stops[2] = Set(SIGTTOU, SIG_IGN);
    }
    ~HeldSignals() {
        sigaction(SIGTSTP, &_stops[0], nullptr);
        sigaction(SIGTTIN, &_stops[1], nullptr);
        sigaction(SIGTTOU, &_stops[2], nullptr);
    }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

  private:
    static struct sigaction Set(int signal, void (*handler)(int)) {
        struct sigaction action {
        }, before{};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signal, &action, &before);
        return before;
    }
    struct sigaction _stops[3];
};

const char* PartName(DL_DEVICE_TYPE part) {
    return part == MCORE ? "mcore" : "fpga";
}

QString ActivityText(const DownloadActivity& activity) {
    const bool mcore = activity.part == MCORE;
    switch (activity.stage) {
        case DownloadActivity::kPreparing:
            return Cli::tr("Preparing the Orlo");
        case DownloadActivity::kErasing:
            return mcore ? Cli::tr("Erasing the M-CORE image") : Cli::tr("Erasing the FPGA image");
        case DownloadActivity::kWriting:
            return mcore ? Cli::tr("Writing the M-CORE image") : Cli::tr("Writing the FPGA image");
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
            const int left = SecondsLeft(activity, percent);
            const QString line = left < 0
                                     ? Cli::tr("%1  %2 %").arg(ActivityText(activity)).arg(percent)
                                     : Cli::tr("%1  %2 %  about %3 s left")
                                           .arg(ActivityText(activity))
                                           .arg(percent)
                                           .arg(left);
            Print(_console.out, QStringLiteral("\r\x1b[K") + line);
            _lineOpen = true;
        } else if (tenth) {
            Print(_console.out,
                  Cli::tr("%1: %2 %").arg(ActivityText(activity)).arg(percent) + QLatin1Char('\n'));
        }
    }
    // Ends the line redrawn in place, so that a message or the result starts a line of its own;
    // the next progress starts a new one.
    void EndLine() {
        if (!_lineOpen) return;
        Print(_console.out, std::string("\n"));
        _lineOpen = false;
    }

  private:
    // While an image is written, its rate so far gives the rest of it; the M-CORE image, a fifth
    // of the FPGA image's size, follows the FPGA image's rate.
    // -1 while there is no estimate.
    int SecondsLeft(const DownloadActivity& activity, UInt32 percent) const {
        if (activity.stage != DownloadActivity::kWriting) return -1;
        const UInt32 base = activity.part == MCORE ? 80 : 40;
        const double done = (percent - base) / 20.0;
        if (done <= 0.0) return -1;
        const double spent = std::chrono::duration<double>(Clock::now() - _stageStart).count();
        double left = spent / done * (1.0 - done);
        if (activity.part == Xilinx) left += spent / done * (67988.0 / 336680.0);
        return static_cast<int>(left + 0.5);
    }

    const Options& _options;
    const Console& _console;
    bool _started = false;
    bool _lineOpen = false;  // a redrawn line, on a terminal, without its line feed yet
    DownloadActivity _last{Xilinx, DownloadActivity::kPreparing};
    UInt32 _percent = 0;
    Clock::time_point _stageStart;
};

const char* ResultName(UpdateOutcome::Result result) {
    switch (result) {
        case UpdateOutcome::Result::kSucceeded:
            return "succeeded";
        case UpdateOutcome::Result::kChanged:
            return "changed";
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

// A "yes" typed at the prompt, on a terminal only (the word in the user's language, or "yes").
bool ConfirmedDowngrade(const Identity& identity, const Console& console) {
    if (!console.terminal) return false;
    Print(console.err, Cli::tr("This is a downgrade: the Orlo has firmware %1, this program brings "
                               "%2. Type yes to go on: ")
                           .arg(Q(identity.firmware), Q(identity.embedded)));
    char answer[64] = {};
    if (std::fgets(answer, sizeof answer, console.in) == nullptr) return false;
    const QString typed = QString::fromLocal8Bit(answer).trimmed();
    return typed == QLatin1String("yes") || typed == Cli::tr("yes");
}

// The label of an `info` line, padded so that the values line up whatever the language.
QString InfoLine(const QString& label, const QString& value, int width) {
    return label.leftJustified(width) + QLatin1Char(' ') + value + QLatin1Char('\n');
}

}  // namespace

int Fail(const Options& options, const Console& console, int code, const QString& message) {
    if (options.json) {
        PrintJson(console.out, {{"error", QJsonObject{{"code", code}, {"message", message}}}});
    } else {
        Print(console.err, message + QLatin1Char('\n'));
    }
    return code;
}

void Say(const Options& options, const Console& console, const QString& message) {
    if (options.json) {
        PrintJson(console.err, {{"message", message}});
    } else {
        Print(console.err, message + QLatin1Char('\n'));
    }
}

int List(fw::FireWireStack& stack, const Options& options, const Console& console) {
    std::vector<Listed> listed;
    if (!Survey(stack, listed)) {
        return Fail(options, console, kNoOrlo, NoOrloText(DiagnoseNoOrlo(stack)));
    }
    if (options.json) {
        PrintJson(console.out, {{"units", ListedJson(listed)}});
    } else {
        Print(console.out, ListedText(listed));
    }
    if (listed.empty()) {
        if (!options.json)
            Print(console.err, NoOrloText(DiagnoseNoOrlo(stack)) + QLatin1Char('\n'));
        return kNoOrlo;
    }
    return kSuccess;
}

int Info(fw::FireWireStack& stack, const Options& options, const Console& console) {
    COrloFirmwareUpdate controller(stack);
    Identity identity;
    NoOrloDiagnosis why;
    if (const int code = Identify(stack, controller, options, identity, why); code != kSuccess) {
        return NotFound(options, console, why, code);
    }
    // Current first: with nothing to update, an editor in the way does not matter.
    const char* action = identity.current         ? "current"
                         : identity.editorRunning ? "refused"
                         : identity.downgrade     ? "downgrade"
                                                  : "upgrade";
    if (options.json) {
        QJsonObject info{{"found", true},
                         {"node", Q(identity.node)},
                         {"guid", Q(identity.guid)},
                         {"firmware", Q(identity.firmware)},
                         {"serial", Q(identity.serial)},
                         {"embedded", Q(identity.embedded)},
                         {"action", action},
                         {"downgrade", identity.downgrade},
                         {"editorRunning", identity.editorRunning},
                         {"units", static_cast<int>(identity.units)}};
        PrintJson(console.out, info);
        return kSuccess;
    }
    QString what;
    if (identity.current) {
        what = Cli::tr("%1 (current: the Orlo has it already)");
    } else if (identity.editorRunning) {
        what = identity.downgrade
                   ? Cli::tr("%1 (a downgrade, refused while an editing application runs)")
                   : Cli::tr("%1 (an upgrade, refused while an editing application runs)");
    } else {
        what = identity.downgrade ? Cli::tr("%1 (a downgrade)") : Cli::tr("%1 (an upgrade)");
    }
    const QString labels[] = {Cli::tr("Orlo:"), Cli::tr("GUID:"), Cli::tr("Firmware version:"),
                              Cli::tr("Serial number:"), Cli::tr("This program:")};
    int width = 0;
    for (const QString& label : labels) width = std::max(width, static_cast<int>(label.size()));
    Print(console.out, InfoLine(labels[0], Q(identity.node), width) +
                           InfoLine(labels[1], Q(identity.guid), width) +
                           InfoLine(labels[2], Q(identity.firmware), width) +
                           InfoLine(labels[3], Q(identity.serial), width) +
                           InfoLine(labels[4], what.arg(Q(identity.embedded)), width));
    if (options.device.empty() && identity.units > 1) {
        Print(console.err, Cli::tr("%n Orlos are connected: this is the first. Give --device to "
                                   "pick another; list shows them all.",
                                   "", static_cast<int>(identity.units)) +
                               QLatin1Char('\n'));
    }
    return kSuccess;
}

namespace {

// How one Orlo's update ended: its exit status, and its result as --json reports it.
struct UnitResult {
    int code = kSuccess;
    QJsonObject json;
};

// The result of an Orlo that was not updated: `result` names why.
UnitResult NotUpdated(int code, const char* result, const QString& message) {
    return {code, {{"result", result}, {"status", 0}, {"message", message}}};
}

// Updates the Orlo the controller has identified, unless it is current, an editor runs or it
// is a downgrade nobody agreed to. Says what happened on the console unless --json.
UnitResult UpdateIdentified(COrloFirmwareUpdate& controller, const Identity& identity,
                            const Options& options, const Console& console) {
    if (identity.current && !options.reinstall) {
        // Nothing to do is success: a configuration tool's run stays idempotent.
        const QString message = Cli::tr(
                                    "The Orlo has firmware %1 already: nothing was sent. Give "
                                    "--reinstall to write it again.")
                                    .arg(Q(identity.firmware));
        if (!options.json) Print(console.out, message + QLatin1Char('\n'));
        return NotUpdated(kSuccess, "current", message);
    }
    if (identity.editorRunning && !options.force) {
        const QString message =
            identity.editor.empty()
                ? Cli::tr(
                      "An editing application is running: quit it before updating the Orlo, "
                      "or give --force.")
                : Cli::tr("%1 is running: quit it before updating the Orlo, or give --force.")
                      .arg(Q(identity.editor));
        if (!options.json) Print(console.err, message + QLatin1Char('\n'));
        return NotUpdated(kRefused, "refused", message);
    }
    // With --json there is no prompt: standard error holds JSON lines only.
    if (identity.downgrade && !options.allowDowngrade &&
        (options.json || !ConfirmedDowngrade(identity, console))) {
        const QString message = Cli::tr(
                                    "This is a downgrade (the Orlo has %1, this program brings "
                                    "%2): give --allow-downgrade to go on.")
                                    .arg(Q(identity.firmware), Q(identity.embedded));
        if (!options.json) Print(console.err, message + QLatin1Char('\n'));
        return NotUpdated(kRefused, "refused", message);
    }

    // Keep the machine from suspending or shutting down while the flash is rewritten.
    logind::InhibitorLock inhibitor;
    QString error;
    if (!inhibitor.Take(QStringLiteral("ORLOFirmwareUpdate"),
                        QStringLiteral("Updating the Orlo's firmware"), error)) {
        Say(options, console,
            Cli::tr("Nothing prevents a suspend or shutdown during the update: %1").arg(error));
    }
    // From here on the update must not be cut short: quit signals wait for its end.
    std::optional<HeldSignals> held(std::in_place);
    int answered = gQuitSignals.load();
    int refused = gStopSignals.load();
    ProgressReport progress(options, console);
    const auto say = [&](const QString& message) {
        progress.EndLine();
        Say(options, console, message);
    };
    // Without real-time scheduling the update says so once, as the command's own message: the
    // controller's diagnostic lines are for --verbose only. The run's thread hands the line over.
    std::mutex realtimeLock;
    std::string realtimeLine;
    controller.SetRunStartHook([&] {
        std::string line = realtimekit::RequestForThisThread();
        const std::lock_guard lock(realtimeLock);
        realtimeLine = std::move(line);
    });
    controller.DoUpdate();
    for (bool done = false; !done;) {
        done = controller.GetDoneStatus();  // first: a done run's progress is final
        if (const std::lock_guard lock(realtimeLock); !realtimeLine.empty()) {
            say(Q(realtimeLine));
            realtimeLine.clear();
        }
        progress.Show(gDownloadProgress.GetActivity(), gDownloadProgress.Get());
        for (const int received = gQuitSignals.load(); answered < received; ++answered) {
            say(Cli::tr("Quitting once the update has ended."));
        }
        for (const int received = gStopSignals.load(); refused < received; ++refused) {
            say(Cli::tr("The update cannot be paused: it goes on."));
        }
        if (!done) std::this_thread::sleep_for(kProgressInterval);
    }
    progress.EndLine();
    held.reset();
    inhibitor.Release();

    const UpdateOutcome outcome = controller.GetUpdateOutcome();
    if (!options.json) {
        Print(outcome.result == UpdateOutcome::Result::kSucceeded ? console.out : console.err,
              OutcomeText(outcome) + QLatin1Char('\n'));
    }
    return {Brim::PTA::ExitStatusFor(outcome),
            {{"result", ResultName(outcome.result)},
             {"status", static_cast<qint64>(static_cast<UInt32>(outcome.status))},
             {"message", OutcomeText(outcome)}}};
}

// The worse of two exit statuses: a failed update first (the Orlo may be half-written), then
// the rest from the highest number down.
int Worse(int a, int b) {
    const auto rank = [](int code) { return code == kFailed ? 100 : code; };
    return rank(a) >= rank(b) ? a : b;
}

// Each Orlo on the bus in turn, each under its own claim, each with its own result.
int UpdateAll(fw::FireWireStack& stack, const Options& options, const Console& console) {
    std::vector<fw::UnitHandle> units;
    if (stack.FindUnits(DownloadUnit::kFirmwareUpdateUnitSpecID,
                        DownloadUnit::kFirmwareUpdateUnitSWVersion, units) != kIOReturnSuccess ||
        units.empty()) {
        NoOrloDiagnosis why = DiagnoseNoOrlo(stack);
        if (why.cause == Cause::kNone) why.cause = Cause::kNoUnit;  // gone since the search
        return NotFound(options, console, why, ExitCodeFor(why.cause));
    }
    int worst = kSuccess;
    QJsonArray results;
    for (const fw::UnitHandle unit : units) {
        // A quit signal during one Orlo's update ends the run after it: no further one begins.
        if (gQuitSignals.load() > 0) break;
        COrloFirmwareUpdate controller(stack);
        Identity identity;
        UnitResult result;
        if (controller.Identify(unit)) {
            Describe(stack, controller, identity);
            if (!options.json) {
                Print(console.out, Cli::tr("Orlo %1 (GUID %2, serial number %3, firmware %4):")
                                           .arg(Q(identity.node), Q(identity.guid),
                                                Q(identity.serial), Q(identity.firmware)) +
                                       QLatin1Char('\n'));
            }
            result = UpdateIdentified(controller, identity, options, console);
            result.json.insert("guid", Q(identity.guid));
            result.json.insert("serial", Q(identity.serial));
            result.json.insert("firmware", Q(identity.firmware));
        } else {
            const NoOrloDiagnosis why = DiagnoseUnit(stack, unit);
            const QString message = NoOrloText(why);
            identity.node = stack.Facts(unit).node;
            result = NotUpdated(why.cause == Cause::kNone ? kNoOrlo : ExitCodeFor(why.cause),
                                why.cause == Cause::kNone ? "not-answering" : CauseName(why.cause),
                                message);
            if (!options.json) {
                Print(console.err, (message.isEmpty() ? Cli::tr("%1: not identified")
                                                      : Cli::tr("%1: not identified: %2"))
                                           .arg(Q(identity.node), message) +
                                       QLatin1Char('\n'));
            }
        }
        result.json.insert("node", Q(identity.node));
        results.append(result.json);
        worst = Worse(worst, result.code);
    }
    if (options.json) PrintJson(console.out, {{"results", results}});
    return worst;
}

}  // namespace

int Update(fw::FireWireStack& stack, const Options& options, const Console& console) {
    if (options.all) return UpdateAll(stack, options, console);
    std::vector<fw::UnitHandle> units;
    if (options.device.empty() &&
        stack.FindUnits(DownloadUnit::kFirmwareUpdateUnitSpecID,
                        DownloadUnit::kFirmwareUpdateUnitSWVersion, units) == kIOReturnSuccess &&
        units.size() > 1) {
        // Which of several? Nobody has said: updating the first would be a guess.
        std::vector<Listed> listed;
        if (Survey(stack, listed) && listed.size() > 1) {
            const QString message = Cli::tr(
                "%n Orlos are connected: give --device with the node, GUID or serial "
                "number of the one to update, or --all to update each.",
                "", static_cast<int>(listed.size()));
            if (options.json) {
                PrintJson(console.out, {{"error", QJsonObject{{"code", kUsage},
                                                              {"message", message},
                                                              {"units", ListedJson(listed)}}}});
            } else {
                Print(console.err, message + QLatin1Char('\n') + ListedText(listed));
            }
            return kUsage;
        }
    }
    COrloFirmwareUpdate controller(stack);
    Identity identity;
    NoOrloDiagnosis why;
    if (const int code = Identify(stack, controller, options, identity, why); code != kSuccess) {
        return NotFound(options, console, why, code);
    }
    UnitResult result = UpdateIdentified(controller, identity, options, console);
    if (options.json) {
        if (result.code == kRefused) {
            PrintJson(console.out, {{"error", QJsonObject{{"code", result.code},
                                                          {"message", result.json["message"]}}}});
        } else {
            result.json.insert("node", Q(identity.node));
            result.json.insert("guid", Q(identity.guid));
            PrintJson(console.out, result.json);
        }
    }
    return result.code;
}

}  // namespace cli
