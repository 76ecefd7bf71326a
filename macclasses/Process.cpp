#include "Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr OSType kUnknownSignature = FourCC("????");

// The executables by which each application is recognised, with the name people know it by. Only
// the base name counts, so a build in /opt, an AppImage's inner binary or a Flatpak's /app/bin
// binary all match.
struct Executable {
    OSType signature;
    std::string_view name;
    std::string_view application;
};

constexpr Executable kExecutables[] = {
    {FourCC("KeyG"), "kdenlive", "Kdenlive"},
    {FourCC("KeyG"), "kino", "Kino"},
    {FourCC("KeyG"), "dvgrab", "dvgrab"},
    {FourCC("KeyG"), "cinelerra", "Cinelerra"},
    {FourCC("KeyG"), "cinelerra-gg", "Cinelerra-GG"},
    {FourCC("KeyG"), "cin", "Cinelerra-GG"},
    {FourCC("KeyG"), "shotcut", "Shotcut"},
    {FourCC("KeyG"), "openshot", "OpenShot"},
    {FourCC("KeyG"), "openshot-qt", "OpenShot"},
    {FourCC("KeyG"), "flowblade", "Flowblade"},
    {FourCC("KeyG"), "olive-editor", "Olive"},
    {FourCC("KeyG"), "resolve", "DaVinci Resolve"},
    {FourCC("KeyG"), "lightworks", "Lightworks"},
};

// The kernel keeps the base name of the file given to exec, cut to 15 characters, as comm; for a
// script started through its #! line that is the script's name, where argv[0] names the
// interpreter. argv[0], on the other hand, survives a process renaming itself (comm is writable)
// and is never cut. A process is recognised by either.
const Executable* ExecutableOf(std::string_view comm, std::string_view argv0) {
    constexpr std::size_t kCommLength = 15;
    const std::string_view argv0Name = argv0.substr(argv0.rfind('/') + 1);
    for (const Executable& executable : kExecutables) {
        if (comm == executable.name.substr(0, kCommLength) || argv0Name == executable.name)
            return &executable;
    }
    return nullptr;
}

// Names a process shows when a launcher or an interpreter runs the application: for these, and for
// a comm the kernel may have cut at 15 characters, argv[0] says more.
constexpr std::string_view kLaunchers[] = {"sh",      "bash", "dash", "env",  "python",
                                           "python3", "perl", "java", "node", "AppRun"};

bool MayHideTheApplication(std::string_view comm) {
    constexpr std::size_t kCommLength = 15;
    return comm.size() >= kCommLength ||
           std::find(std::begin(kLaunchers), std::end(kLaunchers), comm) != std::end(kLaunchers);
}

// Up to `size` bytes (at most 4096) of /proc/<pid>/<file>, read through the descriptor of /proc.
std::string ReadProcFile(int proc, std::string_view pid, const char* file, std::size_t size) {
    char path[64];
    std::snprintf(path, sizeof path, "%.*s/%s", static_cast<int>(pid.size()), pid.data(), file);
    const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char text[4096];
    const ssize_t got = read(fd, text, std::min(size, sizeof text));
    close(fd);
    return std::string(text, got > 0 ? static_cast<std::size_t>(got) : 0);
}

// A kernel thread (root's, so seen when the program runs as root) never runs a program and so
// never becomes an application; PF_KTHREAD in the flags, field 9 of stat, marks one.
bool IsKernelThread(int proc, const char* entry) {
    constexpr unsigned long kKernelThreadFlag = 0x00200000;
    const std::string stat = ReadProcFile(proc, entry, "stat", 512);
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(stat.substr(close + 1));
    std::string skipped;
    for (int field = 3; field < 9; ++field) fields >> skipped;
    unsigned long flags = 0;
    fields >> flags;
    return (flags & kKernelThreadFlag) != 0;
}

