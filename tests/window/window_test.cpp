// The update window as the utility builds it (the real resource, the real dialog and controller)
// against a simulated bus, on Qt's offscreen platform. Ticks are called directly where a test
// needs them in step, or left to the dialog's own timer inside the event loop.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

#include "DownloadProgress.h"
#include "OrloFirmwareUpdateDialog.h"
#include "Process.h"
#include "SimulatedBus.h"
#include "WaitForExec.h"

// fontconfig keeps its configuration cache until the process ends; the sanitizer build's leak
// check would otherwise fail every test that lays out text.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
// Qt is not built with the thread sanitizer: its threads hand objects over with atomics that the
// tsan build cannot see (its message boxes use a thread pool).
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\nrace:libQt6Gui.so\nrace:libQt6Widgets.so\n";
}

namespace {

namespace fs = std::filesystem;

constexpr int kStillRunning = 42;  // RunEventLoop's result when nothing quit the utility
const QString kRetryAdvice =
    QStringLiteral(" Keep it connected and powered, and start the update again.");

void EnsureApplication() {
    static int argc = 1;
    static char name[] = "window_test";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        new QApplication(argc, argv);  // lives until the test program ends
    }
}

// Runs the event loop until the utility quits (the loop's status, 0) or `ms` have passed
// (kStillRunning).
int RunEventLoop(int ms) {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(kStillRunning); });
    watchdog.start(ms);
    return QApplication::exec();
}

// Answers the modal alerts of a test by clicking their buttons, polling every few milliseconds.
// The answer to an alert is queued before whatever opens it. An alert nobody expected fails the
// test and is closed, and so does an expected one that has not appeared when the test ends.
class AlertAnswerer {
  public:
    struct Alert {
        QMessageBox::Icon icon;
        QString text, informativeText;
        QStringList buttons;
        int progress;         // the window's progress bar while the alert was up
        QString instruction;  // the window's instruction line when the alert was answered
    };

    AlertAnswerer(const QProgressBar* const& progressBar, const QLabel* const& instruction)
        : _progressBar(progressBar), _instruction(instruction) {
        QObject::connect(&_poll, &QTimer::timeout, [this] { Poll(); });
        _poll.start(5);
    }
    ~AlertAnswerer() {
        for (const Answered& answer : _answers)
            ADD_FAILURE() << "no alert came to be answered with " << answer.button.toStdString();
    }
    // `afterMs`: the alert stays open that long first, with the event loop (and the dialog's
    // ticks) running under it.
    void Answer(const QString& button, int afterMs = 0) { _answers.push_back({button, afterMs}); }

    std::vector<Alert> alerts;

  private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        if (box != _open) {
            _open = box;
            _openedAt.start();
        }
        if (!_answers.empty() && _openedAt.elapsed() < _answers.front().afterMs) return;
        _open = nullptr;
        Alert alert{box->icon(), box->text(),           box->informativeText(),
                    {},          _progressBar->value(), _instruction->text()};
        for (QAbstractButton* button : box->buttons()) alert.buttons << button->text();
        alert.buttons.sort();
        alerts.push_back(alert);
        const auto buttons = box->buttons();
        const auto wanted = std::find_if(buttons.begin(), buttons.end(), [&](auto* button) {
            return !_answers.empty() && button->text() == _answers.front().button;
        });
        if (wanted == buttons.end()) {
            ADD_FAILURE() << "unexpected alert: " << alert.text.toStdString() << " / "
                          << alert.informativeText.toStdString();
            box->done(0);
            return;
        }
        _answers.pop_front();
        (*wanted)->click();
    }

    struct Answered {
        QString button;
        int afterMs;
    };
    const QProgressBar* const& _progressBar;
    const QLabel* const& _instruction;
    std::deque<Answered> _answers;
    QTimer _poll;
    const QMessageBox* _open = nullptr;  // the alert being held open, since _openedAt
    QElapsedTimer _openedAt;
};

// Holds the update thread at its pauses once the progress has reached `holdAt`, until opened.
class Gate {
  public:
    void HoldAt(UInt32 progress) {
        std::lock_guard lock(_mutex);
        _holdAt = progress;
        _held = false;
        _changed.notify_all();
    }
    // Waits until the update thread is held at a pause.
    void WaitUntilHeld() {
        std::unique_lock lock(_mutex);
        _changed.wait(lock, [this] { return _held; });
    }
    void Open() {
        std::lock_guard lock(_mutex);
        _holdAt = UINT32_MAX;
        _changed.notify_all();
    }
    void Pause() {
        std::unique_lock lock(_mutex);
        while (gDownloadProgress.Get() >= _holdAt) {
            _held = true;  // said again after every wake-up: HoldAt clears it
            _changed.notify_all();
            _changed.wait(lock);
        }
        _held = false;
    }

