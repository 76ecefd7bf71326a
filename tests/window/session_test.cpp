// The utility against what a desktop session does to a program: its display goes away, its
// window is killed, quit signals arrive before and during an update, logind is there or not.
// Each case runs the utility's window (the real resource, dialog and controller, over a simulated
// Orlo) in a child process, the test binary itself started with --child, and looks from outside:
// at the unit's transfers, which the child writes to a file as they happen, at its exit status,
// and at when it ended.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Downloader.h"
#include "OrloFirmwareUpdateDialog.h"
#include "PrivateLogind.h"
#include "ReplayStack.h"
#include "SessionManager.h"
#include "SimulatedBus.h"
#include "WaitForExec.h"

// As in the window tests: fontconfig's cache outlives every child that lays out text. So do Qt's
// D-Bus connection objects, which Qt leaves to the end of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libQt6DBus.so\n";
}

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// The child --------------------------------------------------------------------------------------

// What the child does beside running the window, from its arguments.
struct ChildSetup {
    bool failingUnit = false;  // the unit refuses every CRC
    bool quick = false;        // every pause of the download a fifth as long: an update in ~1 s
    int signalAtStart = 0;     // raised right after the click on Upgrade, before the run starts
    // Once 50 blocks are written, the process is ended as QtWayland ends it on finding its
    // connection broken, on the event-loop thread, on another thread, or on both at once.
    enum class WaylandEnd { kNone, kEventLoop, kOtherThread, kBoth } waylandEnd = WaylandEnd::kNone;
    bool textsOnly = false;   // writes what the window says once the Orlo is shown, and quits
    bool layoutOnly = false;  // writes each control its text does not fit, and a screenshot
};

// The controls whose text the window cuts off: a label or button smaller than its text needs.
std::vector<std::string> Clipped(const QWidget& window) {
    std::vector<std::string> clipped;
    for (const QWidget* widget : window.findChildren<QWidget*>()) {
        if (!widget->isVisible()) continue;
        const auto* label = qobject_cast<const QLabel*>(widget);
        const bool fits =
            label != nullptr && label->wordWrap()
                ? widget->height() >= widget->heightForWidth(widget->width())
                : (label == nullptr && qobject_cast<const QPushButton*>(widget) == nullptr) ||
                      (widget->width() >= widget->sizeHint().width() &&
                       widget->height() >= widget->sizeHint().height());
        if (!fits) clipped.push_back(widget->objectName().toStdString());
    }
    return clipped;
}

// What QtWayland 6.4 does on the thread that finds its connection to the compositor broken
// (qwaylanddisplay.cpp, checkWaylandError).
void EndAsQtWaylandDoes() {
    qWarning("The Wayland connection broke. Did the Wayland compositor die?");
    ::_exit(1);
}

