#include "OrloFirmwareUpdateDialog.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QLoggingCategory>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSessionManager>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <QUiLoader>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "DownloadProgress.h"
#include "RealtimeKit.h"
#include "UnitDiagnosis.h"
#include "UserTexts.h"
#include "Version.h"

using Brim::PTA::COrloFirmwareUpdate;
using Brim::PTA::UpdateOutcome;

namespace {

constexpr int kTimerIntervalMs = 500;
constexpr OSType kVideoEditorSignature = FourCC("KeyG");  // see Process.h
constexpr char kCommandIdProperty[] = "commandId";

// Delivers each menu command of the window (an action with a commandId) to handler; when the
// handler leaves it unhandled, the standard handling runs: 'quit' quits, others do nothing.
void InstallCommandHandler(WindowRef window, EventHandlerProcPtr handler, void* userData) {
    for (QAction* action : window->findChildren<QAction*>()) {
        const QByteArray id = action->property(kCommandIdProperty).toString().toLatin1();
        if (id.size() != 4) continue;
        const char code[5] = {id[0], id[1], id[2], id[3], '\0'};
        QObject::connect(action, &QAction::triggered, action,
                         [handler, userData, command = FourCC(code)] {
                             OpaqueEventRef event{{0, command, nullptr, 0}};
                             if (handler(nullptr, &event, userData) == eventNotHandledErr &&
                                 command == kHICommandQuit) {
                                 SendQuitRequest();
                             }
                         });
    }
}

// The close box of the window asks the dialog first.
class CloseGuard : public QObject {
  public:
    CloseGuard(QWidget* window, const COrloFirmwareUpdateDialog* dialog)
        : QObject(window), _dialog(dialog) {
        window->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::Close || _dialog->MayClose()) return false;
        event->ignore();
        return true;
    }

  private:
    const COrloFirmwareUpdateDialog* _dialog;
};

DialogItemIndex RunStandardAlert(QMessageBox::Icon icon, const QString& message,
                                 const QString& informative, bool withCancel) {
    QMessageBox alert(icon, QString(), message);
    alert.setTextFormat(Qt::PlainText);
    alert.setInformativeText(informative);
    QPushButton* ok = alert.addButton(COrloFirmwareUpdateDialog::tr("OK"), QMessageBox::AcceptRole);
    QPushButton* cancel = withCancel ? alert.addButton(COrloFirmwareUpdateDialog::tr("Cancel"),
                                                       QMessageBox::RejectRole)
                                     : nullptr;
    alert.setDefaultButton(ok);
    alert.setEscapeButton(withCancel ? cancel : ok);
    alert.exec();
    return withCancel && alert.clickedButton() == cancel ? 2 : 1;
}

// The instruction line while a run is active: what is being done to which part, and what is at
// stake.
QString ActivityText(const DownloadActivity& activity) {
    const bool mcore = activity.part == MCORE;
    switch (activity.stage) {
        case DownloadActivity::kPreparing:
            return COrloFirmwareUpdateDialog::tr(
                "Preparing the Orlo for the update. Do not disconnect or power off the Orlo.");
        case DownloadActivity::kErasing:
            return mcore ? COrloFirmwareUpdateDialog::tr(
                               "Erasing the M-CORE image. Do not disconnect or power off the Orlo.")
                         : COrloFirmwareUpdateDialog::tr(
                               "Erasing the FPGA image. Do not disconnect or power off the Orlo.");
        case DownloadActivity::kWriting:
            return mcore ? COrloFirmwareUpdateDialog::tr(
                               "Writing the M-CORE image. Do not disconnect or power off the Orlo.")
                         : COrloFirmwareUpdateDialog::tr(
                               "Writing the FPGA image. Do not disconnect or power off the Orlo.");
    }
    return {};
}

// WCAG 2: the relative luminance of an sRGB colour.
double RelativeLuminance(const QColor& color) {
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) +
           0.0722 * linear(color.blueF());
}

// F10 opens the window's menu, as on most desktops (Alt and the underlined letter work too).
void OpenMenuWithF10(WindowRef window) {
    auto* menuBar = window->findChild<QMenuBar*>(QStringLiteral("MenuBar"));
    if (menuBar == nullptr || menuBar->actions().isEmpty()) return;
    auto* shortcut = new QShortcut(QKeySequence(Qt::Key_F10), window);
    QObject::connect(shortcut, &QShortcut::activated, menuBar,
                     [menuBar] { menuBar->setActiveAction(menuBar->actions().front()); });
}