  private:
    std::mutex _mutex;
    std::condition_variable _changed;
    UInt32 _holdAt = UINT32_MAX;
    bool _held = false;
};

class WindowTest : public testing::Test {
  protected:
    void SetUp() override {
        gDownloadProgress.Reset();
        SetDownloadPause([this](UInt32) { gate.Pause(); });
        ASSERT_EQ(CreateWindowFromResource(kMainResource, window), noErr);
        dialog = std::make_unique<COrloFirmwareUpdateDialog>(window.get(), bus);
        updateButton = Control<QPushButton>(ORLOUpdateButtonID);
        cancelButton = Control<QPushButton>(ORLOCancelButtonID);
        version = Control<QLabel>(ORLOCurrentFirmwareVersionStrID);
        serial = Control<QLabel>(ORLOCurrentSerialNumberStrID);
        warning = Control<QLabel>(ORLOFinalCutRunningStrID);
        instruction = Control<QLabel>(ORLOUpdateFirmwareVersionStrID);
        progressBar = Control<QProgressBar>(ORLOProgressBarID);
        ASSERT_TRUE(updateButton && cancelButton && version && serial && warning && instruction &&
                    progressBar);
        window->show();
        QCoreApplication::processEvents();  // the first tick: nothing on the bus yet
    }
    void TearDown() override {
        gate.Open();  // a run still held would keep the controller's destructor waiting
        dialog.reset();
        window.reset();
        SetDownloadPause(nullptr);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "an alert was left open";
    }

    template <typename Widget>
    Widget* Control(ControlID id) {
        CControl control;
        control.Init(id, window.get());
        return qobject_cast<Widget*>(control.GetControlRef());
    }
    UInt32 PlugIn(UInt32 softwareVersion) {
        const UInt32 unit = bus.AddUnit();
        bus.Model(unit).softwareVersion = softwareVersion;
        bus.Model(unit).serialNumber = {'S', 'N', '0', '0', '0', '0', '4', '2'};
        return unit;
    }
    void Tick() { EXPECT_EQ(dialog->TimerEventHandler(nullptr), noErr); }
    OSStatus Command(UInt32 commandID) {
        OpaqueEventRef event{{0, commandID, nullptr, 0}};
        return dialog->ApplicationCommandHandler(nullptr, &event);
    }
    QAction* MenuItem(const char* commandId) {
        for (QAction* action : window->findChildren<QAction*>())
            if (action->property("commandId").toString() == QLatin1String(commandId)) return action;
        return nullptr;
    }
    bool WarningShown() const { return warning->isVisibleTo(window.get()); }
    bool HasWrites() const {
        const auto log = bus.Log();
        return std::any_of(log.begin(), log.end(), [](const sim::Transaction& t) {
            return t.kind == sim::Transaction::Kind::kWrite ||
                   t.kind == sim::Transaction::Kind::kWriteQuadlet;
        });
    }
    void ExpectNotFound() {
        EXPECT_EQ(version->text(), "Orlo Not Found");
        EXPECT_EQ(serial->text(), "Orlo Not Found");
        // The instruction line says why.
        EXPECT_EQ(instruction->text().toStdString(),
                  "No Orlo is on the FireWire bus: check that it is connected and powered.");
        EXPECT_FALSE(updateButton->isEnabled());
        EXPECT_FALSE(WarningShown());
    }

    struct Application {
        Application() { EnsureApplication(); }
    } application;  // before any Qt object
    Gate gate;
    sim::SimulatedBus bus;
    std::unique_ptr<QWidget> window;
    std::unique_ptr<COrloFirmwareUpdateDialog> dialog;
    QPushButton* updateButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QLabel *version = nullptr, *serial = nullptr, *warning = nullptr, *instruction = nullptr;
    QProgressBar* progressBar = nullptr;
    AlertAnswerer alerts{progressBar, instruction};
};

const QString kUpgradeText =
    QStringLiteral("Select Upgrade button to download firmware version 1-3 to Orlo:");

// A button's text as people see it: the '&' marks the mnemonic, underlined.
QString Visible(QString text) {
    return text.remove(QLatin1Char('&'));
}

