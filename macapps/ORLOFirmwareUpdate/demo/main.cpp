// The demo: the utility's own window over a simulated Orlo, for trying the utility without the
// device. The Orlo (firmware 1-2, serial DEMO0001) is plugged in 1.5 s after start, so the window
// is first seen searching; its erases take a few status polls, and the download keeps the real
// pauses, so an update takes as long as it would on the device.
//
//   ORLOFirmwareUpdateDemo [--screenshot FILE.png]
// --screenshot saves what the display shows of the window once the Orlo's serial number is on it,
// then quits (status 0 when saved).
#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <iostream>

#include "DemoOrlo.h"
#include "OrloFirmwareUpdateDialog.h"

namespace {

constexpr int kPlugInDelayMs = 1500;

// Polls until the serial number is shown and painted, then saves the window as the display
// shows it and quits with the outcome.
void ScreenshotWhenShown(QWidget& window, const QString& file) {
    auto* poll = new QTimer(&window);
    QObject::connect(poll, &QTimer::timeout, &window, [&window, file, poll] {
        const auto labels = window.findChildren<QLabel*>();
        const bool shown = std::any_of(labels.begin(), labels.end(), [](QLabel* label) {
            return label->isVisible() && label->text() == QLatin1String(sim::kDemoSerialNumber);
        });
        if (!shown) return;
        poll->stop();
        // One more pass of the event loop, and the display has what was painted.
        QTimer::singleShot(300, &window, [&window, file] {
            const QPixmap grab = window.screen()->grabWindow(window.winId());
            const bool saved = !grab.isNull() && grab.save(file, "PNG");
            if (!saved) std::cerr << "Cannot save the window to " << file.toStdString() << "\n";
            QCoreApplication::exit(saved ? 0 : 1);
        });
    });
    poll->start(100);
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype screenshot = arguments.indexOf(QStringLiteral("--screenshot"));
    if (screenshot >= 0 && screenshot + 1 >= arguments.size()) {
        std::cerr << "usage: ORLOFirmwareUpdateDemo [--screenshot FILE.png]\n";
        return 2;
    }

    sim::SimulatedBus bus;
    bus.SetLogging(false);  // nobody reads the log here, and it would grow with every poll
    QTimer::singleShot(kPlugInDelayMs, [&bus] { sim::PlugInDemoOrlo(bus); });

    return RunFirmwareUpdateWindow(bus, kMainResource, [&](QWidget& window) {
        window.setWindowTitle(QStringLiteral("ORLOFirmwareUpdate (simulated Orlo)"));
        if (screenshot >= 0) ScreenshotWhenShown(window, arguments.at(screenshot + 1));
    });
}
