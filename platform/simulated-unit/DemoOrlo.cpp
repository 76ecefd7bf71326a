#include "DemoOrlo.h"

#include <algorithm>

namespace sim {

UInt32 PlugInDemoOrlo(SimulatedBus& bus) {
    const UInt32 unit = bus.AddUnit();
    UpdateUnitModel& orlo = bus.Model(unit);
    orlo.softwareVersion = 0x00010002;  // M-CORE 1, FPGA 2
    orlo.productRevision = 0x00020000;
    std::copy_n(kDemoSerialNumber, orlo.serialNumber.size(), orlo.serialNumber.begin());
    orlo.settings.erasePolls = 3;
    return unit;
}

}  // namespace sim
