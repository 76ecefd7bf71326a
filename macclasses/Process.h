// The list of running processes, read from /proc, walked in ascending order of process id.
//
// Linux processes carry no creator code. A process has the signature of an application when its
// executable is one of that application's (see Process.cpp); every other process has '????'.
// 'KeyG', the video editing application, stands for the Linux editors and capture tools that
// take video from FireWire devices: kdenlive, kino, dvgrab, cinelerra (cinelerra-gg, cin),
// shotcut, openshot (openshot-qt), flowblade, olive-editor, resolve, lightworks.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "ToolkitTypes.h"

// A process id in the low word; the high word is always 0. {0, 0} names no process and is the
// position before the first one.
struct ProcessSerialNumber {
    UInt32 highLongOfPSN;
    UInt32 lowLongOfPSN;

    friend bool operator==(const ProcessSerialNumber&, const ProcessSerialNumber&) = default;
};

constexpr ProcessSerialNumber kMyProcess{0, 0};

// The users whose applications may be using the device, and so whose processes FindProcess looks
// among: the user at the device's seat (`seatUser`, where known), the user who started this
// program through sudo (SUDO_UID) or pkexec (PKEXEC_UID), and the real user; each once. Run by
// root or from another account, the program still sees the editor of the person at the seat.
std::vector<uid_t> ProcessOwners(std::optional<uid_t> seatUser = std::nullopt);

// What /proc/<pid>/stat tells of a process, in the units the fields always had.
struct ProcessInfoRec {
    ProcessSerialNumber processNumber;
    OSType processSignature;
    // Bytes, at most 0xFFFFFFFF. A process has no fixed partition on Linux: its size is what it
    // holds in memory (rss), its free memory the address space it has reserved but does not hold
    // (vsize - rss), which often reaches the 4 GiB cap.
    UInt32 processSize;
    UInt32 processFreeMem;
    UInt32 processLaunchDate;  // start time in ticks of 1/60 s since boot, modulo 2^32
};

class TProcess {
  public:
    // Starts the walk on the first process after start; kMyProcess starts on the first process.
    explicit TProcess(ProcessSerialNumber start);
    virtual ~TProcess() = default;

    // Sends SIGTERM. False, with errno in fError, when it cannot be sent; a target that names no
    // process ({0, 0}, or an id no pid can have) gives false with ESRCH and signals nothing.
    virtual Boolean KillApplication(ProcessSerialNumber* target);
    virtual SInt16 GetNumProcesses();  // processes now running, at most 32767; the walk is kept
    virtual ProcessInfoRec GetProcessInfoRec();  // of the current process; fError := status
    virtual UInt32 GetProcessSize();
    virtual UInt32 GetFreeMem();
    virtual UInt32 GetLaunchDate();
    // True, with the walk on the first (lowest id) process with that signature, when one runs.
    // Only the processes of the owners (below) count, never a kernel thread, and a process is
    // known by its comm, or by argv[0] where comm is cut short or names a launcher (a shell, an
    // interpreter): a renamed argv[0] alone is not enough. A zombie no longer runs: it has no
    // signature. Searches share what they learn (see Process.cpp): a process that execs the
    // application is seen on the next search when it has just started, and otherwise within
    // about as many searches again as it had run for, at most 256.
    virtual Boolean FindProcess(OSType signature);
    // The same, looking at every process now, however recently it was looked at: for the moment
    // that decides (an update about to start).
    Boolean FindProcessThoroughly(OSType signature);
    // Whose processes FindProcess looks among; ProcessOwners() unless set.
    void SetOwners(std::vector<uid_t> owners) { fOwners = std::move(owners); }
    const std::vector<uid_t>& GetOwners() const { return fOwners; }
    // The name people know the application by that FindProcess last found ("Kdenlive"); empty
    // when it found none.
    std::string GetApplicationName() const { return fApplicationName; }
    virtual ProcessSerialNumber GetMyProcessID() const;
    virtual ProcessSerialNumber GetProcessID() const;
    // Moves to the next process. Past the last one the walk returns to where it started and
    // Last() becomes true for good.
    virtual void Next();
    virtual Boolean Last();
    virtual void First();        // back to the process the walk started on
    virtual Boolean IProcess();  // one step of the walk; false when there was no next process

  protected:
    ProcessSerialNumber fProcessID;
    ProcessSerialNumber fMyProcessID;
    ProcessSerialNumber fFirstPSN;
    Boolean fFirstTime;
    Boolean fLast;
    Boolean fState;  // whether the constructor found a process to start on
    OSErr fError;    // procNotFound from the process calls, an errno value from KillApplication
    std::string fApplicationName;
    std::vector<uid_t> fOwners;

  private:
    Boolean Find(OSType signature, bool thorough);
};
