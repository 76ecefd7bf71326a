// The process list against real processes: children started from copies of /bin/sleep named
// like the editing applications.
#include "Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "WaitForExec.h"

namespace {

namespace fs = std::filesystem;

const OSType kEditingApplication = FourCC("KeyG");

// Gives the tests the walk's internal state.
class ProbedProcess : public TProcess {
  public:
    using TProcess::TProcess;
    OSErr Error() const { return fError; }
    Boolean State() const { return fState; }
    void MoveTo(ProcessSerialNumber psn) { fProcessID = psn; }
};

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "process_test.XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);  // another user runs from it too
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& Path() const { return path_; }
    // A copy of /bin/sleep under the given name.
    fs::path Sleep(const std::string& name) const {
        const fs::path copy = path_ / name;
        fs::copy_file("/bin/sleep", copy);
        return copy;
    }

  private:
    fs::path path_;
};

// A process running `sleep 60` from the given file with the given argv[0] (or the given
// arguments, until /proc shows `running` as its argv[0]); killed and reaped when the test is done
// with it.
class Child {
  public:
    Child(const fs::path& file, const std::string& argv0) : Child(file, {argv0, "60"}, argv0) {}
    Child(const fs::path& file, std::vector<std::string> arguments, const std::string& running) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, file.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = 0;
        }
        if (pid_ != 0) {
            EXPECT_TRUE(WaitForExec(pid_, running));
        }
    }
    ~Child() {
        if (pid_ != 0) {
            kill(pid_, SIGKILL);
            Reap();
        }
    }
    pid_t pid() const { return pid_; }
    ProcessSerialNumber psn() const { return {0, static_cast<UInt32>(pid_)}; }
    int Reap() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
        return status;
    }
    // Waits until the child has ended but leaves it a zombie.
    void WaitUntilZombie() const {
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
    }

  private:
    pid_t pid_ = 0;
};

std::vector<UInt32> ProcEntries() {
    std::vector<UInt32> ids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos)
            ids.push_back(static_cast<UInt32>(std::stoul(name)));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

TEST(ProcessFind, RecognisesAnEditorRunningAndNoLongerOnceReaped) {
    TempDir dir;
    const fs::path editor = dir.Sleep("kdenlive");
    Child child(editor, editor.string());
    ASSERT_NE(child.pid(), 0);

    TProcess processes(kMyProcess);
    ASSERT_TRUE(processes.FindProcess(kEditingApplication));
    EXPECT_EQ(processes.GetProcessID(), child.psn());
    EXPECT_EQ(processes.GetProcessInfoRec().processSignature, kEditingApplication);

    kill(child.pid(), SIGKILL);
    child.Reap();
    EXPECT_FALSE(TProcess(kMyProcess).FindProcess(kEditingApplication));
}

// An editor is known by its comm, or by argv[0] where comm names a launcher.
TEST(ProcessFind, MatchesTheUsersEditorsByNameExactly) {
    TempDir dir;
    struct Case {
        const char* what;
        fs::path file;
        std::vector<std::string> arguments;
        std::string running;  // argv[0] once it runs
        bool found;
    };
    const fs::path kinoko = dir.Sleep("kinoko");
    const fs::path kdenlive = dir.Sleep("kdenlive");
    const Case cases[] = {
        {"comm names it, argv[0] does not", dir.Sleep("kino"), {"worker", "60"}, "worker", true},
        {"a launcher's argv[0] names it",
         dir.Sleep("python3"),
         {"/opt/shotcut/bin/shotcut", "60"},
         "/opt/shotcut/bin/shotcut",
         true},
        {"a shell that execs the editor",
         "/bin/sh",
         {"sh", "-c", "exec " + kdenlive.string() + " 60"},
         kdenlive.string(),
         true},
        {"argv[0] alone, under another comm",
         "/bin/sleep",
         {"/opt/shotcut/bin/shotcut", "60"},
         "/opt/shotcut/bin/shotcut",
         false},
        {"a longer name is not the editor",
         kinoko,
         {kinoko.string(), "60"},
         kinoko.string(),
         false},
        {"an editor's folder is not the editor",
         "/bin/sleep",
         {"/opt/kdenlive/worker", "60"},
         "/opt/kdenlive/worker",
         false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        Child child(test.file, test.arguments, test.running);
        ASSERT_NE(child.pid(), 0);
        TProcess processes(kMyProcess);
        EXPECT_EQ(processes.FindProcess(kEditingApplication), test.found);
        if (test.found) {
            EXPECT_EQ(processes.GetProcessID(), child.psn());
        }
    }
}

// The search remembers what it has seen of a process between ticks, and looks at a settled one
// less often: a process that execs an editor after it was seen is still found, on the next search
// when it was a launcher (a shell), within 256 searches otherwise.
TEST(ProcessFind, AProcessSeenBeforeItExecsAnEditorIsFoundAfter) {
    TempDir dir;
    const fs::path editor = dir.Sleep("kdenlive");
    const fs::path worker = dir.Path() / "worker";  // a shell under a name that is no launcher's
    fs::copy_file("/bin/sh", worker);
    const struct {
        fs::path shell;
        std::string argv0;
        bool thorough;  // the searches after the exec
        int searches;   // at most, to find the editor after the exec
    } cases[] = {{"/bin/sh", "sh", true, 1}, {worker, "worker", false, 256}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.argv0);
        const fs::path go = dir.Path() / ("go." + test.argv0);
        ASSERT_EQ(mkfifo(go.c_str(), 0600), 0);
        Child child(
            test.shell,
            {test.argv0, "-c", "read line < " + go.string() + "; exec " + editor.string() + " 60"},
            test.argv0);
        ASSERT_NE(child.pid(), 0);
        TProcess processes(kMyProcess);
        for (int search = 0; search < 200; ++search) {  // long enough to be settled
            ASSERT_FALSE(processes.FindProcess(kEditingApplication));
        }
        std::ofstream(go) << "go\n";
        ASSERT_TRUE(WaitForExec(child.pid(), editor.string()));
        const auto search = [&] {
            return test.thorough ? processes.FindProcessThoroughly(kEditingApplication)
                                 : processes.FindProcess(kEditingApplication);
        };
        int searches = 1;
        while (!search() && searches <= 256) ++searches;
        EXPECT_LE(searches, test.searches);
        EXPECT_EQ(processes.GetProcessID(), child.psn());
    }
}