TEST(WindowStartTest, ControlsStartClearedAndTheFirstTickComesAtOnce) {
    EnsureApplication();
    sim::SimulatedBus bus;
    std::unique_ptr<QWidget> window;
    ASSERT_EQ(CreateWindowFromResource(kMainResource, window), noErr);
    COrloFirmwareUpdateDialog dialog(window.get(), bus);
    auto* version = window->findChild<QLabel*>("currentFirmwareVersionStr");
    auto* warning = window->findChild<QLabel*>("finalCutRunningStr");
    auto* bar = window->findChild<QProgressBar*>("progressBar");
    ASSERT_TRUE(version && warning && bar);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_FALSE(window->findChild<QPushButton*>("updateButton")->isEnabled());
    EXPECT_TRUE(warning->isHidden());
    EXPECT_EQ(version->text(), "Searching...");  // the resource's text until the first tick
    EXPECT_FALSE(window->findChild<QMenuBar*>("MenuBar")->isNativeMenuBar());

    QCoreApplication::processEvents();  // one pass, long before half a second
    EXPECT_EQ(version->text(), "Orlo Not Found");
}

TEST_F(WindowTest, ShowsTheOrloWhileItIsOnTheBus) {
    ExpectNotFound();
    const UInt32 unit = PlugIn(0x00010002);
    Tick();
    EXPECT_EQ(version->text(), "1-2");
    EXPECT_EQ(serial->text(), "SN000042");
    EXPECT_EQ(instruction->text(), kUpgradeText);
    EXPECT_EQ(Visible(updateButton->text()), "Upgrade");
    EXPECT_TRUE(updateButton->isEnabled());
    EXPECT_TRUE(cancelButton->isEnabled());
    EXPECT_FALSE(WarningShown());

    // The texts are made again only when what a tick finds has changed: each change shows.
    bus.Model(unit).softwareVersion = 0x00020000;
    Tick();
    EXPECT_EQ(version->text(), "2-0");
    EXPECT_EQ(Visible(updateButton->text()), "Downgrade");
    bus.Model(unit).softwareVersion = 0x00010002;
    bus.Model(unit).productRevision = 0x00070000;
    Tick();
    EXPECT_EQ(version->text(), "Orlo Not Found");
    EXPECT_EQ(instruction->text(), "The device on the bus is not an Orlo (product version 7).");
    EXPECT_FALSE(updateButton->isEnabled());

    bus.SetPresent(unit, false);
    Tick();
    ExpectNotFound();
    EXPECT_EQ(Visible(updateButton->text()), "Downgrade");  // left as it was
    EXPECT_TRUE(cancelButton->isEnabled());
    EXPECT_FALSE(HasWrites());

    PlugIn(0x00010002);
    Tick();
    EXPECT_EQ(version->text(), "1-2");
    EXPECT_EQ(instruction->text(), kUpgradeText);
    EXPECT_TRUE(updateButton->isEnabled());
}

TEST_F(WindowTest, CancelButtonMenuQuitAndCloseBoxQuitWhileWaiting) {
    PlugIn(0x00010002);
    Tick();
    QTimer::singleShot(0, cancelButton, &QPushButton::click);
    EXPECT_EQ(RunEventLoop(3000), 0);

    EXPECT_EQ(Command(kHICommandQuit), eventNotHandledErr);  // the standard quit runs
    window->show();
    QTimer::singleShot(0, MenuItem("quit"), &QAction::trigger);
    EXPECT_EQ(RunEventLoop(3000), 0);

    window->show();
    QTimer::singleShot(0, window.get(), &QWidget::close);
    EXPECT_EQ(RunEventLoop(3000), 0);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(WindowTest, DowngradeCancelledQuitsWithoutWritingToTheOrlo) {
    PlugIn(0x00010005);  // FPGA 5 is newer than the embedded 3
    Tick();
    EXPECT_EQ(Visible(updateButton->text()), "Downgrade");
    EXPECT_EQ(instruction->text(),
              "Select Downgrade button to download firmware version 1-3 to Orlo:");

    bus.ClearLog();
    alerts.Answer("Cancel");
    QTimer::singleShot(0, updateButton, &QPushButton::click);
    EXPECT_EQ(RunEventLoop(3000), 0);
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts[0].icon, QMessageBox::Warning);
    EXPECT_EQ(alerts.alerts[0].text, "This is a Downgrade:");
    EXPECT_EQ(alerts.alerts[0].informativeText, "Press OK to Continue or Cancel to Quit");
    EXPECT_EQ(alerts.alerts[0].buttons, QStringList({"Cancel", "OK"}));
    EXPECT_EQ(dialog->GetUpdateState(), WAITFORINPUT);
    EXPECT_FALSE(HasWrites());
}