// The utility's window over a simulated Orlo that is already plugged in; it clicks Upgrade as
// soon as it can. Every write to the unit goes to `logPath` as "<ms> <kind> <offset> <status>",
// and the window's X id as "window <id>".
int RunChild(const ChildSetup& setup, const std::string& logPath) {
    int argc = 1;
    char name[] = "session_test";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);

    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const auto append = [log](const std::string& line) {
        [[maybe_unused]] const ssize_t written = ::write(log, line.data(), line.size());
    };

    if (setup.quick)
        SetDownloadPause([](UInt32 microseconds) { SleepPrecisely(microseconds / 5); });
    sim::SimulatedBus bus;
    const UInt32 unit = bus.AddUnit();
    bus.Model(unit).softwareVersion = 0x00010002;  // an upgrade: no downgrade alert
    bus.Model(unit).settings.rejectCrc = setup.failingUnit;
    std::atomic<int> writes{0};
    bus.SetObserver([&append, &writes](const sim::Transaction& entry) {
        // An update writes; identification only reads.
        using Kind = sim::Transaction::Kind;
        if (entry.kind != Kind::kWrite && entry.kind != Kind::kWriteQuadlet) return;
        ++writes;
        std::ostringstream line;
        line << MonotonicMs() << " " << static_cast<int>(entry.kind) << " " << entry.offset << " "
             << entry.status << "\n";
        append(line.str());
    });

    return RunFirmwareUpdateWindow(bus, kMainResource, [&](QWidget& window) {
        auto* poll = new QTimer(&window);
        QObject::connect(poll, &QTimer::timeout, &window, [&, poll] {
            CControl button;
            button.Init(ORLOUpdateButtonID, &window);
            auto* upgrade = qobject_cast<QPushButton*>(button.GetControlRef());
            if (!upgrade->isEnabled()) return;
            poll->stop();
            if (setup.layoutOnly) {
                // One more pass of the event loop, and the display has what was painted.
                QTimer::singleShot(300, &window, [&window, append] {
                    for (const std::string& name : Clipped(window))
                        append("clipped " + name + "\n");
                    const QPixmap shot = window.screen()->grabWindow(window.winId());
                    shot.save(QString::fromStdString(::testing::TempDir() + "window-2x.png"));
                    append("ratio " + std::to_string(window.devicePixelRatioF()) + " size " +
                           std::to_string(shot.width()) + "x" + std::to_string(shot.height()) +
                           "\n");
                    QCoreApplication::exit(0);
                });
                return;
            }
            if (setup.textsOnly) {
                CControl instruction;
                instruction.Init(ORLOUpdateFirmwareVersionStrID, &window);
                const auto text = [](CControl& control) {
                    const QWidget* widget = control.GetControlRef();
                    return (qobject_cast<const QLabel*>(widget) != nullptr
                                ? qobject_cast<const QLabel*>(widget)->text()
                                : qobject_cast<const QPushButton*>(widget)->text())
                        .toStdString();
                };
                append(text(instruction) + "\n" + text(button) + "\n");
                QCoreApplication::exit(0);
                return;
            }
            append("window " + std::to_string(window.winId()) + "\n");
            upgrade->click();
            if (setup.signalAtStart != 0) ::raise(setup.signalAtStart);
            if (setup.waylandEnd != ChildSetup::WaylandEnd::kNone) {
                auto* watch = new QTimer(&window);
                QObject::connect(watch, &QTimer::timeout, &window, [&setup, &writes] {
                    if (writes < 50) return;
                    using End = ChildSetup::WaylandEnd;
                    if (setup.waylandEnd != End::kEventLoop)
                        std::thread(EndAsQtWaylandDoes).detach();
                    if (setup.waylandEnd != End::kOtherThread) EndAsQtWaylandDoes();
                });
                watch->start(5);
            }
        });
        poll->start(20);
    });
}

// The parent's side -------------------------------------------------------------------------------