// Whose editors count: the real user's, the user's who started the program through sudo or
// pkexec, and the user's at the device's seat, which the front ends add.
TEST(ProcessOwners, TheSeatUserTheInvokingUserAndTheRealUser) {
    const uid_t real = getuid();
    const struct {
        const char* sudo;
        const char* pkexec;
        std::optional<uid_t> seat;
        std::vector<uid_t> owners;
    } cases[] = {
        {nullptr, nullptr, std::nullopt, {real}},
        {"4243", nullptr, std::nullopt, {real, 4243}},
        {nullptr, "4244", 4245, {4245, real, 4244}},
        {"4243", "4243", real, {real, 4243}},
        {"", "-1", std::nullopt, {real}},
        {"43x", "4294967295", std::nullopt, {real}},  // not a number; (uid_t) -1, no user
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(testing::Message()
                     << (test.sudo ? test.sudo : "-") << " " << (test.pkexec ? test.pkexec : "-"));
        for (const auto& [name, value] :
             {std::pair{"SUDO_UID", test.sudo}, std::pair{"PKEXEC_UID", test.pkexec}}) {
            if (value != nullptr) {
                setenv(name, value, 1);
            } else {
                unsetenv(name);
            }
        }
        EXPECT_EQ(ProcessOwners(test.seat), test.owners);
        EXPECT_EQ(TProcess(kMyProcess).GetOwners(), ProcessOwners());
    }
    unsetenv("SUDO_UID");
    unsetenv("PKEXEC_UID");
}

// Another user's editor counts only when that user is among the owners; and a process the search
// has seen while its owner did not count is found as soon as it does.
TEST(ProcessFind, AnotherUsersEditorCountsOnlyForItsOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can start a process of another user";
    TempDir dir;
    const fs::path editor = dir.Sleep("kdenlive");
    Child child(
        "/usr/bin/setpriv",
        {"setpriv", "--reuid=4243", "--regid=4243", "--clear-groups", editor.string(), "60"},
        editor.string());
    ASSERT_NE(child.pid(), 0);
    TProcess processes(kMyProcess);
    const struct {
        std::vector<uid_t> owners;
        bool found;
    } cases[] = {{{getuid()}, false}, {{getuid(), 4243}, true}, {{4244}, false}, {{4243}, true}};
    for (const auto& test : cases) {
        processes.SetOwners(test.owners);
        EXPECT_EQ(processes.FindProcess(kEditingApplication), test.found) << test.owners.back();
    }
}