// A label as a screen reader should meet a line that tells of a change: AT-SPI's notification
// role, named by its text. Orca speaks a notification when it becomes showing, while it passes
// over text changes in labels; Qt 6.4 has no announcement event.
class NotificationAccessible : public QAccessibleWidget {
  public:
    explicit NotificationAccessible(QLabel* label)
        : QAccessibleWidget(label, QAccessible::Notification) {}
    QString text(QAccessible::Text kind) const override {
        return kind == QAccessible::Name ? static_cast<const QLabel*>(widget())->text()
                                         : QAccessibleWidget::text(kind);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        return state;
    }
};

// The warning's colour: red, as dark (on a light window) or as light (on a dark one) as it takes
// to reach a contrast of 4.5:1 against the window, the WCAG AA level for text.
QColor WarningColor(const QPalette& palette) {
    const QColor background = palette.color(QPalette::Window);
    const bool dark = RelativeLuminance(background) < 0.5;
    QColor red(255, 0, 0);
    for (int step = 0; step < 255 && ContrastRatio(red, background) < 4.5; ++step) {
        red = dark ? QColor(255, red.green() + 1, red.blue() + 1) : QColor(red.red() - 1, 0, 0);
    }
    return red;
}

void ReportOutcome(const UpdateOutcome& outcome) {
    std::cerr << (outcome.result == UpdateOutcome::Result::kSucceeded ? "Programming Complete\n"
                                                                      : "Programming Failed\n");
}

// Holds back what is written to `stream` while it lives, in `held`.
class HeldBack {
  public:
    HeldBack(std::ostream& stream, std::stringbuf& held)
        : _stream(stream), _saved(stream.rdbuf(&held)) {}
    ~HeldBack() { _stream.rdbuf(_saved); }
    HeldBack(const HeldBack&) = delete;
    HeldBack& operator=(const HeldBack&) = delete;

  private:
    std::ostream& _stream;
    std::streambuf* _saved;
};

// The signal handlers write one byte a signal here, which the event loop reads.
int gTerminationPipe[2] = {-1, -1};
constexpr char kQuitSignalled = 1;
constexpr char kStopSignalled = 2;

extern "C" void OnQuitSignal(int) {
    [[maybe_unused]] const ssize_t written = ::write(gTerminationPipe[1], &kQuitSignalled, 1);
}

extern "C" void OnStopSignal(int) {
    [[maybe_unused]] const ssize_t written = ::write(gTerminationPipe[1], &kStopSignalled, 1);
}

// Ctrl-Z (SIGTSTP), or a read or (with stty tostop) a write on the terminal from the background
// (SIGTTIN, SIGTTOU), would stop the process mid-image, the Orlo in update mode for as long as it
// stays stopped. While a run is active Ctrl-Z is answered with a line instead; SIGTTIN and SIGTTOU
// are ignored, not caught: the kernel restarts a terminal read or write whose signal was caught,
// and signals again, without end, while an ignored SIGTTOU lets the write through and an ignored
// SIGTTIN fails the read (nothing reads the terminal during a run). Afterwards, as before.
void HoldOffStopSignals(bool hold) {
    static struct sigaction before[3];
    static bool holding = false;
    const int stops[] = {SIGTSTP, SIGTTIN, SIGTTOU};
    if (hold == holding || gTerminationPipe[1] < 0) return;
    holding = hold;
    for (int i = 0; i < 3; ++i) {
        if (!hold) {
            sigaction(stops[i], &before[i], nullptr);
            continue;
        }
        struct sigaction action {};
        action.sa_handler = stops[i] == SIGTSTP ? OnStopSignal : SIG_IGN;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(stops[i], &action, &before[i]);
    }
}

std::function<void()>& LastWords() {
    static std::function<void()> lastWords;
    return lastWords;
}

// The run whose outcome nobody has been told yet, if any: from the start of a run until its alert
// has been answered or its outcome written to standard error.
std::atomic<COrloFirmwareUpdate*> gUntoldRun{nullptr};
// Set by the first thread that found the display gone while a run was at stake.
std::atomic<bool> gOutliving{false};

// The display has gone while a run is at stake, and the toolkit is about to end the process: waits
// for the run here, touching no widget (there is no display), says how it ended and leaves with
// its exit status. The toolkit may find the connection broken on more than one thread at once:
// the first one in does this, every later one waits here for it to end the process, so that none
// of them goes on to end the process with the toolkit's status instead.
void OutliveUntoldRun() {
    COrloFirmwareUpdate* run = gUntoldRun.load();
    if (run == nullptr && !gOutliving.load()) return;
    if (gOutliving.exchange(true)) {
        for (;;) ::pause();
    }
    std::cerr << "The display has gone: the update goes on, and the utility ends when it has "
                 "ended.\n";
    run->WaitForRun();
    const UpdateOutcome outcome = run->GetUpdateOutcome();
    ReportOutcome(outcome);
    if (LastWords()) LastWords()();
    std::cout.flush();
    std::fflush(nullptr);
    ::_exit(ExitStatusFor(outcome));
}