// What the searches have learnt of each process, kept between them. With thousands of processes
// of other users on a shared machine, asking each one's owner on every search would cost more
// than the rest of the search together, so the owner is asked once. A process is known by its id
// and the inode number of its /proc entry, which a new process taking over the id does not share;
// the whole record is dropped now and then, so that a process that has changed its owner is seen
// again too. Kernel threads are passed over like other users' processes.
//
// For the user's own processes the search keeps /proc/<pid>/comm open and reads it again from
// the start each time, which costs a quarter of opening it anew. The descriptor stays bound to
// that process: it reads the new name after an exec, and fails with ESRCH once the process has
// been reaped, even when a new process has taken over the id. argv[0] is read again only when
// comm has changed, which an exec always does unless it runs a program of the same name.
class KnownProcesses {
  public:
    KnownProcesses() = default;
    KnownProcesses(const KnownProcesses&) = delete;
    KnownProcesses& operator=(const KnownProcesses&) = delete;
    ~KnownProcesses() {
        Forget([](const auto&) { return true; });
    }

    // What is known of one process.
    struct Known {
        ino_t inode = 0;
        bool ours = false;
        unsigned search = 0;
        int commFile = -1;                       // kept open
        std::string comm;                        // as last read
        const Executable* executable = nullptr;  // what comm, and argv[0] if read, said then
    };

    // The record of process `id` (its /proc entry `entry`, inode `inode`) when it belongs to
    // `user`; null when it does not.
    Known* Ours(int proc, const char* entry, UInt32 id, ino_t inode, uid_t user) {
        Known& known = _known[id];
        if (known.inode != inode || known.inode == 0) {
            Close(known);
            known = Known{};
            struct stat owner {};
            known.inode = inode;
            known.ours = fstatat(proc, entry, &owner, 0) == 0 && owner.st_uid == user &&
                         !IsKernelThread(proc, entry);
        }
        known.search = _search;
        return known.ours ? &known : nullptr;
    }

    // The application the process that Ours() has just given `known` for belongs to; null for
    // none and for a process that has ended.
    const Executable* Recognise(int proc, const char* entry, Known& known) {
        const std::string read = Comm(proc, entry, known);
        const std::string comm = read.substr(0, read.find('\n'));
        if (comm.empty() || comm != known.comm) {
            known.comm = comm;
            known.executable = ExecutableOf(comm, {});
            if (known.executable == nullptr && MayHideTheApplication(comm)) {
                const std::string cmdline = ReadProcFile(proc, entry, "cmdline", 4096);
                known.executable = ExecutableOf({}, std::string_view(cmdline.c_str()));
            }
        }
        return known.executable;
    }

    // A new search begins: forget the processes the last ones did not see, and now and then all.
    void Begin() {
        ++_search;
        if (_search % kForgetEvery == 0) {
            Forget([](const auto&) { return true; });
        } else if (_search % kSweepEvery == 0) {
            Forget(
                [this](const auto& known) { return known.second.search + kSweepEvery < _search; });
        }
    }

  private:
    static constexpr unsigned kForgetEvery = 64;  // about half a minute of the window's ticks
    static constexpr unsigned kSweepEvery = 16;   // ended processes leave the record as often
    // Descriptors kept open at most: well inside the usual limit of 1024, which the rest of the
    // program needs too. Processes beyond it have their comm opened on each search.
    static constexpr unsigned kMaxKept = 256;

    // comm as the kernel gives it, with its newline; empty when the process has ended.
    std::string Comm(int proc, const char* entry, Known& known) {
        if (known.commFile < 0) {
            if (_kept >= kMaxKept) return ReadProcFile(proc, entry, "comm", 64);
            char path[32];
            std::snprintf(path, sizeof path, "%s/comm", entry);
            known.commFile = openat(proc, path, O_RDONLY | O_CLOEXEC);
            if (known.commFile < 0) return {};
            ++_kept;
        }
        char text[64];
        const ssize_t got = pread(known.commFile, text, sizeof text, 0);
        if (got <= 0) {
            Close(known);
            return {};
        }
        return std::string(text, static_cast<std::size_t>(got));
    }

