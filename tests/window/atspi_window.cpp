// The window that atspi_test.py reads through AT-SPI: the utility's window over a simulated Orlo
// (firmware 1-2, serial number SN000042) that erases at once, so that an update takes about four
// seconds with the real pauses.
//   atspi_window [--failing] [--plug-in-when FILE]
// --failing: the Orlo refuses the FPGA image's CRC. --plug-in-when: the Orlo is plugged in once
// FILE exists, so that the window is seen without it first; otherwise it is there from the start.
#include <QApplication>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>

#include "OrloFirmwareUpdateDialog.h"
#include "SimulatedBus.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype plugInWhen = arguments.indexOf(QStringLiteral("--plug-in-when"));
    const QString trigger = plugInWhen > 0 ? arguments.value(plugInWhen + 1) : QString();
    sim::SimulatedBus bus;
    bus.SetLogging(false);
    const auto plugIn = [&bus, failing = arguments.contains(QStringLiteral("--failing"))] {
        const UInt32 unit = bus.AddUnit();
        bus.Model(unit).softwareVersion = 0x00010002;
        bus.Model(unit).serialNumber = {'S', 'N', '0', '0', '0', '0', '4', '2'};
        bus.Model(unit).settings.rejectCrc = failing;
    };
    if (trigger.isEmpty()) plugIn();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!QFileInfo::exists(trigger)) return;
        poll.stop();
        plugIn();
    });
    if (!trigger.isEmpty()) poll.start(50);
    return RunFirmwareUpdateWindow(bus);
}
