#include "orlofirmwareupdate.h"

#include <cstdio>
#include <exception>
#include <iostream>

#include "Brim_Check.h"
#include "DownloadProgress.h"
#include "UnitDiagnosis.h"

namespace Brim::PTA {
namespace {

// Versions of the two embedded images, and the product version of a device of this kind.
constexpr UInt32 OrloXilinxUpgradeVer = 3;
constexpr UInt32 OrloMCOREUpgradeVer = 1;
constexpr UInt32 OrloVersion = 2;

std::string VersionText(UInt32 mcore, UInt32 xilinx) {
    return std::to_string(mcore) + "-" + std::to_string(xilinx);
}

// The serial number as a label may show it: printable ASCII as it is, any other byte as \xNN, so
// that no byte the unit sends can break the layout. An erased field (all 0xFF) and an empty one
// hold no serial number.
std::string SerialNumberText(const std::string& serial) {
    if (serial.empty() || serial.find_first_not_of('\xFF') == std::string::npos) {
        return "Not Available";
    }
    return PrintableText(serial);
}

}  // namespace

COrloFirmwareUpdate::COrloFirmwareUpdate(fw::FireWireStack& stack) : _stack(stack) {
    std::cout << "Ctor OrloFirmwareUpdate\n";
    std::cerr << "Test CERR\n";
    _orloInfo.valid = false;
}

COrloFirmwareUpdate::~COrloFirmwareUpdate() {
    std::cout << "Dtor OrloFirmwareUpdate\n";
    WaitForRun();
    _unit.reset();
}

void COrloFirmwareUpdate::WaitForRun() {
    Lock();
    while (_threadrunning) Wait();
    Unlock();
}

int ExitStatusFor(const UpdateOutcome& outcome) {
    switch (outcome.result) {
        case UpdateOutcome::Result::kSucceeded:
            return 0;
        case UpdateOutcome::Result::kChanged:
            return 3;
        case UpdateOutcome::Result::kInUse:
            return 4;
        default:
            return 6;
    }
}

bool COrloFirmwareUpdate::Search(std::vector<fw::UnitHandle>& units) {
    std::cout << "Open Orlo\n";
    if (_stack.FindUnits(DownloadUnit::kFirmwareUpdateUnitSpecID,
                         DownloadUnit::kFirmwareUpdateUnitSWVersion, units) != kIOReturnSuccess) {
        // The registry could not be asked: that says nothing about the bus.
        std::cerr << "Problem with MasterPort\n";
        return false;
    }
    return true;
}

bool COrloFirmwareUpdate::OpenOrlo(fw::UnitHandle unit) {
    try {
        _unit = std::make_unique<DownloadUnit>(unit);
        return true;
    } catch (const std::exception&) {
        // The device object has said why on standard error; to the caller this unit is as
        // good as absent, and the next search tries again.
        return false;
    }
}

void COrloFirmwareUpdate::CloseOrlo() {
    std::cout << "Close Orlo\n";
    _unit.reset();
}

bool COrloFirmwareUpdate::IsFound() {
    std::vector<fw::UnitHandle> units;
    _orloInfo.valid = false;
    if (!Search(units)) return false;
    _unitsFound = units.size();
    for (const fw::UnitHandle unit : units) {
        if (_device.empty()) return Identify(unit);  // the first one, whatever it turns out to be
        if (Identify(unit) && Names(_device, unit)) return true;
    }
    _orloInfo.valid = false;
    return false;
}

bool COrloFirmwareUpdate::Identify(fw::UnitHandle unit) {
    _orloInfo.valid = false;
    _orloInfo.unit = unit;
    if (!OpenOrlo(unit)) return false;

    UInt32 generation = 0;
    if (_unit->GetBusGeneration(generation) != kIOReturnSuccess ||
        _unit->Open() != kIOReturnSuccess) {
        CloseOrlo();
        return false;
    }
    const bool read = ReadIdentity(_orloInfo);
    const UInt32 productVersion = _orloInfo.productVer >> 16;
    const bool result = read && (productVersion == OrloVersion || productVersion == 0);
    _orloInfo.valid = result;
    _unit->Close();
    CloseOrlo();
    return result;
}

bool COrloFirmwareUpdate::ReadIdentity(OrloInfo& info) {
    _unit->GetProductSerNum(info.serialNum);
    // A unit whose version registers cannot be read is not identified: showing what an earlier
    // read left would offer the wrong upgrade.
    const bool versions = _unit->GetSoftwareVersion(info.softwareVer) == kIOReturnSuccess &&
                          _unit->GetProductRevision(info.productVer) == kIOReturnSuccess;
    info.XilinxVer = info.softwareVer & 0xFFFF;
    info.MCOREver = info.softwareVer >> 16;
    // The unit may not have its serial number ready at the first read; the second one counts,
    // and a unit that cannot answer it (unplugged just then) is not identified either.
    const bool serial = _unit->GetProductSerNum(info.serialNum) == kIOReturnSuccess;
    // The GUID is what tells this Orlo from any other that may take its place on the bus.
    const bool guid = _unit->GetGUID(info.guid) == kIOReturnSuccess;
    return versions && serial && guid;
}

bool COrloFirmwareUpdate::Names(const std::string& device, fw::UnitHandle unit) {
    std::string serial;
    GetSerialNumberString(serial);
    if (device == serial || device == _stack.Facts(unit).node) return true;
    // The GUID in hex, as the command line lists it and sysfs shows it.
    std::string hex = device;
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.erase(0, 2);
    if (hex.empty() || hex.size() > 16 ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    return std::stoull(hex, nullptr, 16) == _orloInfo.guid;
}

void COrloFirmwareUpdate::GetSerialNumberString(std::string& serialNumberString) {
    BRIM_CHECK(true == _orloInfo.valid);
    // Units without an M-CORE program report no meaningful serial number.
    serialNumberString =
        _orloInfo.MCOREver != 0 ? SerialNumberText(_orloInfo.serialNum) : "Not Available";
}

void COrloFirmwareUpdate::GetCurrentFirmwareVersionString(std::string& currentVersionString) {
    BRIM_CHECK(true == _orloInfo.valid);
    currentVersionString = VersionText(_orloInfo.MCOREver, _orloInfo.XilinxVer);
}

void COrloFirmwareUpdate::GetUpdateFirmwareVersionString(std::string& updateVersionString) {
    updateVersionString = VersionText(OrloMCOREUpgradeVer, OrloXilinxUpgradeVer);
}

bool COrloFirmwareUpdate::IsDowngrade() {
    BRIM_CHECK(true == _orloInfo.valid);
    // Each part on its own: a device newer in either part would lose that part's version.
    return _orloInfo.XilinxVer > OrloXilinxUpgradeVer || _orloInfo.MCOREver > OrloMCOREUpgradeVer;
}

bool COrloFirmwareUpdate::IsCurrent() {
    BRIM_CHECK(true == _orloInfo.valid);
    return _orloInfo.XilinxVer == OrloXilinxUpgradeVer && _orloInfo.MCOREver == OrloMCOREUpgradeVer;
}

bool COrloFirmwareUpdate::DoUpdate() {
    BRIM_CHECK(!_threadrunning);
    std::cout << "Start Download Thread\n";
    // Before anything else: the window must never show the last run's progress for this one.
    gDownloadProgress.Reset();
    _done.store(false, std::memory_order_relaxed);
    _pDownloader = std::make_unique<Downloader>();
    _threadrunning = true;

    // The run deletes its Thread at its end; holding the monitor across Start keeps it from doing
    // so before Start is done with the object.
    Lock();
    _thread = std::make_unique<Thread>(this, 0, Thread::kThreadPolicyTimeslice);
    if (!_thread->Start()) {
        std::cerr << "Could not start the update thread - nothing was programmed.\n";
        _thread.reset();
        _pDownloader.reset();
        _outcome = {UpdateOutcome::Result::kNotStarted, kIOReturnNoMemory};
        _threadrunning = false;
        _done.store(true, std::memory_order_release);
    }
    Unlock();
    return true;
}

void COrloFirmwareUpdate::Run() {
    if (_runStartHook) _runStartHook();
    const UpdateOutcome outcome = OpenIdentifiedOrlo() ? UpdateBothImages() : Changed();
    CloseOrlo();
    _pDownloader.reset();

    Lock();  // DoUpdate has returned from Start once this is ours
    _thread.reset();
    std::cout << "Delete Download Thread\n";
    _outcome = outcome;
    _threadrunning = false;
    _done.store(true, std::memory_order_release);
    NotifyAll();
    Unlock();
}

bool COrloFirmwareUpdate::OpenIdentifiedOrlo() {
    // The registry searched again, for the place (the node) where the Orlo was identified. Not
    // for the first unit it lists: that may be another Orlo, whose update nobody has looked at.
    std::vector<fw::UnitHandle> units;
    if (!Search(units)) return false;
    for (const fw::UnitHandle unit : units) {
        if (unit.stack == _orloInfo.unit.stack && unit.unit == _orloInfo.unit.unit) {
            return OpenOrlo(unit);
        }
    }
    return false;
}

UpdateOutcome COrloFirmwareUpdate::Changed() {
    std::cerr << "Orlo changed since it was identified - nothing was programmed.\n";
    return {UpdateOutcome::Result::kChanged, kIOReturnNoDevice};
}

bool COrloFirmwareUpdate::StillIdentified() {
    OrloInfo now;
    return ReadIdentity(now) && now.guid == _orloInfo.guid && now.serialNum == _orloInfo.serialNum &&
           now.softwareVer == _orloInfo.softwareVer && now.productVer == _orloInfo.productVer;
}

UpdateOutcome COrloFirmwareUpdate::UpdateBothImages() {
    // One claim on the unit for the whole run, so that no other program (another instance's
    // identification included) can take it between the two images. Each image's own Open and
    // Close then leave it alone.
    const IOReturn claim = _unit->Claim();
    if (claim == kIOReturnNoDevice) return Changed();
    if (claim == kIOReturnExclusiveAccess) {
        std::cerr << "The Orlo is in use by another program - nothing was programmed.\n";
        return {UpdateOutcome::Result::kInUse, claim};
    }
    // Any other refusal is left to each image's Open to report; the unit may still take the
    // update. But nothing goes to a unit that is not the Orlo identified, whose versions the
    // user was shown and whose downgrade was agreed to: its place may have been taken since.
    if (!StillIdentified()) {
        _unit->ReleaseClaim();
        return Changed();
    }

    UpdateOutcome outcome{UpdateOutcome::Result::kSucceeded, kIOReturnSuccess};
    gDownloadProgress.Reset();
    gDownloadProgress.SetDeviceType(Xilinx);
    _pDownloader->DoDownload(_unit.get(), fileXILINX);
    const IOReturn fpga = _pDownloader->GetError();
    if (fpga != kIOReturnSuccess) outcome = {UpdateOutcome::Result::kFpgaFailed, fpga};

    // The M-CORE image goes whatever the FPGA image did, but never to a unit that has gone, that
    // another program holds, or that is no longer the Orlo identified.
    UInt64 guid = 0;
    const bool maySend = fpga == kIOReturnSuccess ||
                         (fpga != kIOReturnNoDevice && fpga != kIOReturnExclusiveAccess &&
                          _unit->GetGUID(guid) == kIOReturnSuccess && guid == _orloInfo.guid);
    if (maySend) {
        gDownloadProgress.SetDeviceType(MCORE);
        _pDownloader->DoDownload(_unit.get(), fileMCORE);
        const IOReturn mcore = _pDownloader->GetError();
        if (mcore != kIOReturnSuccess && fpga == kIOReturnSuccess) {
            outcome = {UpdateOutcome::Result::kMcoreFailed, mcore};
        }
    } else {
        std::cerr << "The M-CORE image was not sent.\n";
    }
    _unit->ReleaseClaim();
    return outcome;
}

}  // namespace Brim::PTA
