// The update controller: the one object between the window and the device. It finds the
// firmware-update unit, reads its identity, words the versions for the window, decides between
// upgrade and downgrade, and runs the update of both images on a thread of its own.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "Brim_PTA_Runnable.h"
#include "Brim_PTA_Synchronizable.h"
#include "Brim_PTA_Thread.h"
#include "Downloader.h"

namespace Brim::PTA {

// The identity of the last unit found.
struct OrloInfo {
    UInt32 softwareVer = 0;  // software version register: M-CORE version << 16 | FPGA version
    UInt32 productVer = 0;   // product revision register; the product version is its upper half
    std::string serialNum;   // at most 8 characters
    UInt32 MCOREver = 0;
    UInt32 XilinxVer = 0;
    bool valid = false;  // the last search matched a unit
};

typedef ULWord VersionInfo;

// How the last update run ended. A run ends at the first image that fails.
struct UpdateOutcome {
    enum class Result {
        kNone,         // no run has ended yet
        kSucceeded,    // both images verified by the unit
        kNoUnit,       // the unit was not found when the run began: nothing was programmed
        kInUse,        // another program had the unit: nothing was sent to it
        kFpgaFailed,   // the FPGA image failed (status says how); the M-CORE image was not sent
        kMcoreFailed,  // the FPGA image succeeded and the M-CORE image failed
        kNotStarted,   // the system could not create the update thread: nothing was programmed
    };
    Result result = Result::kNone;
    IOReturn status = kIOReturnSuccess;
};

// The exit status of a front end that ends after a run: 0 success, 3 no Orlo, 4 in use by another
// program, 6 any other failure (the Orlo may need the update again).
int ExitStatusFor(const UpdateOutcome& outcome);

class COrloFirmwareUpdate : public Runnable, private Synchronizable {
  public:
    // `stack` is where the unit is searched for; it must outlive the controller.
    explicit COrloFirmwareUpdate(fw::FireWireStack& stack);
    // Waits for an update run that is still active: the run uses this object to its end.
    ~COrloFirmwareUpdate() override;

    COrloFirmwareUpdate(const COrloFirmwareUpdate&) = delete;
    COrloFirmwareUpdate& operator=(const COrloFirmwareUpdate&) = delete;

    // Searches the bus for the update unit and builds the unit object on it. False when no unit
    // was found or its device interface could not be built.
    bool OpenOrlo();
    // Releases the unit object. Whoever opened its device closes it first.
    void CloseOrlo();
    // Search, open, identify, close and release: true when a unit of this product was found and
    // its identity read. No unit object survives the call.
    bool IsFound();

    // The texts the window shows. All but the last require a successful IsFound.
    void GetSerialNumberString(std::string& serialNumberString);
    void GetCurrentFirmwareVersionString(std::string& currentVersionString);
    void GetUpdateFirmwareVersionString(std::string& updateVersionString);
    // True when programming the embedded images lowers the version of either part.
    bool IsDowngrade();

    // Starts an update run of both images and returns at once. Never while a run is active.
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
    // Parts of Run: the two images under one claim on the unit, or the outcome of a run that
    // found no unit.
    UpdateOutcome UpdateBothImages();
    static UpdateOutcome NoUnit();

    fw::FireWireStack& _stack;
    std::unique_ptr<DownloadUnit> _unit;
    OrloInfo _orloInfo;
    std::unique_ptr<Downloader> _pDownloader;
    // The hand-over from the update thread: written once at the end of a run with release, read
    // with acquire, so the window that sees it also sees the outcome and the final progress.
    std::atomic<bool> _done = false;
    std::unique_ptr<Thread> _thread;
    UpdateOutcome _outcome;
    std::function<void()> _runStartHook;
};

}  // namespace Brim::PTA
