// The update controller: the one object between the window and the device. It finds the
// firmware-update unit, reads its identity, words the versions for the window, decides between
// upgrade and downgrade, and runs the update of both images on a thread of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Brim_PTA_Runnable.h"
#include "Brim_PTA_Synchronizable.h"
#include "Brim_PTA_Thread.h"
#include "Downloader.h"

namespace Brim::PTA {

// The identity of the last unit found: which Orlo it is and what it runs.
struct OrloInfo {
    UInt32 softwareVer = 0;  // software version register: M-CORE version << 16 | FPGA version
    UInt32 productVer = 0;   // product revision register; the product version is its upper half
    std::string serialNum;   // at most 8 characters
    UInt32 MCOREver = 0;
    UInt32 XilinxVer = 0;
    bool valid = false;  // the last search matched a unit
    UInt64 guid = 0;     // the GUID of the unit's node: the device itself, wherever it sits
    fw::UnitHandle unit;  // where the registry listed it (its node): what the run opens
};

typedef ULWord VersionInfo;

// How the last update run ended. The M-CORE image follows a failed FPGA image, unless the unit
// has gone, another program holds it or it is no longer the Orlo identified.
struct UpdateOutcome {
    enum class Result {
        kNone,         // no run has ended yet
        kSucceeded,    // both images verified by the unit
        kChanged,      // the Orlo identified was gone when the run began, or another had taken
                       // its place (its GUID, serial number or firmware read otherwise):
                       // nothing was sent
        kInUse,        // another program had the unit: nothing was sent to it
        kFpgaFailed,   // the FPGA image failed (status says how), whatever the M-CORE image did
        kMcoreFailed,  // the FPGA image succeeded and the M-CORE image failed
        kNotStarted,   // the system could not create the update thread: nothing was programmed
    };
    Result result = Result::kNone;
    IOReturn status = kIOReturnSuccess;
};

// The exit status of a front end that ends after a run: 0 success, 3 no Orlo (the one identified
// has changed), 4 in use by another program, 6 any other failure (the Orlo may need the update
// again).
int ExitStatusFor(const UpdateOutcome& outcome);

class COrloFirmwareUpdate : public Runnable, private Synchronizable {
  public:
    // `stack` is where the unit is searched for; it must outlive the controller.
    explicit COrloFirmwareUpdate(fw::FireWireStack& stack);
    // Waits for an update run that is still active: the run uses this object to its end.
    ~COrloFirmwareUpdate() override;

    COrloFirmwareUpdate(const COrloFirmwareUpdate&) = delete;
    COrloFirmwareUpdate& operator=(const COrloFirmwareUpdate&) = delete;

    // Which Orlo IsFound identifies when several are connected: the one whose node (as the stack
    // names it, e.g. /dev/fw1), GUID (hex digits, 0x optional) or serial number is `device`;
    // empty (the default) for the first the registry lists. Not while a run is active.
    void SelectDevice(std::string device) { _device = std::move(device); }
    // Search, then open, identify, close and release the selected unit: true when it is a unit
    // of this product and its identity was read. No unit object survives the call.
    bool IsFound();
    // Opens, identifies, closes and releases `unit`, as IsFound does the unit it picks.
    bool Identify(fw::UnitHandle unit);
    // The identity the last IsFound or Identify read (valid only when it returned true), and how
    // many update units the last search listed, Orlos or not.
    const OrloInfo& GetOrloInfo() const { return _orloInfo; }
    std::size_t GetUnitsFound() const { return _unitsFound; }

    // The texts the window shows. All but the last require a successful IsFound.
    void GetSerialNumberString(std::string& serialNumberString);
    void GetCurrentFirmwareVersionString(std::string& currentVersionString);
    void GetUpdateFirmwareVersionString(std::string& updateVersionString);
    // True when programming the embedded images lowers the version of either part.
    bool IsDowngrade();
    // True when the Orlo runs the embedded images' versions already (the window offers it as an
    // upgrade all the same; the command line has nothing to do).
    bool IsCurrent();

    // Starts an update run of both images on the Orlo the last IsFound or Identify read, and
    // returns at once. Before it sends anything the run checks that the unit it finds in that
    // Orlo's place still is that Orlo. Never while a run is active.
    bool DoUpdate();
    // Called first on each run's own thread, before the unit is opened: where the front end asks
    // for that thread's scheduling (real-time, for steady pauses). The thread ends with the run.
    // Set it while no run is active.
    void SetRunStartHook(std::function<void()> hook) { _runStartHook = std::move(hook); }
    // True once the run has ended, whatever its outcome, until the next DoUpdate.
    bool GetDoneStatus() const { return _done.load(std::memory_order_acquire); }
    // How the last run ended; meaningful once GetDoneStatus() is true.
    UpdateOutcome GetUpdateOutcome() const { return _outcome; }
    // Blocks until no run is active. From any thread but the update thread.
    void WaitForRun();

    // The update thread's body.
    void Run() override;

    // True while a run is active: from DoUpdate until just before the done flag is raised.
    std::atomic<bool> _threadrunning = false;

  private:
    // The registry's update units ("Open Orlo"); false when it cannot be read.
    bool Search(std::vector<fw::UnitHandle>& units);
    // Builds the unit object on `unit`; false when it cannot be built. CloseOrlo releases it;
    // whoever opened its device closes it first.
    bool OpenOrlo(fw::UnitHandle unit);
    void CloseOrlo();
    // Reads the identity of the unit object's Orlo into `info`; false when a read failed.
    bool ReadIdentity(OrloInfo& info);
    // `device` names the Orlo just identified, on `unit`.
    bool Names(const std::string& device, fw::UnitHandle unit);

    // Parts of Run: the Orlo identified, found again in its place; the two images under one
    // claim on it; the outcome of a run that did not find it.
    bool OpenIdentifiedOrlo();
    UpdateOutcome UpdateBothImages();
    bool StillIdentified();
    static UpdateOutcome Changed();

    fw::FireWireStack& _stack;
    std::unique_ptr<DownloadUnit> _unit;
    OrloInfo _orloInfo;
    std::string _device;
    std::size_t _unitsFound = 0;
    std::unique_ptr<Downloader> _pDownloader;
    // The hand-over from the update thread: written once at the end of a run with release, read
    // with acquire, so the window that sees it also sees the outcome and the final progress.
    std::atomic<bool> _done = false;
    std::unique_ptr<Thread> _thread;
    UpdateOutcome _outcome;
    std::function<void()> _runStartHook;
};

}  // namespace Brim::PTA
