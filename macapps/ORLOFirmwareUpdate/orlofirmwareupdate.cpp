#include "orlofirmwareupdate.h"

#include <cstdio>
#include <exception>
#include <iostream>

#include "Brim_Check.h"
#include "DownloadProgress.h"

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
    std::string text;
    for (const char c : serial) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text;
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
        case UpdateOutcome::Result::kNoUnit:
            return 3;
        case UpdateOutcome::Result::kInUse:
            return 4;
        default:
            return 6;
    }
}

bool COrloFirmwareUpdate::OpenOrlo() {
    std::cout << "Open Orlo\n";
    io_service_t service;
    if (_stack.FindUnit(DownloadUnit::kFirmwareUpdateUnitSpecID,
                        DownloadUnit::kFirmwareUpdateUnitSWVersion, service) != kIOReturnSuccess) {
        // The registry could not be asked: that says nothing about the bus.
        std::cerr << "Problem with MasterPort\n";
        return false;
    }
    _orloInfo.valid = false;
    if (service) {
        try {
            _unit = std::make_unique<DownloadUnit>(service);
            _orloInfo.valid = true;
        } catch (const std::exception&) {
            // The device object has said why on standard error; to the caller this unit is as
            // good as absent, and the next search tries again.
        }
    }
    return _orloInfo.valid;
}

void COrloFirmwareUpdate::CloseOrlo() {
    std::cout << "Close Orlo\n";
    _unit.reset();
}

bool COrloFirmwareUpdate::IsFound() {
    if (!OpenOrlo()) return false;

    UInt32 generation = 0;
    if (_unit->GetBusGeneration(generation) != kIOReturnSuccess ||
        _unit->Open() != kIOReturnSuccess) {
        CloseOrlo();
        return false;
    }

    _unit->GetProductSerNum(_orloInfo.serialNum);
    // A unit whose version registers cannot be read is not identified: showing what an earlier
    // read left would offer the wrong upgrade.
    const bool identified = _unit->GetSoftwareVersion(_orloInfo.softwareVer) == kIOReturnSuccess &&
                            _unit->GetProductRevision(_orloInfo.productVer) == kIOReturnSuccess;
    _orloInfo.XilinxVer = _orloInfo.softwareVer & 0xFFFF;
    _orloInfo.MCOREver = _orloInfo.softwareVer >> 16;
    // The unit may not have its serial number ready at the first read; the second one counts,
    // and a unit that cannot answer it (unplugged just then) is not identified either.
    const bool serialRead = _unit->GetProductSerNum(_orloInfo.serialNum) == kIOReturnSuccess;

    const UInt32 productVersion = _orloInfo.productVer >> 16;
    bool result = false;
    if (identified && serialRead && (productVersion == OrloVersion || productVersion == 0)) {
        _orloInfo.valid = true;
        result = true;
    }
    _unit->Close();
    CloseOrlo();
    return result;
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
    const UpdateOutcome outcome = OpenOrlo() ? UpdateBothImages() : NoUnit();
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

UpdateOutcome COrloFirmwareUpdate::NoUnit() {
    // Unplugged since it was identified: there is nothing to program.
    std::cerr << "Orlo not found - nothing was programmed.\n";
    return {UpdateOutcome::Result::kNoUnit, kIOReturnNoDevice};
}

UpdateOutcome COrloFirmwareUpdate::UpdateBothImages() {
    // One claim on the unit for the whole run, so that no other program (another instance's
    // identification included) can take it between the two images. Each image's own Open and
    // Close then leave it alone.
    const IOReturn claim = _unit->Claim();
    if (claim == kIOReturnNoDevice) return NoUnit();
    if (claim == kIOReturnExclusiveAccess) {
        std::cerr << "The Orlo is in use by another program - nothing was programmed.\n";
        return {UpdateOutcome::Result::kInUse, claim};
    }
    // Any other refusal is left to each image's Open to report; the unit may still take the
    // update.

    UpdateOutcome outcome{UpdateOutcome::Result::kSucceeded, kIOReturnSuccess};
    gDownloadProgress.Reset();
    gDownloadProgress.SetDeviceType(Xilinx);
    _pDownloader->DoDownload(_unit.get(), fileXILINX);
    if (_pDownloader->GetError() != kIOReturnSuccess) {
        // The M-CORE image is not sent after a failed FPGA image: an Orlo whose FPGA image was
        // refused before its erase is then left as it was, rather than with a new M-CORE program
        // beside the old FPGA configuration.
        outcome = {UpdateOutcome::Result::kFpgaFailed, _pDownloader->GetError()};
    } else {
        gDownloadProgress.SetDeviceType(MCORE);
        _pDownloader->DoDownload(_unit.get(), fileMCORE);
        if (_pDownloader->GetError() != kIOReturnSuccess) {
            outcome = {UpdateOutcome::Result::kMcoreFailed, _pDownloader->GetError()};
        }
    }
    _unit->ReleaseClaim();
    return outcome;
}

}  // namespace Brim::PTA
