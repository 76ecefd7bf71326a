#include "UnitDiagnosis.h"

#include <cstdio>
#include <memory>

#include "DownloadUnit.h"

namespace {

using Cause = NoOrloDiagnosis::Cause;

// The product versions of an Orlo (upper half of the product revision register).
constexpr UInt32 kOrloProductVersion = 2;
constexpr UInt32 kUnsetProductVersion = 0;

std::string Hex(IOReturn status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

NoOrloDiagnosis Found(Cause cause, IOReturn status, std::string text) {
    return {cause, status, std::move(text)};
}

// Failures that mean the unit has gone since it was found.
bool Gone(IOReturn status) {
    return status == kIOReturnNoDevice;
}

}  // namespace

const char kUdevRule[] =
    R"(SUBSYSTEM=="firewire", ATTR{units}=="*0x0a4f52:0x000011*", TAG+="uaccess")";

std::string UdevRuleInstallCommand() {
    return std::string("echo '") + kUdevRule +
           "' | sudo tee /etc/udev/rules.d/70-orlo-firmware-update.rules && sudo udevadm "
           "control --reload && sudo udevadm trigger --subsystem-match=firewire";
}

NoOrloDiagnosis DiagnoseNoOrlo(fw::FireWireStack& stack) {
    const auto noUnit = [] {
        return Found(Cause::kNoUnit, kIOReturnNoDevice,
                     "No Orlo is on the FireWire bus: check that it is connected and powered.");
    };
    if (stack.Facts({}).controllers == 0) {
        return Found(Cause::kNoController, kIOReturnNoDevice,
                     "This computer has no FireWire controller.");
    }
    fw::UnitHandle unit;
    if (const IOReturn status = stack.FindUnit(DownloadUnit::kFirmwareUpdateUnitSpecID,
                                               DownloadUnit::kFirmwareUpdateUnitSWVersion, unit);
        status != kIOReturnSuccess) {
        return Found(Cause::kRegistry, status,
                     "The device registry cannot be read (status " + Hex(status) + ").");
    }
    if (!unit) return noUnit();

    std::unique_ptr<fw::PlugIn> plugIn;
    if (const IOReturn status = stack.CreatePlugIn(unit, plugIn); status != kIOReturnSuccess) {
        if (Gone(status)) return noUnit();
        if (status == kIOReturnNotPermitted) {
            return Found(Cause::kNoPermission, status,
                         "The Orlo's device file " + stack.Facts(unit).node +
                             " may not be opened: the udev rule that gives access to it is not "
                             "installed. Install it with: " +
                             UdevRuleInstallCommand());
        }
        return Found(Cause::kNotAnswering, status,
                     "The Orlo cannot be reached (status " + Hex(status) + ").");
    }
    std::unique_ptr<fw::DeviceInterface> device;
    UInt32 generation = 0;
    IOReturn status = plugIn->QueryInterface(device);
    if (status == kIOReturnSuccess) status = device->GetBusGeneration(generation);
    if (status != kIOReturnSuccess) {
        if (Gone(status)) return noUnit();
        return Found(Cause::kNotAnswering, status,
                     "The Orlo cannot be reached (status " + Hex(status) + ").");
    }

    status = device->Open();
    if (status == kIOReturnExclusiveAccess) {
        const std::string holder = stack.Facts(unit).holder;
        return Found(Cause::kInUse, status,
                     "The Orlo is in use by another program" +
                         (holder.empty() ? std::string() : " (" + holder + ")") + ".");
    }
    if (Gone(status)) return noUnit();
    const bool opened = status == kIOReturnSuccess;

    UInt32 revision = 0;
    status = device->ReadQuadlet(
        device->GetDevice(),
        FWAddressStruct(DownloadUnit::kRegisterSpace, DownloadUnit::kRegisterBase + 0x8), revision,
        false, generation);
    if (opened) device->Close();
    if (Gone(status)) return noUnit();
    if (status != kIOReturnSuccess) {
        return Found(Cause::kNotAnswering, status,
                     "The Orlo does not answer (status " + Hex(status) +
                         "): turn it off and on, and check its cable.");
    }
    const UInt32 product = revision >> 16;
    if (product != kOrloProductVersion && product != kUnsetProductVersion) {
        return Found(Cause::kNotAnOrlo, kIOReturnUnsupported,
                     "The device on the bus is not an Orlo (product version " +
                         std::to_string(product) + ").");
    }
    return {};
}