TEST_F(WindowTest, DowngradeConfirmedProgramsBothImages) {
    const UInt32 unit = PlugIn(0x00010005);
    Tick();
    alerts.Answer("OK");
    updateButton->click();
    EXPECT_EQ(dialog->GetUpdateState(), STARTUPDATE);
    EXPECT_FALSE(updateButton->isEnabled());
    EXPECT_FALSE(cancelButton->isEnabled());

    alerts.Answer("OK");  // "Programming Complete"; its OK quits
    EXPECT_EQ(RunEventLoop(20000), 0);
    ASSERT_EQ(alerts.alerts.size(), 2u);
    EXPECT_EQ(alerts.alerts[1].text, "Programming Complete");
    EXPECT_EQ(bus.Model(unit).VerifiedCount(sim::Image::kFpga), 1u);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(sim::Image::kMcore), 1u);
}

TEST_F(WindowTest, RunningVideoEditorBlocksTheUpdate) {
    ASSERT_FALSE(TProcess(kMyProcess).FindProcess(FourCC("KeyG"))) << "an editor already runs";
    PlugIn(0x00010002);
    Tick();
    ASSERT_TRUE(updateButton->isEnabled());

    std::string pattern = (fs::temp_directory_path() / "window_test.XXXXXX").string();
    const fs::path dir = mkdtemp(pattern.data());
    const fs::path editor = dir / "kdenlive";
    fs::copy_file("/bin/sleep", editor);
    const auto start = [&editor] {
        std::string argv0 = "kdenlive", seconds = "60";
        char* argv[] = {argv0.data(), seconds.data(), nullptr};
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, editor.c_str(), nullptr, nullptr, argv, environ), 0);
        EXPECT_TRUE(WaitForExec(pid, argv0));
        return pid;
    };
    const auto end = [](pid_t pid) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    };

    pid_t pid = start();
    Tick();
    EXPECT_FALSE(updateButton->isEnabled());
    EXPECT_TRUE(WarningShown());
    EXPECT_EQ(warning->text(), "Quit Kdenlive before updating.");  // named, where it is known

    end(pid);
    Tick();
    EXPECT_TRUE(updateButton->isEnabled());
    EXPECT_FALSE(WarningShown());

    // One started since the last tick is looked for when the update is asked for.
    pid = start();
    bus.ClearLog();
    updateButton->click();
    EXPECT_EQ(dialog->GetUpdateState(), WAITFORINPUT);
    EXPECT_FALSE(updateButton->isEnabled());
    EXPECT_TRUE(WarningShown());
    end(pid);
    fs::remove_all(dir);
    Tick();
    EXPECT_TRUE(updateButton->isEnabled());
    EXPECT_FALSE(HasWrites());
}

TEST_F(WindowTest, QuitAndCloseAreRefusedDuringAnUpdate) {
    PlugIn(0x00010002);
    Tick();
    gate.HoldAt(40);  // the FPGA erase
    updateButton->click();
    EXPECT_EQ(dialog->GetUpdateState(), STARTUPDATE);
    EXPECT_EQ(Command(kHICommandQuit), noErr);
    EXPECT_FALSE(window->close());
    Tick();
    EXPECT_EQ(dialog->GetUpdateState(), UPDATING);
    EXPECT_EQ(Command(kHICommandQuit), noErr);
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());

    // The same through the menu and the close box, with the event loop running.
    QTimer::singleShot(0, MenuItem("quit"), &QAction::trigger);
    QTimer::singleShot(0, window.get(), &QWidget::close);
    EXPECT_EQ(RunEventLoop(1200), kStillRunning);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(dialog->GetUpdateState(), UPDATING);
    EXPECT_FALSE(updateButton->isEnabled());
    EXPECT_FALSE(cancelButton->isEnabled());

    gate.Open();
    alerts.Answer("OK");
    EXPECT_EQ(RunEventLoop(10000), 0);
}