// On X11, Qt ends the process when its display goes away, whether the X server quits (end of the
// session) or a window manager kills our connection to force the window shut: the xcb platform
// finds the connection broken while processing events on the event-loop thread, warns "The X11
// connection broke (error N). Did the X11 server die?" and calls exit(1); Xlib's I/O error
// handler, which Qt's own chains to, calls exit(1) too when Xlib notices first. exit() runs the
// atexit handlers first, in reverse order of registration. This one is registered after
// everything the update thread uses exists (the progress record and the standard streams are
// older statics, the controller lives on main's stack, which exit() leaves alone), so it runs
// while they still do.
void OutliveUntoldRunAtExit() {
    OutliveUntoldRun();
}

// On Wayland there is no such moment: QtWayland (6.4, qwaylanddisplay.cpp, checkWaylandError)
// warns "The Wayland connection broke. Did the Wayland compositor die?" (or "The Wayland
// connection experienced a fatal error: ...") and calls _exit(1), which runs no atexit handler.
// It does so on whichever thread found the connection broken: the event-loop thread, or one of
// QtWayland's own event threads. A message handler is called on the thread that warns, before
// the warning returns (qlogging.cpp), so the warning is the last moment to hold on. The session
// tests kill a real compositor and would fail if a Qt worded it otherwise.
constexpr char kWaylandConnectionLost[] = "The Wayland connection ";
std::atomic<QtMessageHandler> gPreviousMessageHandler{nullptr};

void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (const QtMessageHandler previous = gPreviousMessageHandler.load()) {
        previous(type, context, message);
    }
    if (type == QtWarningMsg && message.startsWith(QLatin1String(kWaylandConnectionLost))) {
        OutliveUntoldRun();
    }
}

// Qt passes no warning of its default category to any handler once the logging rules turn such
// warnings off (QT_LOGGING_RULES="*.warning=false", say): they stay on here, for the one above.
QLoggingCategory::CategoryFilter gPreviousCategoryFilter = nullptr;

void KeepDefaultWarnings(QLoggingCategory* category) {
    if (gPreviousCategoryFilter != nullptr) gPreviousCategoryFilter(category);
    if (std::strcmp(category->categoryName(), "default") == 0) {
        category->setEnabled(QtWarningMsg, true);
    }
}

// Both ways the toolkit ends the process when the display goes, set up once.
void OutliveTheDisplay() {
    static const bool installed = [] {
        gPreviousMessageHandler = qInstallMessageHandler(OnQtMessage);
        gPreviousCategoryFilter = QLoggingCategory::installFilter(KeepDefaultWarnings);
        return std::atexit(OutliveUntoldRunAtExit) == 0;
    }();
    if (!installed) std::cerr << "The update would not outlive the display.\n";
}

}  // namespace