// An X server of our own on a free display, which a test can kill.
class VirtualDisplay {
  public:
    VirtualDisplay() {
        int pipe[2];
        if (::pipe(pipe) != 0) return;
        ChildProcess::Files files;
        files.descriptorFor3 = pipe[1];
        server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "3", "-nolisten", "tcp",
                                                 "-screen", "0", "1024x768x24"},
                        std::map<std::string, std::string>{}, files);
        ::close(pipe[1]);
        // Xvfb writes the number and a line feed, separately, once it takes connections: the
        // read end must stay open until the line is whole, or its second write fails it.
        std::string number;
        char c = 0;
        while (::read(pipe[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(pipe[0]);
        if (!number.empty() && c == '\n') name_ = ":" + number;
    }
    bool Up() const { return !name_.empty(); }
    const std::string& name() const { return name_; }
    // Ends the server as the end of a session does (it then removes its lock and socket).
    void Kill() {
        if (!server_) return;
        server_->Signal(SIGTERM);
        server_->Wait(milliseconds{5000});
        server_.reset();
    }
    ~VirtualDisplay() { Kill(); }

  private:
    std::optional<ChildProcess> server_;
    std::string name_;
};

// A headless weston of our own (no screen, no input devices), on a socket in a runtime folder of
// its own; with XWayland, also an X display, whose server it starts for the first X client.
class Compositor {
  public:
    explicit Compositor(bool xwayland) {
        static int number = 0;
        runtime_ =
            fs::temp_directory_path() /
            ("session_test-weston." + std::to_string(::getpid()) + "." + std::to_string(++number));
        fs::remove_all(runtime_);
        fs::create_directories(runtime_);
        fs::permissions(runtime_, fs::perms::owner_all);  // as XDG_RUNTIME_DIR must be
        // No on-screen keyboard, and no screen blanking.
        std::ofstream(runtime_ / "weston.ini") << "[core]\nidle-time=0\n[input-method]\npath=\n";
        if (xwayland) {
            // Where X servers put their sockets; weston (10) does not make it, and crashes
            // without it.
            std::error_code ignored;
            if (fs::create_directory("/tmp/.X11-unix", ignored))
                fs::permissions("/tmp/.X11-unix", fs::perms::all | fs::perms::sticky_bit);
        }
        std::vector<std::string> command{"weston",
                                         "--config=" + (runtime_ / "weston.ini").string(),
                                         "--backend=headless-backend.so",
                                         "--shell=kiosk-shell.so",
                                         "--socket=" + kSocket,
                                         "--log=" + log().string()};
        if (xwayland) command.push_back("--xwayland");
        weston_.emplace(command,
                        std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", runtime_.string()}});
        if (weston_->pid() == 0) return;
        environment_ = {{"XDG_RUNTIME_DIR", runtime_.string()}, {"WAYLAND_DISPLAY", kSocket}};
        if (!xwayland) {
            up_ = WaitFor([&] { return fs::exists(runtime_ / kSocket); });
            return;
        }
        const std::string listening = "xserver listening on display ";
        up_ =
            WaitFor([&] { return ReadFile(log().string()).find(listening) != std::string::npos; });
        if (!up_) return;
        const std::string text = ReadFile(log().string());
        const std::size_t at = text.find(listening) + listening.size();
        environment_["DISPLAY"] = text.substr(at, text.find('\n', at) - at);
    }
    ~Compositor() { fs::remove_all(runtime_); }

    bool Up() const { return up_; }
    std::string Log() const { return ReadFile(log().string()); }
    // What a client needs to find it, and the platform it is to use.
    std::map<std::string, std::string> ClientEnvironment(const std::string& platform) const {
        std::map<std::string, std::string> environment = environment_;
        environment["QT_QPA_PLATFORM"] = platform;
        return environment;
    }
    // Ends it with `signal`, and waits for its end.
    void End(int signal) {
        weston_->Signal(signal);
        weston_->Wait(milliseconds{5000});
    }

  private:
    inline static const std::string kSocket = "wayland-session-test";
    fs::path log() const { return runtime_ / "weston.log"; }

    fs::path runtime_;
    std::optional<ChildProcess> weston_;
    std::map<std::string, std::string> environment_;
    bool up_ = false;
};

// What the child's log shows of the writes to the unit.
struct Transfers {
    int count = 0;
    int crcAccepted = 0;  // CRC writes the unit took: one per verified image
    int failed = 0;
    std::int64_t lastAt = 0;
    std::string window;
};

Transfers ReadLog(const std::string& path) {
    Transfers transfers;
    std::ifstream log(path);
    std::string line;
    while (std::getline(log, line)) {
        std::istringstream fields(line);
        if (line.rfind("window ", 0) == 0) {
            transfers.window = line.substr(7);
            continue;
        }
        std::int64_t at = 0;
        int kind = 0, status = 0;
        std::uint64_t offset = 0;
        fields >> at >> kind >> offset >> status;
        ++transfers.count;
        transfers.lastAt = at;
        transfers.failed += status != 0;
        transfers.crcAccepted += offset == sim::kCrc && status == 0;
    }
    return transfers;
}

class SessionTest : public testing::Test {
  protected:
    enum class Expect { kComplete, kNothing, kFailedRun };

    void SetUp() override {
        const fs::path dir =
            fs::temp_directory_path() / ("session_test." + std::to_string(::getpid()));
        fs::create_directories(dir);
        logPath = (dir / "transfers.log").string();
        errPath = (dir / "stderr.txt").string();
        fs::remove(logPath);
    }

    // Starts the utility; `what` is the child's first argument (see main).
    void Start(const std::string& what, std::map<std::string, std::string> env,
               bool ownProcessGroup = false) {
        if (env.count("QT_QPA_PLATFORM") == 0) env["QT_QPA_PLATFORM"] = "offscreen";
        if (env.count("LANGUAGE") == 0) env["LANGUAGE"] = "en";  // the tests read English
        for (const char* bus : {"DBUS_SYSTEM_BUS_ADDRESS", "DBUS_SESSION_BUS_ADDRESS"}) {
            if (env.count(bus) == 0) env[bus] = "unix:path=/nonexistent/bus";
        }
        ChildProcess::Files files;
        files.err = errPath;
        files.ownProcessGroup = ownProcessGroup;
        child.emplace(std::vector<std::string>{"/proc/self/exe", "--child", what, logPath}, env,
                      files);
        ASSERT_NE(child->pid(), 0);
    }
    // Waits until the update is under way: the FPGA image's header and first blocks are out.
    void WaitUntilWriting() {
        ASSERT_TRUE(WaitFor([&] { return ReadLog(logPath).count >= 10; })) << ReadFile(errPath);
    }
    // The child's end: its status, and what the unit saw.
    void ExpectEnd(int status, Expect expect) {
        const std::optional<int> ended = child->Wait(milliseconds{30000});
        ASSERT_TRUE(ended.has_value()) << "still running";
        const std::string errors = ReadFile(errPath);
        EXPECT_EQ(*ended, status) << errors;
        const Transfers transfers = ReadLog(logPath);
        switch (expect) {
            case Expect::kComplete:  // both images verified, nothing failed
                EXPECT_EQ(transfers.crcAccepted, 2);
                EXPECT_EQ(transfers.failed, 0);
                break;
            case Expect::kNothing:
                EXPECT_EQ(transfers.count, 0);
                break;
            case Expect::kFailedRun:  // the run went to its own end: both images' refused CRCs
                EXPECT_EQ(transfers.failed, 2);
                EXPECT_EQ(transfers.crcAccepted, 0);
                break;
        }
        // The process ends soon after the run does.
        if (transfers.count > 0) {
            EXPECT_LT(child->endedAt - transfers.lastAt, 2000) << errors;
        }
        std::printf(
            "exit %d, %d transfers, ended %lld ms after the last\n", *ended, transfers.count,
            static_cast<long long>(transfers.count > 0 ? child->endedAt - transfers.lastAt : 0));
    }

    std::string logPath, errPath;
    std::optional<ChildProcess> child;
};

// A quit signal during the update waits for it; in the starting state it ends the utility at once
// with nothing written. A second Ctrl-C is answered again.
TEST_F(SessionTest, QuitSignalsWaitForTheUpdateOrPreventIt) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal));
        fs::remove(logPath);
        Start("run", {});
        WaitUntilWriting();
        const std::string deferred = "Quitting once the update has ended.\n";
        child->Signal(signal);
        ASSERT_TRUE(WaitFor([&] { return Count(ReadFile(errPath), deferred) == 1; }));
        child->Signal(signal);  // a second Ctrl-C is answered too
        ASSERT_TRUE(WaitFor([&] { return Count(ReadFile(errPath), deferred) == 2; }));
        ExpectEnd(0, Expect::kComplete);
        EXPECT_NE(ReadFile(errPath).find("Programming Complete\n"), std::string::npos);

        fs::remove(logPath);
        Start("signal-at-start:" + std::to_string(signal), {});
        ExpectEnd(0, Expect::kNothing);
    }
}