TEST_F(WindowTest, ProgressBarFollowsTheRunAndSuccessEndsTheUtility) {
    const UInt32 unit = PlugIn(0x00010002);
    Tick();
    gate.HoldAt(40);
    updateButton->click();
    Tick();  // starts the run
    while (gDownloadProgress.Get() < 40) QThread::msleep(1);
    EXPECT_EQ(progressBar->value(), 0);  // until the first tick of the run
    Tick();
    EXPECT_EQ(progressBar->value(), static_cast<int>(gDownloadProgress.Get()));
    EXPECT_GE(progressBar->value(), 40);

    gate.Open();
    alerts.Answer("OK", 700);  // a tick comes while the alert is up
    EXPECT_EQ(RunEventLoop(10000), 0);
    ASSERT_EQ(alerts.alerts.size(), 1u);
    const auto& done = alerts.alerts[0];
    // Behind the alert, the window says what happened too.
    EXPECT_EQ(done.instruction,
              "Programming Complete. Cycle the power of the Orlo for the new firmware to take "
              "effect.");
    EXPECT_EQ(done.icon, QMessageBox::Information);
    EXPECT_EQ(done.text, "Programming Complete");
    EXPECT_EQ(done.informativeText,
              "You will need to cycle the Power on your Orlo for changes to take affect");
    EXPECT_EQ(done.buttons, QStringList({"OK"}));
    EXPECT_EQ(done.progress, 100);  // the final value is shown before the alert
    EXPECT_EQ(bus.Model(unit).VerifiedCount(sim::Image::kMcore), 1u);
}

// During the run the instruction line says which part is being erased or written, and what is at
// stake.
TEST_F(WindowTest, TheInstructionSaysWhatTheRunIsDoing) {
    PlugIn(0x00010002);
    Tick();
    ASSERT_EQ(instruction->text(), kUpgradeText);
    const struct {
        UInt32 holdAt;
        const char* text;
    } stages[] = {
        {40, "Erasing the FPGA image."},
        {41, "Writing the FPGA image."},
        {80, "Erasing the M-CORE image."},
        {81, "Writing the M-CORE image."},
    };
    gate.HoldAt(stages[0].holdAt);
    updateButton->click();
    Tick();  // starts the run
    for (const auto& stage : stages) {
        SCOPED_TRACE(stage.text);
        gate.HoldAt(stage.holdAt);
        gate.WaitUntilHeld();
        Tick();
        EXPECT_EQ(instruction->text(),
                  QString(stage.text) + " Do not disconnect or power off the Orlo.");
    }
    gate.Open();
    alerts.Answer("OK");
    EXPECT_EQ(RunEventLoop(10000), 0);
}

TEST_F(WindowTest, FailedRunSaysWhatFailedAndTheUserCanTryAgain) {
    const UInt32 unit = PlugIn(0x00010002);
    bus.Faults(unit).accessFaults = {{sim::kUpdateData, 1, kIOReturnTimeout}};
    Tick();
    updateButton->click();
    alerts.Answer("OK", 700);
    // A tick while the alert is up, as word of a bus change brings one: the instruction line
    // still tells how the run ended, and invites again once the alert is answered.
    QTimer underTheAlert;
    QObject::connect(&underTheAlert, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() == nullptr) return;
        underTheAlert.stop();
        Tick();
    });
    underTheAlert.start(50);
    EXPECT_EQ(RunEventLoop(3000), kStillRunning);  // the failure alert does not quit
    EXPECT_FALSE(underTheAlert.isActive());
    ASSERT_EQ(alerts.alerts.size(), 1u);
    const auto& failed = alerts.alerts[0];
    EXPECT_EQ(failed.instruction,
              "Programming Failed: the FPGA image failed (status 0xE00002D6). Keep the Orlo "
              "connected and powered, and update it again.");
    EXPECT_EQ(failed.icon, QMessageBox::Critical);
    EXPECT_EQ(failed.text, "Programming Failed");
    EXPECT_EQ(failed.informativeText,
              "Programming the FPGA image failed (status 0xE00002D6). Your Orlo was not "
              "updated completely." +
                  kRetryAdvice);
    EXPECT_EQ(failed.buttons, QStringList({"OK"}));
    EXPECT_EQ(dialog->GetUpdateState(), WAITFORINPUT);
    EXPECT_EQ(progressBar->value(), 0);
    EXPECT_EQ(instruction->text(), kUpgradeText);  // the invitation again
    EXPECT_TRUE(updateButton->isEnabled());
    EXPECT_TRUE(cancelButton->isEnabled());

    bus.Faults(unit).accessFaults.clear();
    updateButton->click();
    alerts.Answer("OK");
    EXPECT_EQ(RunEventLoop(10000), 0);
    ASSERT_EQ(alerts.alerts.size(), 2u);
    EXPECT_EQ(alerts.alerts[1].text, "Programming Complete");
    EXPECT_EQ(bus.Model(unit).VerifiedCount(sim::Image::kFpga), 1u);
}