    void Close(Known& known) {
        if (known.commFile < 0) return;
        close(known.commFile);
        known.commFile = -1;
        --_kept;
    }
    template <typename Predicate>
    void Forget(Predicate forget) {
        for (auto known = _known.begin(); known != _known.end();) {
            if (forget(*known)) {
                Close(known->second);
                known = _known.erase(known);
            } else {
                ++known;
            }
        }
    }

    std::unordered_map<UInt32, Known> _known;
    unsigned _search = 0;
    unsigned _kept = 0;
};

// Process ids listed in /proc now, ascending. Threads other than the main one are not listed.
std::vector<UInt32> RunningProcessIds() {
    std::vector<UInt32> ids;
    DIR* directory = opendir("/proc");
    if (directory == nullptr) return ids;
    while (const dirent* entry = readdir(directory)) {
        const std::string_view name(entry->d_name);
        UInt32 id = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), id);
        if (error == std::errc() && end == name.data() + name.size() && id != 0) ids.push_back(id);
    }
    closedir(directory);
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Replaces the serial number by that of the process with the next larger id ({0, 0} gives the
// first). With none left it becomes {0, 0} and the result is procNotFound.
OSErr GetNextProcess(ProcessSerialNumber* psn) {
    const std::vector<UInt32> ids = RunningProcessIds();
    const auto next = std::upper_bound(ids.begin(), ids.end(), psn->lowLongOfPSN);
    if (next == ids.end()) {
        *psn = kMyProcess;
        return procNotFound;
    }
    *psn = {0, *next};
    return noErr;
}

UInt32 Saturated32(std::uint64_t value) {
    return static_cast<UInt32>(std::min<std::uint64_t>(value, std::numeric_limits<UInt32>::max()));
}

bool IsProcessId(const ProcessSerialNumber& psn) {
    return psn.highLongOfPSN == 0 && psn.lowLongOfPSN != 0 && psn.lowLongOfPSN <= INT_MAX;
}

// `application`, where given, receives the name people know the process's application by.
OSErr GetProcessInformation(const ProcessSerialNumber& psn, ProcessInfoRec* info,
                            std::string* application = nullptr) {
    if (!IsProcessId(psn)) return procNotFound;
    const std::string directory = "/proc/" + std::to_string(psn.lowLongOfPSN);

    std::ifstream statFile(directory + "/stat");
    const std::string stat(std::istreambuf_iterator<char>(statFile), {});
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so it ends at the last
    // ')'. Field 3 (state) follows; starttime, vsize and rss are fields 22 to 24.
    const std::size_t open = stat.find('(');
    const std::size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return procNotFound;
    const std::string_view comm = std::string_view(stat).substr(open + 1, close - open - 1);
    std::istringstream fields(stat.substr(close + 1));
    char state = 0;
    std::uint64_t startTime = 0;
    std::uint64_t virtualBytes = 0;
    std::uint64_t residentPages = 0;
    std::string skipped;
    fields >> state;
    for (int field = 4; field < 22; ++field) fields >> skipped;
    fields >> startTime >> virtualBytes >> residentPages;
    if (!fields) return procNotFound;

    std::ifstream cmdline(directory + "/cmdline");
    std::string argv0;
    std::getline(cmdline, argv0, '\0');

    const std::uint64_t residentBytes = residentPages * static_cast<std::uint64_t>(getpagesize());
    const auto ticksPerSecond = static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
    info->processNumber = psn;
    // A zombie ('Z') or dead ('X') process has ended; only its entry is left.
    const Executable* executable =
        state == 'Z' || state == 'X' ? nullptr : ExecutableOf(comm, argv0);
    info->processSignature = executable != nullptr ? executable->signature : kUnknownSignature;
    if (application != nullptr) {
        *application = executable != nullptr ? std::string(executable->application) : std::string();
    }
    info->processSize = Saturated32(residentBytes);
    info->processFreeMem = Saturated32(virtualBytes - std::min(virtualBytes, residentBytes));
    info->processLaunchDate = static_cast<UInt32>(startTime * 60 / ticksPerSecond);
    return noErr;
}

}  // namespace

