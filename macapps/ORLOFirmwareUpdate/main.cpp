// The utility: the update window over the Linux FireWire stack.
#include <QApplication>

#include "LinuxFireWireStack.h"
#include "OrloFirmwareUpdateDialog.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    linuxfw::LinuxFireWireStack stack;
    return RunFirmwareUpdateWindow(stack);
}
