#include "Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
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
constexpr std::string_view kLaunchers[] = {"sh",   "bash", "dash", "zsh",   "fish",   "ksh",
                                           "mksh", "tcsh", "csh",  "env",   "python", "python3",
                                           "perl", "java", "node", "AppRun"};

bool IsLauncher(std::string_view comm) {
    return std::find(std::begin(kLaunchers), std::end(kLaunchers), comm) != std::end(kLaunchers);
}

bool MayHideTheApplication(std::string_view comm) {
    constexpr std::size_t kCommLength = 15;
    return comm.size() >= kCommLength || IsLauncher(comm);
}

// A process's name in /proc: its id in decimal, NUL-terminated. Made on every look at a process,
// so without the formatting machinery of printf.
std::array<char, 16> EntryOf(UInt32 id) {
    std::array<char, 16> entry{};
    std::to_chars(entry.data(), entry.data() + entry.size() - 1, id);
    return entry;
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

// What the searches have learnt of the processes, kept between them. The window searches every
// half second, and a process that has been seen costs a system call each time it is looked at
// again (more on a virtual machine), so a search looks at as little as the answer can depend on:
//
// - New processes. The kernel hands out process ids in rising order, wrapping around at pid_max,
//   and the last one it handed out is the last field of /proc/loadavg. While that stays, no
//   process (nor thread) has been started. When it has grown, only the ids between the last two
//   are new: /proc lists processes in the order of their ids, and the listing is read from the
//   highest known process below them up to the first one above. When it has fallen (the ids
//   wrapped), and every kListAllEvery searches whatever it says, the whole listing is read, and
//   the processes it no longer shows are forgotten.
// - Each process's owner is asked when the process is first seen, and its comm read if it counts
//   (its owner is one of those searched for, and it is no kernel thread). A process that counts
//   is looked at again after 1, 2, 4 ... searches, up to every 256 (about two minutes of the
//   window's ticks): a process is most likely to change in its first moments (a wrapper that
//   execs the application), and the longer it has stayed as it was, the longer it is likely to
//   stay. Every process that matched is looked at on every search, so that its end is seen at
//   once. Another user's process is asked its owner again after 8, 16 ... searches, up to every
//   256: a program that drops its privileges (sudo, su) mostly does so before anybody could look.
// - A thorough search (before an update starts) looks at every process now: a long-running one
//   may have exec'd the application since it was last looked at (a shell, by `exec`).
//
// A process is known by its id and the inode number of its /proc entry, which a new process taking
// over the id does not share. For a process that counts, the search keeps /proc/<pid>/comm open and
// reads it again from the start each time, which costs a quarter of opening it anew. The descriptor
// stays bound to that process: it reads the new name after an exec, and fails with ESRCH once the
// process has been reaped, even when a new process has taken over the id. argv[0] is read again
// only when comm has changed, which an exec always does unless it runs a program of the same name.
class ProcessTable {
  public:
    ProcessTable() = default;
    ProcessTable(const ProcessTable&) = delete;
    ProcessTable& operator=(const ProcessTable&) = delete;
    ~ProcessTable() {
        for (auto& [id, process] : _processes) Close(process);
        if (_proc >= 0) close(_proc);
        if (_loadavg >= 0) close(_loadavg);
    }

    struct Found {
        UInt32 id = 0;  // 0 for none
        const Executable* executable = nullptr;
    };

    // The running process with the lowest id that belongs to one of `owners` and runs the
    // application of `signature`; `thorough`: looking at every process now.
    Found Find(const std::vector<uid_t>& owners, OSType signature, bool thorough) {
        if (_proc < 0) _proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (_proc < 0) return {};
        ++_search;
        const long last = LastProcessId();
        if (_search % kListAllEvery == 1 || last < 0 || last < _lastId || !ListNew(last)) {
            ListAll();
        }
        _lastId = last;

        const auto counts = [&owners](uid_t owner) {
            return std::find(owners.begin(), owners.end(), owner) != owners.end();
        };
        // Processes that did not count may now, and the other way; a process known to run
        // another application than the last search's may run this one.
        if (thorough || owners != _owners || signature != _signature) {
            _owners = owners;
            _signature = signature;
            for (auto& [id, process] : _processes) {
                if (process.due <= _search) continue;  // due already
                if (process.queued) _due.erase({process.due, id});
                process.due = _search;
                Queue(id, process);
            }
        }
        // Only the processes due are looked at: a search touches what it reads, however many
        // processes there are. All of them are due to this search, so they come in the order of
        // their ids. Each is queued again for its next look, a match for the next search.
        Found found;
        while (!_due.empty() && _due.begin()->first <= _search) {
            const UInt32 id = _due.begin()->second;
            _due.erase(_due.begin());
            const auto entry = _processes.find(id);
            Process& process = entry->second;
            process.queued = false;
            if (!Look(id, process, counts)) {
                Close(process);
                _processes.erase(entry);
                continue;
            }
            if (process.executable != nullptr && process.executable->signature == signature &&
                process.kind == Kind::kUser && counts(process.owner)) {
                process.due = _search + 1;
                // The lowest id wins. A process that matched still runs unless it has ended:
                // one that has left only its entry (a zombie) does not.
                if (found.id == 0 && Runs(id)) found = {id, process.executable};
            }
            Queue(id, process);
        }
        return found;
    }

  private:
    static constexpr unsigned kListAllEvery = 256;  // about two minutes of the window's ticks
    static constexpr unsigned kNever = std::numeric_limits<unsigned>::max();  // due to no search
    // The descriptors of comm kept open live from FD_SETSIZE (1024) on, out of the way of any
    // library that still waits with select(), which cannot watch a descriptor from there on.
    // The soft RLIMIT_NOFILE (1024 on most desktops) is raised for them, within the hard limit
    // (hundreds of thousands on most), by as much as kMostKept of them need. Where the hard
    // limit leaves no room above 1024, a quarter of the soft limit is kept below it. A process
    // beyond what is kept has its comm opened each time it is looked at, at four times the cost.
    static constexpr unsigned kMostKept = 4096;
    static constexpr rlim_t kSpare = 64;  // left above the kept ones for the rest of the program

    enum class Kind : char { kUnknown, kUser, kKernel };
    struct Process {
        ino_t inode = 0;
        off_t position = 0;  // where the listing has it
        uid_t owner = 0;
        bool ownerKnown = false;
        Kind kind = Kind::kUnknown;  // asked only of a process that counts
        unsigned interval = 1;       // searches from one look to the next
        unsigned due = 0;            // the search that looks next
        bool queued = false;         // in the queue of the searches (_due) at `due`
        unsigned listed = 0;         // the last search that read it in the whole listing
        bool young = false;          // started since the first search (else of any age)
        int commFile = -1;           // kept open
        std::string comm;            // as last read; empty before
        const Executable* executable = nullptr;  // what comm, and argv[0] if read, said then
    };

    bool Runs(UInt32 id) const {
        const auto name = EntryOf(id);
        const char* entry = name.data();
        const std::string stat = ReadProcFile(_proc, entry, "stat", 512);
        const std::size_t close = stat.rfind(')');
        const char state =
            close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 'X';
        return state != 'Z' && state != 'X';
    }

    // The last process id handed out, from /proc/loadavg ("0.08 0.03 0.01 1/123 4567"); -1 when
    // it cannot be read.
    long LastProcessId() {
        if (_loadavg < 0) _loadavg = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
        char text[128];
        const ssize_t got = _loadavg < 0 ? -1 : pread(_loadavg, text, sizeof text - 1, 0);
        if (got <= 0) return -1;
        text[got] = '\0';
        const char* last = std::strrchr(text, ' ');
        return last != nullptr ? std::strtol(last + 1, nullptr, 10) : -1;
    }

    // Reads the listing from `position` on, `room` bytes at a time, and records the processes
    // not known yet, until it has read past process `until` (or to its end).
    void List(off_t position, std::size_t room, UInt32 until) {
        if (lseek(_proc, position, SEEK_SET) < 0) return;
        alignas(dirent64) char buffer[32768];
        room = std::min(room, sizeof buffer);
        for (;;) {
            const ssize_t got = getdents64(_proc, buffer, room);
            if (got <= 0) return;
            for (ssize_t at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                at += entry->d_reclen;
                const off_t here = position;
                position = entry->d_off;
                const std::string_view name(entry->d_name);
                UInt32 id = 0;
                const auto [end, error] =
                    std::from_chars(name.data(), name.data() + name.size(), id);
                if (error != std::errc() || end != name.data() + name.size() || id == 0) continue;
                Process& process = _processes[id];
                if (process.inode != entry->d_ino) {
                    Forget(id, process);
                    process = Process{};
                    process.inode = entry->d_ino;
                    process.due = _search;
                    process.young = _search > 1;
                    Queue(id, process);
                }
                process.position = here;
                process.listed = _search;
                if (id > until) return;
            }
        }
    }

    // The whole listing; the processes it does not show have ended.
    void ListAll() {
        List(0, 32768, std::numeric_limits<UInt32>::max());
        for (auto entry = _processes.begin(); entry != _processes.end();) {
            if (entry->second.listed == _search) {
                ++entry;
                continue;
            }
            Forget(entry->first, entry->second);
            entry = _processes.erase(entry);
        }
    }

    // The processes started since the last search: those with ids up to `last` above the last one
    // handed out then. False when the listing has to be read whole.
    bool ListNew(long last) {
        if (last == _lastId) return true;
        auto below = _processes.upper_bound(static_cast<UInt32>(_lastId));
        if (below == _processes.begin()) return false;
        --below;
        // A few entries at a time: the kernel fills whatever room it is given.
        List(below->second.position, 1024, static_cast<UInt32>(last));
        return true;
    }

    // Looks at the process again: its owner where it did not count, and then, where it does, its
    // comm and what that says. False once it has ended.
    template <typename Counts>
    bool Look(UInt32 id, Process& process, const Counts& counts) {
        const int proc = _proc;
        const auto name = EntryOf(id);
        const char* entry = name.data();
        const bool first = !process.ownerKnown;
        bool changed = false;
        if (!process.ownerKnown || !counts(process.owner)) {
            struct stat owner {};
            if (fstatat(proc, entry, &owner, 0) != 0) return false;
            changed = !process.ownerKnown || owner.st_uid != process.owner;
            process.owner = owner.st_uid;
            process.ownerKnown = true;
        }
        if (!counts(process.owner)) {
            Close(process);
            Schedule(id, process, first, changed && !first, kOthersLooks);
            return true;
        }
        if (process.kind == Kind::kUnknown) {  // kernel threads are root's
            process.kind =
                process.owner == 0 && IsKernelThread(proc, entry) ? Kind::kKernel : Kind::kUser;
        }
        if (process.kind == Kind::kKernel) {  // never runs a program: never looked at again
            process.due = kNever;
            return true;
        }
        const std::string read = Comm(proc, entry, process);
        const std::string comm = read.substr(0, read.find('\n'));
        if (comm.empty()) return false;
        if (comm != process.comm) {
            changed = true;
            process.comm = comm;
            process.executable = ExecutableOf(comm, {});
            if (process.executable == nullptr && MayHideTheApplication(comm)) {
                const std::string cmdline = ReadProcFile(proc, entry, "cmdline", 4096);
                process.executable = ExecutableOf({}, std::string_view(cmdline.c_str()));
            }
        }
        Schedule(id, process, first, changed && !first, kOwnLooks);
        return true;
    }

    // Searches from one look at a process to the next: the fewest after a change, twice as many
    // after each look that found none, up to the most.
    struct Looks {
        unsigned fewest, most;
    };
    static constexpr Looks kOwnLooks{1, 256};     // up to two minutes of the window's ticks
    static constexpr Looks kOthersLooks{8, 256};  // 4 s to two minutes

    // The processes there were at the first search may have run for a long time: they are looked
    // at as the settled ones are, spread over the searches to come.
    void Schedule(UInt32 id, Process& process, bool first, bool changed, Looks looks) {
        if (first && !process.young && !changed) {
            process.interval = looks.most;
            process.due = _search + 1 + id % looks.most;
            return;
        }
        process.interval =
            first || changed ? looks.fewest : std::min(process.interval * 2, looks.most);
        process.due = _search + process.interval;
    }

    // How many descriptors may be kept, and from which number on; decided at the first.
    void PlanKeptDescriptors() {
        _keepFrom = 0;
        _mostKept = 0;
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
        const rlim_t wanted = FD_SETSIZE + kMostKept + kSpare;
        if (limit.rlim_cur < wanted && limit.rlim_cur < limit.rlim_max) {
            rlimit raised = limit;
            raised.rlim_cur = std::min(wanted, limit.rlim_max);
            if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
        }
        if (limit.rlim_cur > FD_SETSIZE + kSpare) {
            _keepFrom = FD_SETSIZE;
            _mostKept = static_cast<unsigned>(
                std::min<rlim_t>(kMostKept, limit.rlim_cur - FD_SETSIZE - kSpare));
        } else {
            _mostKept = static_cast<unsigned>(limit.rlim_cur / 4);
        }
    }

    // comm as the kernel gives it, with its newline; empty when the process has ended.
    std::string Comm(int proc, const char* entry, Process& process) {
        if (process.commFile < 0) {
            if (!_planned) {
                PlanKeptDescriptors();
                _planned = true;
            }
            if (_kept >= _mostKept) return ReadProcFile(proc, entry, "comm", 64);
            char path[32];
            std::snprintf(path, sizeof path, "%s/comm", entry);
            int file = openat(proc, path, O_RDONLY | O_CLOEXEC);
            if (file < 0) return {};
            if (_keepFrom > 0) {
                const int moved = fcntl(file, F_DUPFD_CLOEXEC, _keepFrom);
                close(file);
                if (moved < 0) return ReadProcFile(proc, entry, "comm", 64);
                file = moved;
            }
            process.commFile = file;
            ++_kept;
        }
        char text[64];
        const ssize_t got = pread(process.commFile, text, sizeof text, 0);
        if (got <= 0) {
            Close(process);
            return {};
        }
        return std::string(text, static_cast<std::size_t>(got));
    }

    void Close(Process& process) {
        if (process.commFile < 0) return;
        close(process.commFile);
        process.commFile = -1;
        --_kept;
    }

    // Puts the process in the queue of the searches at its due one, unless it is never due.
    void Queue(UInt32 id, Process& process) {
        process.queued = process.due != kNever;
        if (process.queued) _due.emplace(process.due, id);
    }

    // Takes the process out of the searches, before it is dropped or replaced.
    void Forget(UInt32 id, Process& process) {
        if (process.queued) _due.erase({process.due, id});
        process.queued = false;
        Close(process);
    }

    std::map<UInt32, Process> _processes;  // by id
    // Each process that will be looked at again, by the search due to and its id; those due
    // now are taken out while they are looked at.
    std::set<std::pair<unsigned, UInt32>> _due;
    std::vector<uid_t> _owners;  // of the last search
    OSType _signature = 0;       // of the last search
    int _proc = -1;              // the /proc directory, kept open
    int _loadavg = -1;
    long _lastId = -1;
    unsigned _search = 0;
    bool _planned = false;
    int _keepFrom = 0;  // the lowest number a kept descriptor may have
    unsigned _mostKept = 0;
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

std::vector<uid_t> ProcessOwners(std::optional<uid_t> seatUser) {
    std::vector<uid_t> users;
    if (seatUser) users.push_back(*seatUser);
    if (std::find(users.begin(), users.end(), getuid()) == users.end()) users.push_back(getuid());
    for (const char* variable : {"SUDO_UID", "PKEXEC_UID"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr) continue;
        const std::string_view text(value);
        uid_t user = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), user);
        if (error != std::errc() || end != text.data() + text.size() || text.empty() ||
            user == static_cast<uid_t>(-1)) {
            continue;
        }
        if (std::find(users.begin(), users.end(), user) == users.end()) users.push_back(user);
    }
    return users;
}

TProcess::TProcess(ProcessSerialNumber start)
    : fProcessID(start),
      fMyProcessID{0, static_cast<UInt32>(getpid())},
      fFirstPSN(kMyProcess),
      fFirstTime(true),
      fLast(false),
      fState(false),
      fError(noErr),
      fOwners(ProcessOwners()) {
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
    return Find(signature, false);
}

Boolean TProcess::FindProcessThoroughly(OSType signature) {
    return Find(signature, true);
}

Boolean TProcess::Find(OSType signature, bool thorough) {
    fApplicationName.clear();
    fProcessID = kMyProcess;
    static std::mutex mutex;
    static ProcessTable table;
    const std::lock_guard lock(mutex);
    const ProcessTable::Found found = table.Find(fOwners, signature, thorough);
    if (found.id == 0) return false;
    fProcessID = {0, found.id};
    fApplicationName = found.executable->application;
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