TEST_F(WindowTest, OrloGoneWhenTheRunBeginsIsReported) {
    const UInt32 unit = PlugIn(0x00010002);
    Tick();
    updateButton->click();
    bus.SetPresent(unit, false);
    bus.ClearLog();
    alerts.Answer("OK");
    EXPECT_EQ(RunEventLoop(2000), kStillRunning);
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts[0].icon, QMessageBox::Critical);
    EXPECT_EQ(alerts.alerts[0].informativeText,
              "The Orlo changed since it was shown: it was unplugged, or another Orlo took its "
              "place. Your Orlo was not updated." +
                  kRetryAdvice);
    ExpectNotFound();
    EXPECT_TRUE(cancelButton->isEnabled());  // the user can still leave with the button
    EXPECT_FALSE(HasWrites());
}

// The Orlo that the downgrade alert asks about is the one written, or none: another Orlo put in
// its place while the alert stays open (with ticks going on under it) is not taken for it.
TEST_F(WindowTest, TheDowngradeAgreedToIsForTheOrloWrittenOrNone) {
    const UInt32 unit = PlugIn(0x00020000);
    Tick();
    ASSERT_EQ(Visible(updateButton->text()), "Downgrade");
    QTimer::singleShot(50, [&] {
        bus.SwapUnit(unit, 0x0011223344556677);  // an upgrade, had anybody looked
        bus.Model(unit).softwareVersion = 0x00010002;
    });
    alerts.Answer("OK", 1200);
    alerts.Answer("OK");
    bus.ClearLog();
    updateButton->click();
    EXPECT_EQ(RunEventLoop(2000), kStillRunning);
    ASSERT_EQ(alerts.alerts.size(), 2u);
    EXPECT_EQ(alerts.alerts[0].text, "This is a Downgrade:");
    EXPECT_EQ(alerts.alerts[1].informativeText,
              "The Orlo changed since it was shown: it was unplugged, or another Orlo took its "
              "place. Your Orlo was not updated." +
                  kRetryAdvice);
    EXPECT_FALSE(HasWrites());
    // Back to waiting, the window shows the Orlo that is there now.
    EXPECT_EQ(version->text(), "1-2");
}

// Two Orlos: the window shows the first (or the one asked for), says how many there are, and
// updates the one it shows.
TEST_F(WindowTest, WithSeveralOrlosItUpdatesTheOneShownAndSaysHowManyThereAre) {
    const UInt32 first = PlugIn(0x00010002);
    const UInt32 second = PlugIn(0x00010001);
    bus.Model(second).serialNumber = {'S', 'N', '0', '0', '0', '0', '4', '3'};
    const QString several = QStringLiteral(
        "\n2 Orlos are connected: this updates the one shown. "
        "orlo-firmware-update --device updates any of them.");
    Tick();
    EXPECT_EQ(serial->text(), "SN000042");
    EXPECT_EQ(instruction->text(), kUpgradeText + several);

    dialog->SelectDevice("SN000043");
    Tick();
    EXPECT_EQ(serial->text(), "SN000043");
    EXPECT_EQ(version->text(), "1-1");
    bus.ClearLog();
    alerts.Answer("OK");
    updateButton->click();
    EXPECT_EQ(RunEventLoop(10000), 0);
    EXPECT_EQ(alerts.alerts.at(0).text, "Programming Complete");
    EXPECT_EQ(bus.Model(second).VerifiedCount(sim::Image::kMcore), 1u);
    EXPECT_EQ(bus.Model(first).VerifiedCount(sim::Image::kFpga), 0u);

    dialog->SelectDevice("SN000044");
    Tick();
    EXPECT_EQ(instruction->text().toStdString(),
              "No Orlo SN000044 is connected: orlo-firmware-update list shows those that are.");
}

TEST_F(WindowTest, AboutBoxFromTheMenu) {
    alerts.Answer("OK");
    MenuItem("abou")->trigger();
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts[0].icon, QMessageBox::Information);
    EXPECT_EQ(alerts.alerts[0].text, "ORLOFirmwareUpdate  ");
    EXPECT_EQ(alerts.alerts[0].informativeText,
              "Version 1.3, Copyright 2026 the ORLOFirmwareUpdate developers");
    EXPECT_EQ(alerts.alerts[0].buttons, QStringList({"OK"}));
    EXPECT_EQ(Command(FourCC("xxxx")), eventNotHandledErr);
}

