// The utility: the update window over the Linux FireWire stack. With ORLO_RECORD=FILE in the
// environment, every call to the stack is also written to FILE (JSON Lines), for a bug report.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "LinuxFireWireStack.h"
#include "OrloFirmwareUpdateDialog.h"
#include "ProcessStart.h"
#include "RecordingStack.h"
#include "Version.h"

namespace {

constexpr int kUsageError = 2;
constexpr std::uint64_t kRecordingLimit = 64u << 20;  // some six hours of waiting

// --help, --version, --device and --verbose, before anything needs a display. 0 to go on, else
// the exit status.
int TakeArguments(int argc, char* argv[], std::string& device, bool& verbose) {
    QCoreApplication arguments(argc, argv);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kOrloFirmwareUpdateVersion));
    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "main",
        "Updates the firmware of the Orlo, a FireWire video I/O device. Without a "
        "display, use orlo-firmware-update."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption deviceOption(
        QStringLiteral("device"),
        QCoreApplication::translate("main",
                                    "The Orlo to show and update when several are connected: its "
                                    "device file, GUID or serial number, as orlo-firmware-update "
                                    "list shows them."),
        QStringLiteral("NODE|GUID|SERIAL"));
    parser.addOption(deviceOption);
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"),
        QCoreApplication::translate("main",
                                    "Write the diagnostic lines of every search for the Orlo, "
                                    "not only when what it finds changes."));
    parser.addOption(verboseOption);
    if (!parser.parse(QCoreApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
        std::cerr << (parser.errorText().isEmpty()
                          ? QCoreApplication::translate("main", "No arguments are taken.")
                          : parser.errorText())
                         .toStdString()
                  << "\n\n"
                  << parser.helpText().toStdString();
        return kUsageError;
    }
    verbose = parser.isSet(verboseOption);
    if (parser.isSet(help)) {
        std::cout << parser.helpText().toStdString();
        return -1;
    }
    if (parser.isSet(version)) {
        std::cout << "ORLOFirmwareUpdate " << kOrloFirmwareUpdateVersion << "\n";
        return -1;
    }
    device = parser.value(deviceOption).toStdString();
    return 0;
}

// Without a display the toolkit would abort; say what to do instead.
bool HasDisplay() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland")) {
        return true;  // offscreen, vnc, ...: the platform needs no display server
    }
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

// What Qt says while it opens the display, held back until it is known whether it opened.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
QtMessageHandler gPassOn = nullptr;
std::vector<HeldMessage> gHeld;

// When DISPLAY (or WAYLAND_DISPLAY) names a server that is not there, Qt's platform plugin fails
// and Qt aborts with qFatal, after several lines about the plugin. Instead: one line, and the
// exit status of a missing display.
void DuringDisplayOpening(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        gHeld.push_back({type, QByteArray(context.category), text});
        return;
    }
    std::string named;  // the servers Qt was pointed at
    for (const char* variable : {"WAYLAND_DISPLAY", "DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0') continue;
        named += (named.empty() ? "" : ", ") + std::string(variable) + "=" + value;
    }
    std::cerr << "ORLOFirmwareUpdate cannot open the display (" << named
              << "): run orlo-firmware-update update instead, or xvfb-run -a ORLOFirmwareUpdate."
              << std::endl;
    std::_Exit(kUsageError);
}

// Makes the application, and with it the connection to the display; what Qt said meanwhile is
// passed on once it has opened.
std::unique_ptr<QApplication> OpenDisplay(int& argc, char* argv[]) {
    gPassOn = qInstallMessageHandler(DuringDisplayOpening);
    auto application = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(gPassOn);
    for (const HeldMessage& held : std::exchange(gHeld, {})) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
        gPassOn(held.type, context, held.text);  // Qt's own handler, if none was installed
    }
    return application;
}

}  // namespace

int main(int argc, char* argv[]) {
    PrepareProcess();
    std::string device;
    bool verbose = false;
    if (const int status = TakeArguments(argc, argv, device, verbose); status != 0) {
        return status < 0 ? EXIT_SUCCESS : status;
    }
    if (!HasDisplay()) {
        std::cerr << "ORLOFirmwareUpdate needs a display, and neither DISPLAY nor WAYLAND_DISPLAY "
                     "is set: run orlo-firmware-update update instead, or xvfb-run -a "
                     "ORLOFirmwareUpdate.\n";
        return kUsageError;
    }
    // The class of the window on X11 (WM_CLASS), which the desktop entry's StartupWMClass names:
    // fixed here, not taken from however the program was called.
    QCoreApplication::setApplicationName(QStringLiteral("ORLOFirmwareUpdate"));
    const std::unique_ptr<QApplication> application = OpenDisplay(argc, argv);
    // Wayland compositors find the window's name and icon by its desktop file.
    QGuiApplication::setDesktopFileName(kDesktopId);
    linuxfw::LinuxFireWireStack stack;
    const char* record = std::getenv("ORLO_RECORD");
    if (record == nullptr || *record == '\0') {
        return RunFirmwareUpdateWindow(stack, kMainResource, {}, device, verbose);
    }
    // The window records its every poll while it waits, about 10 MB an hour: bounded.
    recording::RecordingWriter::Limits limits;
    limits.fileBytes = kRecordingLimit;
    recording::RecordingStack recorder(stack, record, limits);
    if (!recorder.Opened()) {
        std::cerr << "Cannot write the recording " << record << ": " << recorder.Problem() << "\n";
    }
    const auto finish = [&recorder, record] {
        if (recorder.Opened() && !recorder.Finish()) {
            std::cerr << "The recording " << record << " is incomplete: " << recorder.Problem()
                      << "\n";
        }
    };
    // Also when the process ends because the display went away during an update.
    SetLastWords(finish);
    const int status = RunFirmwareUpdateWindow(recorder, kMainResource, {}, device, verbose);
    SetLastWords({});
    finish();
    return status;
}