COrloFirmwareUpdateDialog::COrloFirmwareUpdateDialog(WindowRef window, fw::FireWireStack& stack,
                                                     bool verbose)
    : _updateState(WAITFORINPUT), _window(window), _stack(stack), _verbose(verbose) {
    _updateButton.Init(ORLOUpdateButtonID, _window);
    _cancelButton.Init(ORLOCancelButtonID, _window);
    _currentFirmwareVersionStr.Init(ORLOCurrentFirmwareVersionStrID, _window);
    _currentSerialNumberStr.Init(ORLOCurrentSerialNumberStrID, _window);
    _finalCutRunningStr.Init(ORLOFinalCutRunningStrID, _window);
    _updateFirmwareVersionStr.Init(ORLOUpdateFirmwareVersionStrID, _window);
    _progressBar.Init(ORLOProgressBarID, _window);

    _progressBar.SetValue(0);
    _updateButton.Disable();
    _finalCutRunningStr.SetVisibility(false);
    const QColor warning = WarningColor(_window->palette());
    _finalCutRunningStr.SetFontForeColor({static_cast<UInt16>(warning.red() * 257),
                                          static_cast<UInt16>(warning.green() * 257),
                                          static_cast<UInt16>(warning.blue() * 257)});
    _editorWarning = qobject_cast<QLabel*>(_finalCutRunningStr.GetControlRef())->text();
    DescribeForAssistiveTechnology();
    OpenMenuWithF10(_window);

    _updateButton.SetupEventHandler(kEventControlHit, UpdateEventHandlerStatic, this);
    _cancelButton.SetupEventHandler(kEventControlHit, CancelEventHandlerStatic, this);
    InstallCommandHandler(_window, ApplicationCommandHandlerStatic, this);
    new CloseGuard(_window, this);
    // X11 session management asks every program before a logout: during a run, the answer is no.
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, _window,
                     [this](QSessionManager& manager) {
                         if (_updateState != WAITFORINPUT && manager.allowsInteraction()) {
                             manager.cancel();
                         }
                     });

    _pOrlo = std::make_unique<COrloFirmwareUpdate>(stack);
    // Steady pauses on a busy machine: the update's thread asks to run real-time.
    _pOrlo->SetRunStartHook([] {
        if (const std::string line = realtimekit::RequestForThisThread(); !line.empty()) {
            std::cerr << line << "\n";
        }
    });

    // First tick as soon as the event loop runs, then every half second.
    auto* timer = new QTimer(_window);
    const auto tick = [timer, this] { TimerEventHandlerStatic(timer, this); };
    QObject::connect(timer, &QTimer::timeout, timer, tick);
    timer->start(kTimerIntervalMs);
    QTimer::singleShot(0, timer, tick);

    // Where the stack can tell that the bus changed, an Orlo plugged in shows at once rather than
    // at the next tick; the ticks go on regardless. Only a tick that looks at the bus ends the
    // word of a change, and ticks look only while waiting (and no alert is up): the word is not
    // listened to, or it would come again and again, until a tick has looked.
    if (const int changes = stack.BusChangeDescriptor(); changes >= 0) {
        _busChanges = new QSocketNotifier(changes, QSocketNotifier::Read, _window);
        QObject::connect(_busChanges, &QSocketNotifier::activated, timer, [timer, this] {
            _busChanges->setEnabled(false);
            if (_updateState == WAITFORINPUT) TimerEventHandlerStatic(timer, this);
        });
    }
}

// A window left open with an Orlo on the bus would write the same six diagnostic lines twice a
// second (some 12 MB a day into a journal): a tick's are written when they, or what it found,
// differ from the last tick's, or always when verbose.
bool COrloFirmwareUpdateDialog::Identify() {
    _heldOut.str(std::string());
    _heldErr.str(std::string());
    bool found = false;
    {
        const HeldBack heldOut(std::cout, _heldOut), heldErr(std::cerr, _heldErr);
        found = _pOrlo->IsFound();
    }
    const std::string out = _heldOut.str();
    const std::string err = _heldErr.str();
    std::string finding = out + '\0' + err + '\0';
    if (found) {
        std::string text;
        _pOrlo->GetCurrentFirmwareVersionString(text);
        finding += text + '\0';
        _pOrlo->GetSerialNumberString(text);
        finding += text + '\0' + std::to_string(_pOrlo->GetUnitsFound());
    }
    if (_verbose || finding != _lastFinding) {
        std::cout << out;
        std::cerr << err;
        _lastFinding = std::move(finding);
    }
    return found;
}

bool COrloFirmwareUpdateDialog::EditorRunning(bool thorough) {
    // The seat of the Orlo identified, asked when another Orlo is shown: it stays while the Orlo
    // does.
    const Brim::PTA::OrloInfo& orlo = _pOrlo->GetOrloInfo();
    if (_orloSeat.empty() || orlo.guid != _orloSeatGuid) {
        _orloSeat = _stack.Facts(orlo.unit).seat;  // empty if gone since: asked again next tick
        _orloSeatGuid = orlo.guid;
    }
    if (!_seatUser) _seatUser = std::make_unique<logind::SeatUser>();
    _seatUser->Follow(QString::fromStdString(_orloSeat.empty() ? "seat0" : _orloSeat));
    // The other owners (this program's users) stay for its lifetime: asked again only when the
    // seat's user changes.
    if (const std::optional<uid_t> user = _seatUser->User(); !_ownersFor || *_ownersFor != user) {
        _processes.SetOwners(ProcessOwners(user));
        _ownersFor = user;
    }
    return thorough ? _processes.FindProcessThoroughly(kVideoEditorSignature)
                    : _processes.FindProcess(kVideoEditorSignature);
}

bool COrloFirmwareUpdateDialog::CheckEditor(bool thorough) {
    const bool editorRunning = EditorRunning(thorough);
    if (editorRunning) {
        const std::string editor = _processes.GetApplicationName();
        Announce(_finalCutRunningStr,
                 editor.empty()
                     ? _editorWarning
                     : tr("Quit %1 before updating.").arg(QString::fromStdString(editor)));
    }
    const bool wasEnabled = _updateButton.GetControlRef()->isEnabled();
    _updateButton.Enable(!editorRunning);
    // Return starts the update: the button is the default, and takes the focus whenever it
    // becomes enabled.
    if (!editorRunning && !wasEnabled) _updateButton.GetControlRef()->setFocus();
    _finalCutRunningStr.SetVisibility(editorRunning);
    return editorRunning;
}