// Ctrl-Z, and a background read or write on a terminal, do not stop the update: Ctrl-Z is
// answered, the others pass unseen. Once the run has ended, Ctrl-Z stops the utility again.
TEST_F(SessionTest, StopSignalsWaitForTheUpdatesEnd) {
    Start("run", {}, true);  // a group that may be stopped, however the test was started
    WaitUntilWriting();
    for (const int signal : {SIGTSTP, SIGTTIN, SIGTTOU}) {
        SCOPED_TRACE(strsignal(signal));
        child->Signal(signal);
        std::this_thread::sleep_for(milliseconds{100});
        EXPECT_NE(child->State(), 'T');
        child->Signal(SIGCONT);  // were it stopped, the rest would wait for nothing
    }
    const std::string refused = "The update cannot be paused: it goes on.\n";
    EXPECT_TRUE(WaitFor([&] { return Count(ReadFile(errPath), refused) == 1; }))
        << ReadFile(errPath);
    // The run ends, the alert waits for the user, and Ctrl-Z stops the utility as usual.
    ASSERT_TRUE(WaitFor([&] { return ReadLog(logPath).crcAccepted == 2; }, milliseconds{30000}));
    EXPECT_TRUE(WaitFor([&] {
        child->Signal(SIGTSTP);
        return child->State() == 'T';
    })) << ReadFile(errPath);
    child->Signal(SIGCONT);
    child->Signal(SIGTERM);
    ExpectEnd(0, Expect::kComplete);
}