// The search keeps a descriptor open for each of the user's processes, within RLIMIT_NOFILE and
// above the descriptors select() can watch. Each case runs in a fresh copy of this program, whose
// searches have kept nothing yet, under the hard limit it is given (0: as it is).
TEST(ProcessFind, KeptDescriptorsStayWithinTheLimitAndAboveSelectsReach) {
    if (const char* given = std::getenv("PROCESS_TEST_HARD_NOFILE")) {
        const rlim_t hard = std::stoul(given);
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        if (hard != 0) limit = {hard, hard};
        if (hard == 0 && limit.rlim_max < FD_SETSIZE + 1000) GTEST_SKIP() << "no room above";
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        TempDir dir;
        const fs::path sleep = dir.Sleep("waiting");
        std::vector<std::unique_ptr<Child>> children;
        for (int i = 0; i < 500; ++i) children.push_back(std::make_unique<Child>(sleep, "waiting"));
        Child editor(dir.Sleep("kino"), "kino");
        TProcess processes(kMyProcess);
        ASSERT_TRUE(processes.FindProcess(kEditingApplication));
        EXPECT_EQ(processes.GetProcessID(), editor.psn());
        int low = 0, high = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            ++(std::stoi(entry.path().filename().string()) < FD_SETSIZE ? low : high);
        }
        if (hard == 0) {
            EXPECT_LT(low, 64);
            EXPECT_GT(high, 500);
        } else {
            EXPECT_LE(low + high, static_cast<int>(hard / 4 + 64));
        }
        const int spare = open("/dev/null", O_RDONLY | O_CLOEXEC);  // room for the program
        EXPECT_GE(spare, 0);
        return;
    }
    for (const char* hard : {"0", "400"}) {
        SCOPED_TRACE(hard);
        ChildProcess tester(
            {"/proc/self/exe", "--gtest_filter=ProcessFind.KeptDescriptorsStayWithinTheLimit*"},
            {{"PROCESS_TEST_HARD_NOFILE", hard}});
        EXPECT_EQ(tester.Wait(std::chrono::seconds(60)), 0);
    }
}

TEST(ProcessFind, AZombieIsNotRunning) {
    TempDir dir;
    const fs::path editor = dir.Sleep("dvgrab");
    Child child(editor, "dvgrab");
    ASSERT_TRUE(TProcess(kMyProcess).FindProcess(kEditingApplication));
    kill(child.pid(), SIGKILL);
    child.WaitUntilZombie();
    EXPECT_FALSE(TProcess(kMyProcess).FindProcess(kEditingApplication));
}

// On every search while it runs, also after searches for another application.
TEST(ProcessFind, TheLowerIdWinsOnEachSearchAndAnUnknownSignatureIsNotFound) {
    TempDir dir;
    const fs::path editor = dir.Sleep("shotcut");
    Child first(editor, "shotcut");
    Child second(editor, "shotcut");
    const ProcessSerialNumber lower{0, static_cast<UInt32>(std::min(first.pid(), second.pid()))};

    ProbedProcess processes(kMyProcess);
    const OSType unknown = FourCC("zzzz");
    int search = 0;
    for (const OSType signature :
         {kEditingApplication, kEditingApplication, kEditingApplication, unknown, unknown, unknown,
          kEditingApplication, kEditingApplication, kEditingApplication}) {
        SCOPED_TRACE(testing::Message() << "search " << ++search);
        const OSErr before = processes.Error();
        const bool known = signature == kEditingApplication;
        EXPECT_EQ(processes.FindProcess(signature), known);
        EXPECT_EQ(processes.GetProcessID(), known ? lower : kMyProcess);
        EXPECT_EQ(processes.Error(), before);  // FindProcess records no status
    }
}

TEST(ProcessWalk, AscendingIdsThenBackToTheStartForGood) {
    ProbedProcess processes(kMyProcess);
    ASSERT_TRUE(processes.State());
    const ProcessSerialNumber first = processes.GetProcessID();
    EXPECT_NE(first, kMyProcess);
    EXPECT_FALSE(processes.Last());

    std::vector<UInt32> seen{first.lowLongOfPSN};
    for (int step = 0; step < 100000 && !processes.Last(); ++step) {
        processes.Next();
        if (!processes.Last()) seen.push_back(processes.GetProcessID().lowLongOfPSN);
    }
    ASSERT_TRUE(processes.Last());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), processes.GetMyProcessID().lowLongOfPSN),
              seen.end());
    EXPECT_EQ(processes.GetProcessID(), first);
    EXPECT_EQ(processes.Error(), procNotFound);

    processes.Next();
    EXPECT_TRUE(processes.Last());
    EXPECT_GT(processes.GetProcessID().lowLongOfPSN, first.lowLongOfPSN);
    processes.First();
    EXPECT_EQ(processes.GetProcessID(), first);
}