void COrloFirmwareUpdateDialog::ShowOrlo() {
    std::string text;
    _pOrlo->GetCurrentFirmwareVersionString(text);
    _currentFirmwareVersionStr.SetText(text.c_str());
    _pOrlo->GetSerialNumberString(text);
    _currentSerialNumberStr.SetText(text.c_str());
    std::string version;
    _pOrlo->GetUpdateFirmwareVersionString(version);
    const bool downgrade = _pOrlo->IsDowngrade();
    QString instruction =
        (downgrade ? tr("Select Downgrade button to download firmware version %1 to Orlo:")
                   : tr("Select Upgrade button to download firmware version %1 to Orlo:"))
            .arg(QString::fromStdString(version));
    // Which of several: the one shown. The command line reaches the others.
    if (const auto units = static_cast<int>(_pOrlo->GetUnitsFound()); units > 1) {
        instruction += QLatin1Char('\n') + tr("%n Orlos are connected: this updates the one shown. "
                                              "orlo-firmware-update --device updates any of them.",
                                              "", units);
    }
    if (!_outcomeShown) Announce(_updateFirmwareVersionStr, instruction);
    _updateButton.SetTitle((downgrade ? tr("&Downgrade") : tr("&Upgrade")).toUtf8().constData());
}

OSStatus COrloFirmwareUpdateDialog::TimerEventHandler(EventLoopTimerRef) {
    switch (_updateState) {
        case WAITFORINPUT:
            if (_confirming) break;  // the alert's event loop ticks on
            // This tick looks at the bus: the word of the next change is listened to again.
            if (_busChanges != nullptr) _busChanges->setEnabled(true);
            if (Identify()) {
                _cancelButton.Enable(true);
                // What the window says of the Orlo changes only with what identification found:
                // made anew only then, so that waiting costs little more than the tick.
                _shownWhy.reset();
                if (_shown != _lastFinding) {
                    ShowOrlo();
                    _shown = _lastFinding;
                }
                CheckEditor(false);
            } else {
                _shown.clear();
                // Why not, where the bus can tell; the texts again only when that changed.
                NoOrloDiagnosis why = DiagnoseNoOrlo(_stack, _device);
                if (_shownWhy && *_shownWhy == why) break;
                if (!_outcomeShown) Announce(_updateFirmwareVersionStr, NoOrloText(why));
                const QByteArray notFound = tr("Orlo Not Found").toUtf8();
                _currentFirmwareVersionStr.SetText(notFound.constData());
                _currentSerialNumberStr.SetText(notFound.constData());
                _updateButton.Disable();
                _finalCutRunningStr.SetVisibility(false);
                _orloSeat.clear();
                _shownWhy = std::move(why);
            }
            break;
        case STARTUPDATE:
            StartRun();
            break;
        case UPDATING: {
            // The done flag first: the tick that sees it raised also sees the final progress.
            const bool done = _pOrlo->GetDoneStatus();
            _progressBar.SetValue(static_cast<SInt32>(gDownloadProgress.Get()));
            if (!done) {
                Announce(_updateFirmwareVersionStr, ActivityText(gDownloadProgress.GetActivity()));
                break;
            }
            EndRun();
            const UpdateOutcome outcome = _pOrlo->GetUpdateOutcome();
            // What happened, in the window too: the line stays while the alert is up, which the
            // ticks meanwhile leave alone.
            _outcomeShown = true;
            Announce(_updateFirmwareVersionStr, OutcomeText(outcome));
            if (_quitWhenDone) {
                // Nobody may be there to answer an alert: leave the outcome on standard error.
                ReportOutcome(outcome);
                gUntoldRun = nullptr;
                QCoreApplication::exit(ExitStatusFor(outcome));
                return noErr;
            }
            if (outcome.result != UpdateOutcome::Result::kSucceeded) {
                // Nothing to cycle the power for: back to waiting, so the user can try again.
                ShowDownloadFailedAlert(outcome);
                gUntoldRun = nullptr;
                _outcomeShown = false;
                ShowAnew();
                _progressBar.SetValue(0);
                _cancelButton.Enable(true);
                break;
            }
            const DialogItemIndex answer = ShowDownloadDoneAlert();
            gUntoldRun = nullptr;
            _outcomeShown = false;
            ShowAnew();
            if (answer == 2) {
                _progressBar.SetValue(0);
            } else {
                return SendQuitRequest();
            }
            break;
        }
    }
    return noErr;
}