TEST_F(SessionTest, AFailedUpdateEndsTheUtilityWithAFailureStatus) {
    Start("failing", {});
    WaitUntilWriting();
    child->Signal(SIGTERM);
    ExpectEnd(6, Expect::kFailedRun);
    EXPECT_NE(ReadFile(errPath).find("Programming Failed\n"), std::string::npos);
}

// The X server goes away, or a window manager kills our connection to force the window shut.
TEST_F(SessionTest, TheUpdateOutlivesItsDisplay) {
    struct Case {
        const char* what;
        const char* child;
        bool killServer;  // else the window is killed
        int status;
        Expect expect;
    } cases[] = {
        {"X server killed", "run+quick", true, 0, Expect::kComplete},
        {"window killed", "run+quick", false, 0, Expect::kComplete},
        {"X server killed, failing unit", "failing+quick", true, 6, Expect::kFailedRun},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualDisplay display;
        if (!display.Up()) GTEST_SKIP() << "Xvfb could not be started";
        fs::remove(logPath);
        Start(c.child, {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display.name()}});
        WaitUntilWriting();
        if (c.killServer) {
            display.Kill();
        } else {
            const std::string window = ReadLog(logPath).window;
            ASSERT_FALSE(window.empty());
            ChildProcess xkill({"xkill", "-display", display.name(), "-id", window});
            ASSERT_TRUE(xkill.Wait(milliseconds{5000}).has_value());
        }
        ExpectEnd(c.status, c.expect);
        EXPECT_NE(ReadFile(errPath).find("The display has gone"), std::string::npos)
            << ReadFile(errPath);
    }
}

// The compositor ends mid-update, killed or told to end, with the window on Wayland itself or on
// XWayland: the update goes on to its end after the compositor has gone, and the exit status is
// the run's. On Wayland Qt ends the process from whichever thread finds the connection broken;
// it warns first, and the warning must reach the utility even where the logging rules silence it.
TEST_F(SessionTest, TheUpdateOutlivesItsCompositor) {
    const struct {
        const char* what;
        bool xwayland;
        int signal;
        const char* child;
        std::map<std::string, std::string> env;
        int status;
        Expect expect;
    } cases[] = {
        {"Wayland, SIGKILL", false, SIGKILL, "run+quick", {}, 0, Expect::kComplete},
        {"Wayland, SIGTERM", false, SIGTERM, "run+quick", {}, 0, Expect::kComplete},
        {"Wayland, SIGKILL, failing unit",
         false,
         SIGKILL,
         "failing+quick",
         {},
         6,
         Expect::kFailedRun},
        {"Wayland, SIGTERM, Qt's messages off",
         false,
         SIGTERM,
         "run+quick",
         {{"QT_LOGGING_RULES", "*=false"}},
         0,
         Expect::kComplete},
        {"XWayland, SIGKILL", true, SIGKILL, "run+quick", {}, 0, Expect::kComplete},
        {"XWayland, SIGTERM", true, SIGTERM, "run+quick", {}, 0, Expect::kComplete},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Compositor compositor(c.xwayland);
        ASSERT_TRUE(compositor.Up()) << "weston did not start:\n" << compositor.Log();
        fs::remove(logPath);
        std::map<std::string, std::string> env =
            compositor.ClientEnvironment(c.xwayland ? "xcb" : "wayland");
        env.insert(c.env.begin(), c.env.end());
        Start(c.child, env);
        WaitUntilWriting();
        const std::int64_t endedAt = MonotonicMs();
        compositor.End(c.signal);
        ExpectEnd(c.status, c.expect);
        EXPECT_GT(ReadLog(logPath).lastAt, endedAt)
            << "nothing was written after the compositor ended";
        const std::string errors = ReadFile(errPath);
        // The warning the utility holds on at, in Qt's words.
        if (!c.xwayland) {
            EXPECT_NE(errors.find("The Wayland connection broke"), std::string::npos) << errors;
        }
        EXPECT_NE(errors.find("The display has gone"), std::string::npos) << errors;
    }
}