// Keyboard: Return starts the update (the button is the default and holds the focus once it is
// enabled); both buttons and the menu have mnemonics; F10 opens the menu.
TEST_F(WindowTest, TheKeyboardReachesEverything) {
    window->activateWindow();
    QApplication::setActiveWindow(window.get());
    PlugIn(0x00010002);
    Tick();
    ASSERT_TRUE(updateButton->isEnabled());
    EXPECT_TRUE(updateButton->isDefault());
    EXPECT_TRUE(updateButton->hasFocus());
    for (const QString& text : {updateButton->text(), cancelButton->text(),
                                window->findChild<QMenuBar*>("MenuBar")->actions().front()->text(),
                                MenuItem("quit")->text(), MenuItem("abou")->text()}) {
        EXPECT_TRUE(text.contains(QLatin1Char('&'))) << text.toStdString();
    }

    auto* menu = window->findChild<QMenuBar*>("MenuBar")->actions().front()->menu();
    QTest::keyClick(window.get(), Qt::Key_F10);
    EXPECT_TRUE(menu->isVisible());
    menu->close();

    gate.HoldAt(0);  // the run waits at its first pause
    QTest::keyClick(updateButton, Qt::Key_Return);
    EXPECT_EQ(dialog->GetUpdateState(), STARTUPDATE);
    gate.Open();
    alerts.Answer("OK");
    EXPECT_EQ(RunEventLoop(10000), 0);
}

// The warning is red, and reads at the WCAG AA contrast (4.5:1) on a light and on a dark window.
TEST(WindowLookTest, TheWarningReadsOnLightAndDarkWindows) {
    EnsureApplication();
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2D, 0x2D, 0x2D));
    dark.setColor(QPalette::WindowText, QColor(0xEE, 0xEE, 0xEE));
    for (const QPalette& palette : {QApplication::palette(), dark}) {
        sim::SimulatedBus bus;
        std::unique_ptr<QWidget> window;
        ASSERT_EQ(CreateWindowFromResource(kMainResource, window), noErr);
        window->setPalette(palette);
        COrloFirmwareUpdateDialog dialog(window.get(), bus);
        const QColor warning =
            window->findChild<QLabel*>("finalCutRunningStr")->palette().color(QPalette::WindowText);
        const QColor background = palette.color(QPalette::Window);
        SCOPED_TRACE(background.name().toStdString() + " / " + warning.name().toStdString());
        EXPECT_GE(ContrastRatio(warning, background), 4.5);
        EXPECT_GT(warning.red(), warning.green() + 100);  // still red
        EXPECT_EQ(warning.green(), warning.blue());
    }
}

class StartupTest : public testing::Test {
  protected:
    void SetUp() override { EnsureApplication(); }
    // A .ui file with the given body, in the temporary folder.
    QString UiFile(const std::string& body) {
        std::ofstream(path) << "<ui version=\"4.0\">" << body << "</ui>\n";
        return QString::fromStdString(path.string());
    }
    void TearDown() override { fs::remove(path); }

    fs::path path = fs::temp_directory_path() / "window_test_startup.ui";
    sim::SimulatedBus bus;
};

TEST_F(StartupTest, MissingResourceMenuBarOrWindowEndsAtOnce) {
    EXPECT_EQ(RunFirmwareUpdateWindow(bus, "/nonexistent/main.ui"), kResourceNotFoundErr);
    EXPECT_EQ(RunFirmwareUpdateWindow(bus, UiFile("<widget class=\"QMainWindow\"")),
              kResourceNotFoundErr);
    EXPECT_EQ(
        RunFirmwareUpdateWindow(bus, UiFile("<widget class=\"QMainWindow\" name=\"MainWindow\"/>")),
        kMenuBarNotFoundErr);
    EXPECT_EQ(RunFirmwareUpdateWindow(
                  bus, UiFile("<widget class=\"QMainWindow\" name=\"OtherWindow\">"
                              "<widget class=\"QMenuBar\" name=\"MenuBar\"/></widget>")),
              kWindowNotFoundErr);
    const auto windows = QApplication::topLevelWidgets();
    EXPECT_TRUE(
        std::none_of(windows.begin(), windows.end(), [](auto* w) { return w->isVisible(); }));
}

TEST_F(StartupTest, RunsUntilTheQuitCommand) {
    bool shown = false;
    EXPECT_EQ(
        RunFirmwareUpdateWindow(bus, kMainResource,
                                [&shown](QWidget& window) {
                                    QTimer::singleShot(100, &window, [&shown, &window] {
                                        shown = window.isVisible();
                                        for (QAction* action : window.findChildren<QAction*>())
                                            if (action->property("commandId").toString() == "quit")
                                                action->trigger();
                                    });
                                }),
        0);
    EXPECT_TRUE(shown);
}

// Sends `signal` to this process from inside the event loop, after `ms`.
void SignalLater(QWidget& window, int ms, int signal) {
    QTimer::singleShot(ms, &window, [signal] { ::raise(signal); });
}