// What a screen reader is told (AT-SPI, as Orca reads it). The firmware version and serial
// number are read by their texts, labelled by their captions (the captions' buddies in the
// resource), so that "Current firmware version: 1-2" is said: an accessible name would hide the
// text. The instruction line and the warning are notifications, which Orca speaks as they appear;
// each is shown anew when its text changes (Announce). The progress bar is named and read as its
// value moves.
void COrloFirmwareUpdateDialog::DescribeForAssistiveTechnology() {
    const struct {
        CControl& control;
        QString name, description;
    } controls[] = {
        {_currentFirmwareVersionStr, {}, tr("The firmware version of the Orlo on the bus")},
        {_currentSerialNumberStr, {}, tr("The serial number of the Orlo")},
        {_progressBar, tr("Update progress"), tr("How far the update of the Orlo has come")},
    };
    for (const auto& control : controls) {
        control.control.GetControlRef()->setAccessibleName(control.name);
        control.control.GetControlRef()->setAccessibleDescription(control.description);
    }
    for (CControl* line : {&_updateFirmwareVersionStr, &_finalCutRunningStr}) {
        auto* label = qobject_cast<QLabel*>(line->GetControlRef());
        // In place of the interface Qt may have made for the label already.
        QAccessible::deleteAccessibleInterface(
            QAccessible::uniqueId(QAccessible::queryAccessibleInterface(label)));
        QAccessible::registerAccessibleInterface(new NotificationAccessible(label));
    }
}

void COrloFirmwareUpdateDialog::Announce(CControl& line, const QString& text) {
    const QWidget* label = line.GetControlRef();
    const bool changed = qobject_cast<const QLabel*>(label)->text() != text;
    line.SetText(text.toUtf8().constData());
    if (changed && label->isVisible()) {
        line.SetVisibility(false);
        line.SetVisibility(true);
    }
}

COrloFirmwareUpdateDialog::~COrloFirmwareUpdateDialog() {
    if (_updateState == UPDATING) _pOrlo->WaitForRun();
    EndRun();
    gUntoldRun = nullptr;  // the controller goes with the dialog
    delete _busChanges;    // the window outlives the dialog, and the stack may still say something
}

void COrloFirmwareUpdateDialog::SelectDevice(const std::string& device) {
    _device = device;
    _pOrlo->SelectDevice(device);
}

void COrloFirmwareUpdateDialog::StartRun() {
    _updateState = UPDATING;
    // Keep the machine from suspending or shutting down while the flash is rewritten. Without
    // logind the update still goes ahead.
    QString error;
    if (!_inhibitor.Take(QStringLiteral("ORLOFirmwareUpdate"),
                         QStringLiteral("Updating the Orlo's firmware"), error)) {
        std::cerr << "Nothing prevents a suspend or shutdown during the update: "
                  << error.toStdString() << "\n";
    }
    // And the desktop from logging out (or suspending on its own), where a portal runs.
    if (!_portal.Take(portal::Inhibition::kLogout | portal::Inhibition::kSuspend,
                      tr("Updating the Orlo's firmware"), error)) {
        std::cerr << "Nothing asks the desktop to hold off a logout during the update: "
                  << error.toStdString() << "\n";
    }
    OutliveTheDisplay();
    HoldOffStopSignals(true);
    gUntoldRun = _pOrlo.get();
    _pOrlo->DoUpdate();
    Announce(_updateFirmwareVersionStr, ActivityText(gDownloadProgress.GetActivity()));
}

void COrloFirmwareUpdateDialog::ShowAnew() {
    _shown.clear();
    _shownWhy.reset();
}

void COrloFirmwareUpdateDialog::EndRun() {
    _updateState = WAITFORINPUT;
    HoldOffStopSignals(false);
    _inhibitor.Release();
    _portal.Release();
}

int COrloFirmwareUpdateDialog::FinishActiveRun(int status) {
    if (_updateState != UPDATING) return status;
    _pOrlo->WaitForRun();
    EndRun();
    const UpdateOutcome outcome = _pOrlo->GetUpdateOutcome();
    ReportOutcome(outcome);
    gUntoldRun = nullptr;
    return ExitStatusFor(outcome);
}

void COrloFirmwareUpdateDialog::RefuseStop() {
    if (_updateState == UPDATING) std::cerr << "The update cannot be paused: it goes on.\n";
}

void COrloFirmwareUpdateDialog::RequestQuit() {
    switch (_updateState) {
        case WAITFORINPUT:
            SendQuitRequest();
            break;
        case STARTUPDATE:
            // Confirmed, but nothing written yet: the run does not start.
            _updateState = WAITFORINPUT;
            SendQuitRequest();
            break;
        case UPDATING:
            // Said again at each request, so a second Ctrl-C gets an answer too.
            std::cerr << "Quitting once the update has ended.\n";
            _quitWhenDone = true;
            break;
    }
}