// However QtWayland ends the process, on the event-loop thread, on one of its own or on both at
// once, the update goes on to its end, its outcome is said once, and the exit status is its own.
TEST_F(SessionTest, TheUpdateOutlivesQtWaylandsEndOnAnyThread) {
    for (const char* child : {"wayland-end-event-loop+quick", "wayland-end-other-thread+quick",
                              "wayland-end-both+quick"}) {
        SCOPED_TRACE(child);
        fs::remove(logPath);
        Start(child, {});
        ExpectEnd(0, Expect::kComplete);
        EXPECT_EQ(Count(ReadFile(errPath), "Programming Complete\n"), 1) << ReadFile(errPath);
    }
}

// While the update runs the machine may not suspend or shut down; the lock goes with the run.
TEST_F(SessionTest, LogindIsAskedToBlockSleepAndShutdownForTheRun) {
    PrivateLogind logind("session_test");
    if (!logind.Up()) GTEST_SKIP() << "no dbus-daemon or python3-dbusmock";
    for (const char* run : {"run", "failing"}) {
        SCOPED_TRACE(run);
        fs::remove(logPath);
        Start(run, {{"DBUS_SYSTEM_BUS_ADDRESS", logind.address()}});
        WaitUntilWriting();
        const std::vector<PrivateLogind::Inhibitor> held = logind.Inhibitors();
        ASSERT_EQ(held.size(), 1u);
        EXPECT_EQ(held[0].what,
                  "sleep:shutdown:handle-lid-switch:handle-suspend-key:handle-hibernate-key");
        EXPECT_EQ(held[0].who, "ORLOFirmwareUpdate");
        EXPECT_EQ(held[0].why, "Updating the Orlo's firmware");
        EXPECT_EQ(held[0].mode, "block");
        // The run ends; the utility waits at its alert, lock released.
        ASSERT_TRUE(WaitFor([&] { return logind.Inhibitors().empty(); }));
        child->Signal(SIGTERM);
        ExpectEnd(0, std::string(run) == "run" ? Expect::kComplete : Expect::kFailedRun);
        EXPECT_EQ(ReadFile(errPath).find("Nothing prevents"), std::string::npos);
    }
}