TEST_F(StartupTest, ATerminationSignalQuitsWhileWaiting) {
    EXPECT_EQ(RunFirmwareUpdateWindow(bus, kMainResource,
                                      [](QWidget& window) { SignalLater(window, 100, SIGTERM); }),
              0);
}

TEST_F(StartupTest, ATerminationSignalWaitsForTheRunningUpdateToEnd) {
    const UInt32 unit = bus.AddUnit();
    bus.Model(unit).softwareVersion = 0x00010002;
    Gate gate;
    gate.HoldAt(40);  // the FPGA erase
    SetDownloadPause([&gate](UInt32) { gate.Pause(); });
    bool runningAfterSignal = false;
    const int status = RunFirmwareUpdateWindow(bus, kMainResource, [&](QWidget& window) {
        QTimer::singleShot(100, &window, [&window] {  // the first tick has found the Orlo
            CControl button;
            button.Init(ORLOUpdateButtonID, &window);
            qobject_cast<QPushButton*>(button.GetControlRef())->click();
        });
        SignalLater(window, 1000, SIGINT);  // the run has been held at the erase since ~0.5 s
        QTimer::singleShot(1500, &window, [&] {
            runningAfterSignal = window.isVisible() && gDownloadProgress.Get() == 40;
            gate.Open();
        });
        QTimer::singleShot(10000, &window, [] {  // no alert may wait for an answer
            if (QWidget* alert = QApplication::activeModalWidget()) {
                ADD_FAILURE() << "an alert was shown";
                alert->close();
            }
            QCoreApplication::exit(kStillRunning);
        });
    });
    SetDownloadPause(nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(runningAfterSignal);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(sim::Image::kFpga), 1u);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(sim::Image::kMcore), 1u);
}

}  // namespace

// The bus's word of a change brings a tick at once while the window waits; during a run nothing
// looks at the bus, and the word is not listened to until the window waits again.
TEST_F(WindowTest, AnOrloPluggedInOrOutShowsWithoutWaitingForTheTick) {
    auto* busChanges = window->findChild<QSocketNotifier*>();
    ASSERT_NE(busChanges, nullptr);
    // SetUp's first tick has run, and the timer's next is half a second away: one pass of the
    // event loop sees only the word of the change.
    const UInt32 unit = PlugIn(0x00010002);
    QCoreApplication::processEvents();
    EXPECT_EQ(version->text(), "1-2");
    bus.SetPresent(unit, false);
    QCoreApplication::processEvents();
    ExpectNotFound();

    bus.SetPresent(unit, true);
    Tick();
    gate.HoldAt(40);
    updateButton->click();
    Tick();  // starts the run
    gate.WaitUntilHeld();
    PlugIn(0x00010002);  // another Orlo
    QCoreApplication::processEvents();
    EXPECT_FALSE(busChanges->isEnabled());
    gate.Open();
    alerts.Answer("OK");
    EXPECT_EQ(RunEventLoop(10000), 0);
}

// The identification's diagnostic lines on standard output while the window waits: those of a
// tick whose finding differs from the last one's, or every tick's with --verbose.
TEST(WindowDiagnosticsTest, IdentificationLinesAreWrittenWhenWhatIsFoundChanges) {
    EnsureApplication();
    const std::string found =
        "Open Orlo\nCtor DownloadUnit\nFWDL::Open\nFWDL::Close\nClose Orlo\nDtor DownloadUnit\n";
    const std::string notFound = "Open Orlo\n";
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose ? "verbose" : "");
        sim::SimulatedBus bus;
        std::unique_ptr<QWidget> window;
        ASSERT_EQ(CreateWindowFromResource(kMainResource, window), noErr);
        COrloFirmwareUpdateDialog dialog(window.get(), bus, verbose);
        std::ostringstream out;
        std::streambuf* const saved = std::cout.rdbuf(out.rdbuf());
        const auto ticks = [&](int count) {
            for (int tick = 0; tick < count; ++tick) dialog.TimerEventHandler(nullptr);
        };
        ticks(2);
        const UInt32 unit = bus.AddUnit();
        bus.Model(unit).softwareVersion = 0x00010002;
        ticks(3);
        bus.Model(unit).softwareVersion = 0x00010003;  // another firmware, the same lines
        ticks(2);
        bus.SetPresent(unit, false);
        ticks(2);
        std::cout.rdbuf(saved);
        EXPECT_EQ(out.str(), verbose ? notFound + notFound + found + found + found + found + found +
                                           notFound + notFound
                                     : notFound + found + found + notFound);
    }
}