OSStatus COrloFirmwareUpdateDialog::UpdateEventHandler(EventHandlerCallRef, EventRef) {
    if (_pOrlo->IsDowngrade()) {
        _confirming = true;
        const DialogItemIndex answer = ShowDowngradeAlert();
        _confirming = false;
        if (answer == 2) return SendQuitRequest();
    }
    // The ticks look at a long-running process less and less often: an editor it has exec'd
    // since, or one started since the last tick, is looked for now, before anything is written.
    if (CheckEditor(true)) return noErr;
    _updateButton.Disable();
    _cancelButton.Disable();
    _updateState = STARTUPDATE;
    return noErr;
}

OSStatus COrloFirmwareUpdateDialog::CancelEventHandler(EventHandlerCallRef, EventRef) {
    return SendQuitRequest();
}

OSStatus COrloFirmwareUpdateDialog::ApplicationCommandHandler(EventHandlerCallRef, EventRef event) {
    switch (event->command.commandID) {
        case kHICommandAbout:
            ShowAboutDialog();
            return noErr;
        case kHICommandQuit:
            // Quitting now would abandon the run half way.
            return _updateState == WAITFORINPUT ? eventNotHandledErr : noErr;
        default:
            return eventNotHandledErr;
    }
}

OSStatus COrloFirmwareUpdateDialog::UpdateEventHandlerStatic(EventHandlerCallRef inHandlerRef,
                                                             EventRef inEvent, void* inUserData) {
    return static_cast<COrloFirmwareUpdateDialog*>(inUserData)
        ->UpdateEventHandler(inHandlerRef, inEvent);
}

OSStatus COrloFirmwareUpdateDialog::CancelEventHandlerStatic(EventHandlerCallRef inHandlerRef,
                                                             EventRef inEvent, void* inUserData) {
    return static_cast<COrloFirmwareUpdateDialog*>(inUserData)
        ->CancelEventHandler(inHandlerRef, inEvent);
}

OSStatus COrloFirmwareUpdateDialog::ApplicationCommandHandlerStatic(EventHandlerCallRef handlerRef,
                                                                    EventRef event,
                                                                    void* userData) {
    return static_cast<COrloFirmwareUpdateDialog*>(userData)->ApplicationCommandHandler(handlerRef,
                                                                                        event);
}

OSStatus COrloFirmwareUpdateDialog::TimerEventHandlerStatic(EventLoopTimerRef timerRef,
                                                            void* inUserData) {
    return static_cast<COrloFirmwareUpdateDialog*>(inUserData)->TimerEventHandler(timerRef);
}

DialogItemIndex ShowDownloadDoneAlert() {
    return RunStandardAlert(
        QMessageBox::Information, COrloFirmwareUpdateDialog::tr("Programming Complete"),
        COrloFirmwareUpdateDialog::tr(
            "You will need to cycle the Power on your Orlo for changes to take affect"),
        false);
}

DialogItemIndex ShowDowngradeAlert() {
    // Escape answers Cancel, as the alert's second button.
    return RunStandardAlert(
        QMessageBox::Warning, COrloFirmwareUpdateDialog::tr("This is a Downgrade:"),
        COrloFirmwareUpdateDialog::tr("Press OK to Continue or Cancel to Quit"), true);
}

DialogItemIndex ShowAboutDialog() {
    return RunStandardAlert(QMessageBox::Information, QStringLiteral("ORLOFirmwareUpdate  "),
                            COrloFirmwareUpdateDialog::tr(
                                "Version %1, Copyright 2026 the ORLOFirmwareUpdate developers")
                                .arg(QString::fromLatin1(kOrloFirmwareUpdateVersion)),
                            false);
}

DialogItemIndex ShowDownloadFailedAlert(const UpdateOutcome& outcome) {
    using Result = UpdateOutcome::Result;
    const QString status = StatusText(outcome.status);
    QString text;
    switch (outcome.result) {
        case Result::kChanged:
            text = COrloFirmwareUpdateDialog::tr(
                "The Orlo changed since it was shown: it was unplugged, or another Orlo took its "
                "place. Your Orlo was not updated. Keep it connected and powered, and start the "
                "update again.");
            break;
        case Result::kInUse:
            text = COrloFirmwareUpdateDialog::tr(
                "The Orlo is in use by another program. Your Orlo was not updated. Keep it "
                "connected and powered, and start the update again.");
            break;
        case Result::kNotStarted:
            text = COrloFirmwareUpdateDialog::tr(
                       "The update could not be started (status %1). Your Orlo was not updated. "
                       "Keep it connected and powered, and start the update again.")
                       .arg(status);
            break;
        case Result::kFpgaFailed:
            text = COrloFirmwareUpdateDialog::tr(
                       "Programming the FPGA image failed (status %1). Your Orlo was not updated "
                       "completely. Keep it connected and powered, and start the update again.")
                       .arg(status);
            break;
        case Result::kMcoreFailed:
            text = COrloFirmwareUpdateDialog::tr(
                       "Programming the M-CORE image failed (status %1). Your Orlo was not "
                       "updated completely. Keep it connected and powered, and start the update "
                       "again.")
                       .arg(status);
            break;
        default:
            text = COrloFirmwareUpdateDialog::tr(
                "The update did not finish. Your Orlo was not updated completely. Keep it "
                "connected and powered, and start the update again.");
            break;
    }
    return RunStandardAlert(QMessageBox::Critical,
                            COrloFirmwareUpdateDialog::tr("Programming Failed"), text, false);
}

