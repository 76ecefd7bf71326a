// The Orlo that the demo and the command line's --simulate show: firmware 1-2, so the embedded
// 1-3 is an upgrade, serial number DEMO0001, and an erase that takes three status polls (about
// 3 s with the real pauses), so that an update takes as long as on the device.
#pragma once

#include "SimulatedBus.h"

namespace sim {

constexpr char kDemoSerialNumber[] = "DEMO0001";

// Plugs the demo Orlo into `bus`; returns its handle number.
UInt32 PlugInDemoOrlo(SimulatedBus& bus);

}  // namespace sim
