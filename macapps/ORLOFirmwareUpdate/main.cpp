// The utility: the update window over the Linux FireWire stack. With ORLO_RECORD=FILE in the
// environment, every call to the stack is also written to FILE (JSON Lines), for a bug report.
#include <QApplication>
#include <cstdlib>
#include <iostream>

#include "LinuxFireWireStack.h"
#include "OrloFirmwareUpdateDialog.h"
#include "RecordingStack.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    linuxfw::LinuxFireWireStack stack;
    const char* record = std::getenv("ORLO_RECORD");
    if (record == nullptr || *record == '\0') return RunFirmwareUpdateWindow(stack);
    recording::RecordingStack recorder(stack, record);
    if (!recorder.Ok()) std::cerr << "Cannot write the recording " << record << "\n";
    return RunFirmwareUpdateWindow(recorder);
}
