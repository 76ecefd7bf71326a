// Why no Orlo can be used: asked after identification has failed, it goes through what stands
// between this program and the Orlo's update unit, in order, and names the first obstacle with
// what a user needs to act on it (the front ends word it).
#pragma once

#include <string>

#include "FireWireStack.h"

struct NoOrloDiagnosis {
    enum class Cause {
        kNone,          // an Orlo answers: nothing stands in the way
        kNoController,  // the computer has no FireWire controller
        kRegistry,      // the device registry cannot be read
        kNoUnit,        // no node on the bus carries the update unit
        kNoPermission,  // the unit's node cannot be opened: the udev rule is missing
        kInUse,         // another program holds the unit
        kNotAnswering,  // the unit is there but does not answer
        kNotAnOrlo,     // the unit answers, but is not an Orlo (its product version)
    };
    Cause cause = Cause::kNone;
    IOReturn status = kIOReturnSuccess;  // the failure that showed the cause, where there was one
    std::string node;                    // kNoPermission: the device file
    std::string holder;                  // kInUse: who holds it, where the system tells (raw)
    std::string device;                  // kNoUnit: the Orlo asked for by name, if one was
    UInt32 productVersion = 0;           // kNotAnOrlo

    bool operator==(const NoOrloDiagnosis&) const = default;
};

// Takes the unit's claim for a moment when it can, as identification does, and writes nothing
// to the unit and nothing to the standard streams. With `device` (a node, GUID or serial number,
// as a user names one of several Orlos), the Orlo of that name: what stands in the way of the
// unit on that node, or else that no Orlo of that name is connected.
NoOrloDiagnosis DiagnoseNoOrlo(fw::FireWireStack& stack, const std::string& device = {});
// The same for `unit`, one of the update units the registry lists: why it cannot be used as an
// Orlo, or kNone when nothing stands in the way.
NoOrloDiagnosis DiagnoseUnit(fw::FireWireStack& stack, fw::UnitHandle unit);

// `text` as a label or a terminal may show it: printable ASCII as it is, any other byte as \xNN,
// so that no byte from the unit or another program can break a layout or drive a terminal.
std::string PrintableText(const std::string& text);

// Where the package orlo-firmware-update installs the udev rule that gives the user at the seat
// access to the Orlo's node, and the command that applies the installed rule to an Orlo already
// plugged in (the package does both by itself).
extern const char kUdevRulePath[];
extern const char kUdevApplyCommand[];