double ContrastRatio(const QColor& first, const QColor& second) {
    const double a = RelativeLuminance(first) + 0.05;
    const double b = RelativeLuminance(second) + 0.05;
    return a > b ? a / b : b / a;
}

void SetLastWords(std::function<void()> lastWords) {
    LastWords() = std::move(lastWords);
}

OSStatus SendQuitRequest() {
    QCoreApplication::quit();
    return noErr;
}

OSStatus CreateWindowFromResource(const QString& resource, std::unique_ptr<QWidget>& window) {
    window.reset();
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly)) {
        std::cerr << "Cannot open the resource " << resource.toStdString() << "\n";
        return kResourceNotFoundErr;
    }
    QUiLoader loader;
    std::unique_ptr<QWidget> loaded(loader.load(&file));
    if (!loaded) {
        std::cerr << "Cannot read the resource " << resource.toStdString() << ": "
                  << loader.errorString().toStdString() << "\n";
        return kResourceNotFoundErr;
    }
    if (qobject_cast<QMainWindow*>(loaded.get()) == nullptr ||
        loaded->objectName() != QLatin1String("MainWindow")) {
        std::cerr << "No window MainWindow in the resource " << resource.toStdString() << "\n";
        return kWindowNotFoundErr;
    }
    if (loaded->findChild<QMenuBar*>(QStringLiteral("MenuBar")) == nullptr) {
        std::cerr << "No menu bar MenuBar in the resource " << resource.toStdString() << "\n";
        return kMenuBarNotFoundErr;
    }
    window = std::move(loaded);
    return noErr;
}

namespace {

// Ctrl-C, Ctrl-\, a logout or a plain kill must not cut an update short and leave the Orlo
// half-written: each becomes a quit request that the dialog defers until the update has ended.
// The handler only writes to a pipe, which the event loop watches.
void DeferTerminationSignals(QWidget& window, COrloFirmwareUpdateDialog& dialog) {
    static const bool installed = [] {
        if (::pipe2(gTerminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        struct sigaction action {};
        action.sa_handler = OnQuitSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
        return true;
    }();
    if (!installed) return;
    auto* notifier = new QSocketNotifier(gTerminationPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&dialog] {
        // One byte a signal: each one gets its answer, however close together they came.
        char drained[16];
        ssize_t got = 0;
        while ((got = ::read(gTerminationPipe[0], drained, sizeof drained)) > 0) {
            for (ssize_t i = 0; i < got; ++i) {
                if (drained[i] == kQuitSignalled) {
                    dialog.RequestQuit();
                } else {
                    dialog.RefuseStop();
                }
            }
        }
    });
}

}  // namespace

int RunFirmwareUpdateWindow(fw::FireWireStack& stack, const QString& resource,
                            const std::function<void(QWidget& window)>& prepare,
                            const std::string& device, bool verbose) {
    InstallTranslations();  // before the resource: its texts are translated as it is loaded
    // The icon the desktop shows for the window and its alerts: the icon theme's, as installed
    // with the desktop entry, else the same picture compiled in.
    QApplication::setWindowIcon(QIcon::fromTheme(
        kDesktopId, QIcon(QStringLiteral(":/ORLOFirmwareUpdate/%1.svg").arg(kDesktopId))));
    std::unique_ptr<QWidget> window;
    if (const OSStatus status = CreateWindowFromResource(resource, window); status != noErr) {
        return status;
    }
    auto dialog = std::make_unique<COrloFirmwareUpdateDialog>(window.get(), stack, verbose);
    dialog->SelectDevice(device);
    DeferTerminationSignals(*window, *dialog);
    if (prepare) prepare(*window);
    window->show();
    const int status = dialog->FinishActiveRun(QApplication::exec());
    dialog.reset();
    return status;
}