TEST(ProcessWalk, StartsAfterTheGivenProcess) {
    const auto self = static_cast<UInt32>(getpid());
    ProbedProcess after_self({0, self});
    EXPECT_EQ(after_self.GetMyProcessID(), (ProcessSerialNumber{0, self}));
    if (after_self.State()) {
        EXPECT_GT(after_self.GetProcessID().lowLongOfPSN, self);
    }

    // No process id is that large: there is nowhere to start, and the walk has not ended.
    ProbedProcess past_end({0, INT_MAX});
    EXPECT_FALSE(past_end.State());
    EXPECT_EQ(past_end.GetProcessID(), kMyProcess);
    EXPECT_EQ(past_end.Error(), procNotFound);
    EXPECT_FALSE(past_end.Last());
}

TEST(ProcessWalk, CountingKeepsThePositionAndMatchesProc) {
    ProbedProcess processes(kMyProcess);
    processes.Next();
    processes.Next();
    const ProcessSerialNumber position = processes.GetProcessID();
    const OSErr error = processes.Error();
    // Other processes come and go; retry until /proc stood still around the count.
    bool compared = false;
    for (int attempt = 0; attempt < 20 && !compared; ++attempt) {
        const std::vector<UInt32> before = ProcEntries();
        const SInt16 count = processes.GetNumProcesses();
        if (before != ProcEntries()) continue;
        EXPECT_EQ(count, static_cast<SInt16>(before.size()));
        compared = true;
    }
    EXPECT_TRUE(compared);
    EXPECT_EQ(processes.GetProcessID(), position);
    EXPECT_EQ(processes.Error(), error);
}

TEST(ProcessInfo, ComesFromProcStat) {
    TempDir dir;
    ProbedProcess processes(kMyProcess);
    processes.MoveTo(processes.GetMyProcessID());
    const ProcessInfoRec self = processes.GetProcessInfoRec();
    EXPECT_EQ(processes.Error(), noErr);
    EXPECT_EQ(self.processNumber, processes.GetMyProcessID());
    EXPECT_EQ(self.processSignature, FourCC("????"));
    EXPECT_GT(processes.GetFreeMem(), 0u);
    // Bytes, not pages: within a factor of two of the kernel's own figure in kB.
    std::ifstream status("/proc/self/status");
    std::string line;
    UInt32 residentKiB = 0;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) residentKiB = std::stoul(line.substr(6));
    }
    EXPECT_GT(self.processSize, residentKiB * 1024 / 2);
    EXPECT_LT(self.processSize, residentKiB * 1024 * 2);

    std::ifstream uptime("/proc/uptime");
    double secondsSinceBoot = 0;
    uptime >> secondsSinceBoot;
    const auto now = static_cast<UInt32>(secondsSinceBoot * 60);
    EXPECT_LE(self.processLaunchDate, now);
    EXPECT_GT(self.processLaunchDate + 60 * 3600, now);  // this test started within the hour

    Child child(dir.Sleep("resolve"), "resolve");
    processes.MoveTo(child.psn());
    EXPECT_GE(processes.GetLaunchDate(), self.processLaunchDate);
    EXPECT_EQ(processes.GetProcessInfoRec().processSignature, kEditingApplication);

    kill(child.pid(), SIGKILL);
    child.Reap();
    processes.GetProcessInfoRec();
    EXPECT_EQ(processes.Error(), procNotFound);
}

TEST(ProcessKill, SendsSigtermOrReportsErrno) {
    TempDir dir;
    Child child(dir.Sleep("kdenlive"), "kdenlive");
    ProbedProcess processes(kMyProcess);

    ProcessSerialNumber notOurs{1, static_cast<UInt32>(child.pid())};
    EXPECT_FALSE(processes.KillApplication(&notOurs));
    EXPECT_EQ(processes.Error(), ESRCH);
    EXPECT_EQ(kill(child.pid(), 0), 0);  // still there

    ProcessSerialNumber target = child.psn();
    ASSERT_TRUE(processes.KillApplication(&target));
    EXPECT_EQ(processes.Error(), noErr);
    const int status = child.Reap();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);

    // The pid has just been reaped; nothing can have taken it over so soon.
    EXPECT_FALSE(processes.KillApplication(&target));
    EXPECT_EQ(processes.Error(), ESRCH);
}

TEST(ProcessKill, NoProcessIsNotOurProcessGroup) {
    // kill(0, ...) would reach every process of the caller's group, so try it in a group of its
    // own: if the guard failed, only that group would get the signal.
    const pid_t tester = fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        setpgid(0, 0);
        ProbedProcess processes(kMyProcess);
        ProcessSerialNumber none = kMyProcess;
        const bool sent = processes.KillApplication(&none);
        _exit(!sent && processes.Error() == ESRCH ? 0 : 1);
    }
    int status = 0;
    waitpid(tester, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "the tester was signalled";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
