#include "UnitDiagnosis.h"

#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "DownloadUnit.h"

namespace {

using Cause = NoOrloDiagnosis::Cause;

// The product versions of an Orlo (upper half of the product revision register).
constexpr UInt32 kOrloProductVersion = 2;
constexpr UInt32 kUnsetProductVersion = 0;

NoOrloDiagnosis Diagnosed(Cause cause, IOReturn status, std::string node = {},
                          std::string holder = {}, UInt32 productVersion = 0) {
    NoOrloDiagnosis diagnosis;
    diagnosis.cause = cause;
    diagnosis.status = status;
    diagnosis.node = std::move(node);
    diagnosis.holder = std::move(holder);
    diagnosis.productVersion = productVersion;
    return diagnosis;
}

// Failures that mean the unit has gone since it was found.
bool Gone(IOReturn status) {
    return status == kIOReturnNoDevice;
}

}  // namespace

// A copy in /etc/udev/rules.d would hide every later version of the packaged rule: the message
// points at the package and at this file instead.
const char kUdevRulePath[] = "/usr/lib/udev/rules.d/70-orlo-firmware-update.rules";
const char kUdevApplyCommand[] =
    "sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=firewire";

NoOrloDiagnosis DiagnoseNoOrlo(fw::FireWireStack& stack, const std::string& device) {
    NoOrloDiagnosis noUnit = Diagnosed(Cause::kNoUnit, kIOReturnNoDevice);
    noUnit.device = device;
    if (stack.Facts({}).controllers == 0) return Diagnosed(Cause::kNoController, kIOReturnNoDevice);
    std::vector<fw::UnitHandle> units;
    if (const IOReturn status = stack.FindUnits(DownloadUnit::kFirmwareUpdateUnitSpecID,
                                                DownloadUnit::kFirmwareUpdateUnitSWVersion, units);
        status != kIOReturnSuccess) {
        return Diagnosed(Cause::kRegistry, status);
    }
    if (units.empty()) return noUnit;
    if (device.empty()) return DiagnoseUnit(stack, units.front());
    // By node, the unit there can tell; a GUID or serial number only an Orlo that answers can.
    for (const fw::UnitHandle unit : units) {
        if (stack.Facts(unit).node != device) continue;
        if (NoOrloDiagnosis why = DiagnoseUnit(stack, unit); why.cause != Cause::kNone) return why;
    }
    return noUnit;
}

NoOrloDiagnosis DiagnoseUnit(fw::FireWireStack& stack, fw::UnitHandle unit) {
    const NoOrloDiagnosis noUnit = Diagnosed(Cause::kNoUnit, kIOReturnNoDevice);
    std::unique_ptr<fw::PlugIn> plugIn;
    if (const IOReturn status = stack.CreatePlugIn(unit, plugIn); status != kIOReturnSuccess) {
        if (Gone(status)) return noUnit;
        if (status == kIOReturnNotPermitted) {
            return Diagnosed(Cause::kNoPermission, status, stack.Facts(unit).node);
        }
        return Diagnosed(Cause::kNotAnswering, status);
    }
    std::unique_ptr<fw::DeviceInterface> device;
    UInt32 generation = 0;
    IOReturn status = plugIn->QueryInterface(device);
    if (status == kIOReturnSuccess) status = device->GetBusGeneration(generation);
    if (status != kIOReturnSuccess)
        return Gone(status) ? noUnit : Diagnosed(Cause::kNotAnswering, status);

    status = device->Open();
    if (status == kIOReturnExclusiveAccess) {
        return Diagnosed(Cause::kInUse, status, {}, stack.Facts(unit).holder);
    }
    if (Gone(status)) return noUnit;
    const bool opened = status == kIOReturnSuccess;

    UInt32 revision = 0;
    status = device->ReadQuadlet(
        device->GetDevice(),
        FWAddressStruct(DownloadUnit::kRegisterSpace, DownloadUnit::kRegisterBase + 0x8), revision,
        false, generation);
    if (opened) device->Close();
    if (Gone(status)) return noUnit;
    if (status != kIOReturnSuccess) return Diagnosed(Cause::kNotAnswering, status);
    const UInt32 product = revision >> 16;
    if (product != kOrloProductVersion && product != kUnsetProductVersion) {
        return Diagnosed(Cause::kNotAnOrlo, kIOReturnUnsupported, {}, {}, product);
    }
    return {};
}

std::string PrintableText(const std::string& text) {
    std::string printable;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            printable += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            printable += escaped;
        }
    }
    return printable;
}