TProcess::TProcess(ProcessSerialNumber start)
    : fProcessID(start),
      fMyProcessID{0, static_cast<UInt32>(getpid())},
      fFirstPSN(kMyProcess),
      fFirstTime(true),
      fLast(false),
      fState(false),
      fError(noErr) {
    fState = TProcess::IProcess();
    fFirstPSN = fProcessID;
    fFirstTime = false;
}

Boolean TProcess::IProcess() {
    fError = GetNextProcess(&fProcessID);
    if (fError == noErr) return true;
    if (fFirstTime) return false;
    fLast = true;
    First();
    return false;
}

void TProcess::Next() {
    IProcess();
}

void TProcess::First() {
    fProcessID = fFirstPSN;
}

Boolean TProcess::Last() {
    return fLast;
}

SInt16 TProcess::GetNumProcesses() {
    return static_cast<SInt16>(std::min<std::size_t>(RunningProcessIds().size(), SHRT_MAX));
}

ProcessInfoRec TProcess::GetProcessInfoRec() {
    ProcessInfoRec info{};
    fError = GetProcessInformation(fProcessID, &info);
    return info;
}

UInt32 TProcess::GetProcessSize() {
    return GetProcessInfoRec().processSize;
}

UInt32 TProcess::GetFreeMem() {
    return GetProcessInfoRec().processFreeMem;
}

UInt32 TProcess::GetLaunchDate() {
    return GetProcessInfoRec().processLaunchDate;
}

Boolean TProcess::FindProcess(OSType signature) {
    // The window searches on every tick, so this reads as little as it can: one listing of
    // /proc; the owner of each process (one fstatat), since only the user's own processes count
    // (another user's process named like an editor must not block the user's update); for those,
    // comm (through a descriptor kept open), and argv[0] only when comm may be cut short or names
    // a launcher; and the state only of a process that matched, to pass over one that has ended
    // (a zombie).
    fApplicationName.clear();
    fProcessID = kMyProcess;
    static std::mutex mutex;
    static KnownProcesses known;
    const std::lock_guard lock(mutex);
    DIR* directory = opendir("/proc");
    if (directory == nullptr) return false;
    known.Begin();
    const int proc = dirfd(directory);
    const uid_t user = getuid();
    UInt32 lowest = 0;
    std::string application;
    while (const dirent* entry = readdir(directory)) {
        const std::string_view name(entry->d_name);
        UInt32 id = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), id);
        if (error != std::errc() || end != name.data() + name.size() || id == 0) continue;
        KnownProcesses::Known* const record =
            known.Ours(proc, entry->d_name, id, entry->d_ino, user);
        if (record == nullptr) continue;
        if (lowest != 0 && id > lowest) continue;  // the lowest id wins

        const Executable* executable = known.Recognise(proc, entry->d_name, *record);
        if (executable == nullptr || executable->signature != signature) continue;
        const std::string stat = ReadProcFile(proc, name, "stat", 512);
        const std::size_t close = stat.rfind(')');
        const char state =
            close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 'X';
        if (state == 'Z' || state == 'X') continue;
        lowest = id;
        application = executable->application;
    }
    closedir(directory);
    if (lowest == 0) return false;
    fProcessID = {0, lowest};
    fApplicationName = application;
    return true;
}

ProcessSerialNumber TProcess::GetMyProcessID() const {
    return fMyProcessID;
}

ProcessSerialNumber TProcess::GetProcessID() const {
    return fProcessID;
}

Boolean TProcess::KillApplication(ProcessSerialNumber* target) {
    // kill() would take 0 or a negative id as a process group, ours included.
    if (target == nullptr || !IsProcessId(*target)) {
        fError = ESRCH;
        return false;
    }
    if (kill(static_cast<pid_t>(target->lowLongOfPSN), SIGTERM) != 0) {
        fError = static_cast<OSErr>(errno);
        return false;
    }
    fError = noErr;
    return true;
}