// While the update runs the desktop is asked, through its portal on the session bus, to hold off
// a logout and a suspend; the request is closed when the run ends.
TEST_F(SessionTest, ThePortalIsAskedToHoldOffALogoutForTheRun) {
    PrivateBus bus("session_test_portal");
    ASSERT_TRUE(bus.Up() && bus.StartMock({"--template", PORTAL_MOCK},
                                          QStringLiteral("org.freedesktop.portal.Desktop"), true));
    const auto held = [&bus] {
        const QDBusMessage reply = bus.connection().call(
            QDBusMessage::createMethodCall("org.freedesktop.portal.Desktop",
                                           "/org/freedesktop/portal/desktop",
                                           "org.freedesktop.DBus.Properties", "Get")
            << QStringLiteral("org.orlofirmwareupdate.PortalMock") << QStringLiteral("Held"));
        const QDBusArgument map =
            reply.arguments().value(0).value<QDBusVariant>().variant().value<QDBusArgument>();
        return qdbus_cast<QMap<QString, QString>>(map);
    };
    Start("run", {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
    WaitUntilWriting();
    const QMap<QString, QString> during = held();
    ASSERT_EQ(during.size(), 1);
    // Logout (1) and suspend (4).
    EXPECT_EQ(during.first().toStdString(), "5 Updating the Orlo's firmware");
    // The run ends; the utility waits at its alert, the request closed.
    ASSERT_TRUE(WaitFor([&] { return held().isEmpty(); }));
    child->Signal(SIGTERM);
    ExpectEnd(0, Expect::kComplete);
    EXPECT_EQ(ReadFile(errPath).find("Nothing asks the desktop"), std::string::npos);
}

// On X11, the session manager's logout (XSMP) is cancelled while the update runs: the window asks
// to interact and answers that the shutdown is cancelled. Once the run has ended it lets the
// logout go.
TEST_F(SessionTest, AnX11LogoutIsCancelledWhileTheUpdateRuns) {
    VirtualDisplay display;
    if (!display.Up()) GTEST_SKIP() << "Xvfb could not be started";
    SessionManager manager;
    ASSERT_TRUE(manager.Up()) << manager.problem();
    Start("run", {{"QT_QPA_PLATFORM", "xcb"},
                  {"DISPLAY", display.name()},
                  {"SESSION_MANAGER", manager.address()}});
    // The toolkit registers before the window shows, and waits for the answer.
    ASSERT_TRUE(manager.WaitForClient(milliseconds{10000})) << ReadFile(errPath);
    WaitUntilWriting();
    const SessionManager::Answer during = manager.Logout(milliseconds{5000});
    EXPECT_TRUE(during.interacted);
    EXPECT_TRUE(during.cancelledShutdown);
    EXPECT_TRUE(during.saved);
    EXPECT_FALSE(during.success);
    EXPECT_LT(ReadLog(logPath).crcAccepted, 2) << "the logout came after the run";

    // The run ends; at the completion alert the window waits for input, and a logout goes.
    ASSERT_TRUE(WaitFor([&] { return ReadLog(logPath).crcAccepted == 2; }));
    std::this_thread::sleep_for(milliseconds{500});
    const SessionManager::Answer after = manager.Logout(milliseconds{5000});
    EXPECT_FALSE(after.cancelledShutdown);
    EXPECT_TRUE(after.saved);
    child->Signal(SIGTERM);
    ExpectEnd(0, Expect::kComplete);
}

TEST_F(SessionTest, WithoutLogindOrAPortalTheUpdateGoesAheadAndSaysSo) {
    Start("run", {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
    WaitUntilWriting();
    child->Signal(SIGTERM);
    ExpectEnd(0, Expect::kComplete);
    const std::string errors = ReadFile(errPath);
    for (const std::string line :
         {"Nothing prevents a suspend or shutdown during the update: ",
          "Nothing asks the desktop to hold off a logout during the update: no session bus "}) {
        ASSERT_NE(errors.find(line), std::string::npos) << errors;
        EXPECT_EQ(errors.find(line), errors.rfind(line));
    }
}

#ifdef WINDOW_PROGRAM
// The utility started with its standard output and error closed, under a file-size limit, its
// waiting recorded: its messages do not land in the recording, the limit stops the recording
// with a line that says so, not the utility, and a quit signal ends it as usual.
TEST_F(SessionTest, TheWindowsRecordingHoldsNoMessagesAndStopsAtAFileSizeLimit) {
    const std::string file = logPath + ".jsonl";
    ChildProcess::Files files;
    files.err = errPath;
    child.emplace(
        std::vector<std::string>{"sh", "-c", "ulimit -f 2; exec \"$0\" >&- 2>&-", WINDOW_PROGRAM},
        std::map<std::string, std::string>{{"QT_QPA_PLATFORM", "offscreen"}, {"ORLO_RECORD", file}},
        files);
    ASSERT_TRUE(WaitFor([&] { return ReadFile(file).find("Incomplete") != std::string::npos; }))
        << ReadFile(file);
    child->Signal(SIGTERM);
    EXPECT_EQ(child->Wait(milliseconds{10000}), 0);
    EXPECT_LE(ReadFile(file).size(), 1024u);
    recording::ReplayStack replay(file);
    ASSERT_TRUE(replay.Loaded()) << replay.LoadError();
    EXPECT_EQ(replay.Incomplete(), "a write failed: File too large");
}
#endif

// Run by root (or by another account), the window waits while the editor of the user at the
// Orlo's seat runs: logind names that user.
TEST_F(SessionTest, TheEditorOfTheUserAtTheSeatKeepsTheUpdateWaiting) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can start a process of another user";
    PrivateLogind logind("session_test");
    if (!logind.Up()) GTEST_SKIP() << "no dbus-daemon or python3-dbusmock";
    ASSERT_TRUE(logind.AddSession("c1", "seat0", 4243));
    const fs::path dir = fs::path(logPath).parent_path();
    const fs::path kdenlive = dir / "kdenlive";
    fs::copy_file("/bin/sleep", kdenlive, fs::copy_options::overwrite_existing);
    fs::permissions(dir, fs::perms::others_exec, fs::perm_options::add);
    std::optional<ChildProcess> editor(
        std::in_place, std::vector<std::string>{"setpriv", "--reuid=4243", "--regid=4243",
                                                "--clear-groups", kdenlive.string(), "60"});
    ASSERT_TRUE(WaitForExec(editor->pid(), kdenlive.string()));

    Start("run", {{"DBUS_SYSTEM_BUS_ADDRESS", logind.address()}});
    std::this_thread::sleep_for(milliseconds{2500});  // five ticks
    EXPECT_EQ(ReadLog(logPath).count, 0) << "updated while the seat's user edits";
    editor.reset();  // the editor quits: the next tick enables the button
    WaitUntilWriting();
    child->Signal(SIGTERM);
    ExpectEnd(0, Expect::kComplete);
}

// The window speaks the user's language where it has a translation, and English, byte for byte,
// where it has none.
TEST_F(SessionTest, TheWindowSpeaksTheUsersLanguage) {
    const struct {
        const char* language;
        std::string instruction, button;
    } cases[] = {
        {"de", "Wählen Sie „Aktualisieren“, um die Firmware-Version 1-3 auf den Orlo zu laden:",
         "&Aktualisieren"},
        {"en", "Select Upgrade button to download firmware version 1-3 to Orlo:", "&Upgrade"},
        {"fr", "Select Upgrade button to download firmware version 1-3 to Orlo:", "&Upgrade"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language);
        fs::remove(logPath);
        Start("texts", {{"LANGUAGE", c.language}, {"LC_ALL", "C.UTF-8"}});
        const std::optional<int> ended = child->Wait(milliseconds{20000});
        ASSERT_EQ(ended, 0) << ReadFile(errPath);
        EXPECT_EQ(ReadFile(logPath), c.instruction + "\n" + c.button + "\n");
    }
}

// At twice the scale (QT_SCALE_FACTOR=2) on a real X server, the window lays out with no text cut
// off, in English and in German (the longer words).
TEST_F(SessionTest, TheWindowLaysOutAtTwiceTheScale) {
    VirtualDisplay display;
    if (!display.Up()) GTEST_SKIP() << "Xvfb could not be started";
    for (const char* language : {"en", "de"}) {
        SCOPED_TRACE(language);
        fs::remove(logPath);
        Start("layout", {{"QT_QPA_PLATFORM", "xcb"},
                         {"DISPLAY", display.name()},
                         {"QT_SCALE_FACTOR", "2"},
                         {"LANGUAGE", language}});
        const std::optional<int> ended = child->Wait(milliseconds{20000});
        ASSERT_EQ(ended, 0) << ReadFile(errPath);
        const std::string log = ReadFile(logPath);
        EXPECT_EQ(log.find("clipped"), std::string::npos) << log;
        EXPECT_NE(log.find("ratio 2"), std::string::npos) << log;
        std::printf("%s", log.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    // session_test --child {run | failing | signal-at-start:N | texts | layout |
    //                       wayland-end-{event-loop | other-thread | both}}[+quick] LOG
    if (argc == 4 && std::string(argv[1]) == "--child") {
        const std::string what = argv[2];
        ChildSetup setup;
        setup.failingUnit = what.rfind("failing", 0) == 0;
        setup.quick = what.find("+quick") != std::string::npos;
        setup.textsOnly = what == "texts";
        setup.layoutOnly = what == "layout";
        using End = ChildSetup::WaylandEnd;
        const std::map<std::string, End> ends = {{"wayland-end-event-loop", End::kEventLoop},
                                                 {"wayland-end-other-thread", End::kOtherThread},
                                                 {"wayland-end-both", End::kBoth}};
        if (const auto end = ends.find(what.substr(0, what.find('+'))); end != ends.end())
            setup.waylandEnd = end->second;
        if (what.rfind("signal-at-start:", 0) == 0)
            setup.signalAtStart = std::stoi(what.substr(16));
        return RunChild(setup, argv[3]);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
