// orlo-firmware-update from outside, as a script or a person runs it, over its simulated Orlo:
// commands, --json parsed back, exit statuses, progress, the editing application's refusal and
// quit signals during an update. Over the Linux stack it is tested in tests/linux-firewire.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Commands.h"
#include "Downloader.h"
#include "PrivateLogind.h"
#include "ReplayStack.h"
#include "SimulatedBus.h"
#include "WaitForExec.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct ProgramRun {
    int status = -1;
    std::string out, err;
};

class CliTest : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("cli_test." + std::to_string(::getpid()));
        fs::create_directories(dir);
        files.out = (dir / "out").string();
        files.err = (dir / "err").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    // Starts the program with `arguments`, without a terminal, and without logind unless `env`
    // names a system bus; through a shell that runs `shell` first (ulimit, redirections), if
    // given; `runAs` is a command that runs it (setpriv, say).
    void Start(std::vector<std::string> arguments, const std::string& shell = {},
               std::map<std::string, std::string> env = {},
               const std::vector<std::string>& runAs = {}) {
        arguments.insert(arguments.begin(), CLI_PROGRAM);
        if (!shell.empty()) {
            arguments.insert(arguments.begin(), {"sh", "-c", shell + " exec \"$0\" \"$@\""});
        }
        arguments.insert(arguments.begin(), runAs.begin(), runAs.end());
        env.emplace("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
        env.emplace("LANGUAGE", "en");  // the tests read English
        child.emplace(arguments, env, files);
    }
    ProgramRun Finish() {
        ProgramRun run;
        const std::optional<int> status = child->Wait(seconds(60));
        run.status = status.value_or(-1);
        run.out = ReadFile(files.out);
        run.err = ReadFile(files.err);
        return run;
    }
    ProgramRun Command(const std::vector<std::string>& arguments, const std::string& shell = {},
                       const std::map<std::string, std::string>& env = {},
                       const std::vector<std::string>& runAs = {}) {
        Start(arguments, shell, env, runAs);
        return Finish();
    }

    fs::path dir;
    ChildFiles files;
    std::optional<ChildProcess> child;
};

// The one JSON document standard output must hold.
QJsonObject Document(const std::string& out) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(out), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line: " << out;
    return document.object();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

TEST_F(CliTest, UsageHelpAndVersion) {
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string says;  // on standard output for 0, standard error otherwise
    } cases[] = {
        {{"--help"}, 0, "list    every Orlo found"},
        {{"--version"}, 0, "orlo-firmware-update 1.3\n"},
        {{}, 2, "Give one command."},
        {{"info", "update"}, 2, "Give one command."},
        {{"flash"}, 2, "Unknown command: flash"},
        {{"--yes", "update"}, 2, "Unknown option 'yes'"},
        {{"--all", "info"}, 2, "--all and --reinstall are for update."},
        {{"--device", "/dev/fw1", "--all", "update"}, 2, "--device is for info and update"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const ProgramRun run = Command(c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE((c.status == 0 ? run.out : run.err).find(c.says), std::string::npos)
            << run.out << run.err;
    }
}

TEST_F(CliTest, ListAndInfoOfTheSimulatedOrlo) {
    ProgramRun run = Command({"--simulate", "list"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "simulated unit 1  GUID 0x0a4f52fffe000001  firmware 1-2  serial DEMO0001\n");

    run = Command({"--simulate", "--json", "list"});
    EXPECT_EQ(run.status, 0);
    const QJsonArray units = Document(run.out)["units"].toArray();
    ASSERT_EQ(units.size(), 1);
    EXPECT_EQ(units[0].toObject()["node"].toString(), "simulated unit 1");
    EXPECT_EQ(units[0].toObject()["guid"].toString(), "0x0a4f52fffe000001");

    run = Command({"--simulate", "info"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "Orlo:             simulated unit 1\nGUID:             0x0a4f52fffe000001\n"
              "Firmware version: 1-2\nSerial number:    DEMO0001\n"
              "This program:     1-3 (an upgrade)\n");
    EXPECT_EQ(run.err, "");  // the diagnostic lines are for --verbose

    run = Command({"--simulate", "--json", "info"});
    EXPECT_EQ(run.status, 0);
    const QJsonObject info = Document(run.out);
    EXPECT_TRUE(info["found"].toBool());
    EXPECT_EQ(info["firmware"].toString(), "1-2");
    EXPECT_EQ(info["serial"].toString(), "DEMO0001");
    EXPECT_EQ(info["embedded"].toString(), "1-3");
    EXPECT_EQ(info["action"].toString(), "upgrade");
    EXPECT_FALSE(info["downgrade"].toBool());

    run = Command({"--simulate", "--verbose", "info"});
    EXPECT_NE(run.err.find("Open Orlo\n"), std::string::npos);
    EXPECT_EQ(run.out.find("Open Orlo"), std::string::npos);
}

// With --json: one document on standard output, progress and messages as JSON lines on standard
// error.
TEST_F(CliTest, UpdateWithJsonProgress) {
    const ProgramRun run = Command({"--simulate", "--json", "update"});
    EXPECT_EQ(run.status, 0);
    const QJsonObject result = Document(run.out);
    EXPECT_EQ(result["result"].toString(), "succeeded");
    EXPECT_EQ(result["status"].toInt(), 0);

    std::vector<std::string> stages;
    int last = -1;
    std::vector<std::string> messages;
    for (const std::string& line : Lines(run.err)) {
        const QJsonObject progress = Document(line + "\n");  // JSON lines only
        if (progress.contains("message")) {
            messages.push_back(progress["message"].toString().toStdString());
            continue;
        }
        const std::string stage =
            (progress["stage"].toString() + " " + progress["part"].toString()).toStdString();
        if (stages.empty() || stages.back() != stage) stages.push_back(stage);
        const int percent = progress["percent"].toInt();
        if (stage.rfind("writing", 0) == 0) {
            EXPECT_GE(percent, last);
        }
        last = percent;
    }
    const std::vector<std::string> expected = {"preparing fpga", "erasing fpga", "writing fpga",
                                               "erasing mcore", "writing mcore"};
    std::vector<std::string> seen;
    for (const std::string& stage : stages)
        if (stage != "preparing mcore") seen.push_back(stage);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(last, 100);
    // Without logind, and without RealtimeKit (said once, whatever --verbose says).
    ASSERT_EQ(messages.size(), 2u) << run.err;
    EXPECT_EQ(messages[0].rfind("Nothing prevents a suspend or shutdown during the update: ", 0),
              0u);
    EXPECT_EQ(messages[1].rfind("No real-time scheduling for the update (", 0), 0u);
}

// Without a terminal: a line per stage and per 10 %, then the result, which a script can read.
TEST_F(CliTest, UpdateQuitSignalsWaitForItsEnd) {
    Start({"--simulate", "update"});
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(files.out).find("Writing the FPGA image") != std::string::npos; }));
    const std::string deferred = "Quitting once the update has ended.\n";
    const auto answered = [&](int times) { return Count(ReadFile(files.err), deferred) == times; };
    child->Signal(SIGINT);
    ASSERT_TRUE(WaitFor([&] { return answered(1); }));
    child->Signal(SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return answered(2); }));
    // Nor does Ctrl-Z, or a background read or write on a terminal, stop it.
    for (const int signal : {SIGTSTP, SIGTTIN, SIGTTOU}) {
        SCOPED_TRACE(strsignal(signal));
        child->Signal(signal);
        std::this_thread::sleep_for(milliseconds{100});
        EXPECT_NE(child->State(), 'T');
        child->Signal(SIGCONT);
    }
    const ProgramRun run = Finish();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Count(run.err, "The update cannot be paused: it goes on.\n"), 1) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Preparing the Orlo: 0 %");
    EXPECT_EQ(lines.back(),
              "Programming Complete. Cycle the power of the Orlo for the new firmware to take "
              "effect.");
    EXPECT_NE(run.out.find("Erasing the M-CORE image: 80 %\n"), std::string::npos);
}

// --record writes the session, and the session replays through the same command.
TEST_F(CliTest, RecordsASessionThatReplays) {
    const std::string file = (dir / "session.jsonl").string();
    const ProgramRun recorded = Command({"--simulate", "--json", "--record", file, "info"});
    ASSERT_EQ(recorded.status, 0);
    recording::ReplayStack replay(file);
    ASSERT_TRUE(replay.Loaded()) << replay.LoadError();
    FILE* out = std::tmpfile();
    cli::Console console;
    console.out = out;
    cli::Options options;
    options.json = true;
    testing::internal::CaptureStdout();  // the controller's diagnostic lines
    testing::internal::CaptureStderr();
    const int status = cli::Info(replay, options, console);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    std::rewind(out);
    char replayed[1024] = {};
    const size_t read = std::fread(replayed, 1, sizeof replayed - 1, out);
    std::fclose(out);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(replayed, read), recorded.out);
    EXPECT_TRUE(replay.Finished());
    EXPECT_FALSE(replay.Failed());
}

// The recording's file is opened safely, and one that cannot be opened is said so, as a JSON
// document with --json. The program's own messages never land in it, even when started with its
// standard output and error closed.
TEST_F(CliTest, TheRecordingIsOpenedSafely) {
    const std::string victim = (dir / "victim").string();
    std::ofstream(victim) << "keep me\n";
    fs::create_symlink(victim, dir / "link");
    const std::string latin1 = (dir / "caf\xe9.jsonl").string();  // not UTF-8
    const std::string plain = (dir / "plain.jsonl").string();
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        const char* shell;
        int status;
        std::string error;  // on standard error, or with --json as the document's message
    } cases[] = {
        {"no such folder",
         {"--record", "/nonexistent/r.jsonl", "info"},
         "",
         2,
         "Cannot write the recording /nonexistent/r.jsonl: No such file or directory\n"},
        {"no such folder, JSON",
         {"--json", "--record", "/nonexistent/r.jsonl", "info"},
         "",
         2,
         "Cannot write the recording /nonexistent/r.jsonl: No such file or directory"},
        {"a symbolic link",
         {"--record", (dir / "link").string(), "info"},
         "",
         2,
         "Cannot write the recording " + (dir / "link").string() +
             ": it is a symbolic link, which a recording does not follow\n"},
        {"a name that is no UTF-8", {"--record=" + latin1, "info"}, "", 0, ""},
        {"output and errors closed", {"--verbose", "--record", plain, "info"}, ">&- 2>&-", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> arguments{"--simulate"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const ProgramRun run = Command(arguments, c.shell);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.arguments.front() == "--json") {
            EXPECT_EQ(Document(run.out)["error"].toObject()["message"].toString().toStdString(),
                      c.error);
            EXPECT_EQ(run.err, "");
        } else if (c.status != 0) {
            EXPECT_EQ(run.err, c.error);
        }
    }
    EXPECT_EQ(ReadFile(victim), "keep me\n");
    for (const std::string& file : {latin1, plain}) {
        SCOPED_TRACE(file);
        struct stat made {};
        ASSERT_EQ(::stat(file.c_str(), &made), 0);
        EXPECT_EQ(made.st_mode & 0777, 0600u);
        recording::ReplayStack replay(file);
        EXPECT_TRUE(replay.Loaded()) << replay.LoadError();
    }
}

// A file-size limit (ulimit -f) stops the recording, not the update: the update ends as it
// would, the recording ends with a line that says it is incomplete and replays to there, and
// the program says so at the end. With --json, standard error holds JSON lines only.
TEST_F(CliTest, AFileSizeLimitStopsTheRecordingNotTheUpdate) {
    const std::string file = (dir / "session.jsonl").string();
    const ProgramRun run =
        Command({"--simulate", "--json", "--record", file, "update"}, "ulimit -f 200;");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Document(run.out)["result"].toString(), "succeeded");
    std::vector<std::string> messages;
    for (const std::string& line : Lines(run.err)) {
        const QJsonObject entry = Document(line + "\n");
        if (entry.contains("message"))
            messages.push_back(entry["message"].toString().toStdString());
    }
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(),
              "The recording " + file + " is incomplete: a write failed: File too large");
    EXPECT_LE(fs::file_size(file), 200u * 512);  // the shell's ulimit counts 512-byte blocks
    recording::ReplayStack replay(file);
    ASSERT_TRUE(replay.Loaded()) << replay.LoadError();
    EXPECT_EQ(replay.Incomplete(), "a write failed: File too large");
}

TEST_F(CliTest, ARunningEditingApplicationRefusesTheUpdate) {
    const fs::path editor = dir / "kdenlive";
    fs::copy_file("/bin/sleep", editor);
    ChildProcess kdenlive({editor.string(), "60"});
    ASSERT_TRUE(WaitForExec(kdenlive.pid(), editor.string()));

    ProgramRun run = Command({"--simulate", "update"});
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("Kdenlive is running: quit it before updating"), std::string::npos);

    run = Command({"--simulate", "--json", "info"});
    EXPECT_EQ(run.status, 0);
    const QJsonObject info = Document(run.out);
    EXPECT_EQ(info["action"].toString(), "refused");
    EXPECT_TRUE(info["editorRunning"].toBool());

    run = Command({"--simulate", "--json", "update"});
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(Document(run.out)["error"].toObject()["code"].toInt(), 5);
}

// The commands in this process, over a simulated bus with two Orlos: the first at 1-2 (an
// upgrade), the second at 1-3 (current). The pauses of an update cost nothing.
class TwoOrlosTest : public testing::Test {
  protected:
    TwoOrlosTest() {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent", 1);  // no logind, no rtkit
        SetDownloadPause([](UInt32) {});
        bus.Model(first).serialNumber = {'O', 'R', 'L', 'O', '0', '0', '0', '1'};
        bus.Model(second).serialNumber = {'O', 'R', 'L', 'O', '0', '0', '0', '2'};
        bus.Model(second).softwareVersion = 0x00010003;
    }
    ~TwoOrlosTest() override { SetDownloadPause(nullptr); }

    ProgramRun Run(int (*command)(fw::FireWireStack&, const cli::Options&, const cli::Console&),
                   const cli::Options& options) {
        cli::Console console;
        console.out = std::tmpfile();
        console.err = std::tmpfile();
        testing::internal::CaptureStdout();  // the controller's diagnostic lines
        testing::internal::CaptureStderr();
        ProgramRun run;
        run.status = command(bus, options, console);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        for (auto [file, text] : {std::pair{console.out, &run.out}, {console.err, &run.err}}) {
            std::rewind(file);
            for (int c; (c = std::fgetc(file)) != EOF;) text->push_back(static_cast<char>(c));
            std::fclose(file);
        }
        return run;
    }
    // Block and quadlet writes that reached `unit`.
    unsigned Writes(UInt32 unit) {
        unsigned writes = 0;
        for (const sim::Transaction& entry : bus.Log()) {
            writes += entry.unit == unit && (entry.kind == sim::Transaction::Kind::kWrite ||
                                             entry.kind == sim::Transaction::Kind::kWriteQuadlet);
        }
        return writes;
    }

    sim::SimulatedBus bus;
    const UInt32 first = bus.AddUnit();
    const UInt32 second = bus.AddUnit();
};

TEST_F(TwoOrlosTest, ListShowsEachAndUpdateDoesNotGuessWhich) {
    cli::Options options;
    ProgramRun run = Run(cli::List, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "simulated unit 1  GUID 0x0a4f52fffe000001  firmware 1-2  serial ORLO0001\n"
              "simulated unit 2  GUID 0x0a4f52fffe000002  firmware 1-3  serial ORLO0002\n");

    run = Run(cli::Update, options);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err,
              "2 Orlos are connected: give --device with the node, GUID or serial number of the "
              "one to update, or --all to update each.\n" +
                  Run(cli::List, options).out);
    options.json = true;
    run = Run(cli::Update, options);
    EXPECT_EQ(run.status, 2);
    const QJsonArray units = Document(run.out)["error"].toObject()["units"].toArray();
    ASSERT_EQ(units.size(), 2);
    EXPECT_EQ(units[1].toObject()["serial"].toString(), "ORLO0002");
    EXPECT_EQ(Writes(first) + Writes(second), 0u);

    // info shows the first, and says there are more.
    run = Run(cli::Info, options);
    EXPECT_EQ(Document(run.out)["serial"].toString(), "ORLO0001");
    EXPECT_EQ(Document(run.out)["units"].toInt(), 2);
    options.device = "ORLO0002";
    EXPECT_EQ(Document(Run(cli::Info, options).out)["action"].toString(), "current");
}

// Which Orlo each update writes, and what it reports.
TEST_F(TwoOrlosTest, DeviceAllAndReinstallWriteTheOrlosTheyName) {
    const struct {
        const char* what;
        std::vector<const char*> options;  // --device VALUE, --all, --reinstall
        int status;
        bool firstWritten, secondWritten;
        std::vector<const char*> results;  // as --json reports them
    } cases[] = {
        {"the first by GUID", {"--device", "0x0a4f52fffe000001"}, 0, true, false, {"succeeded"}},
        {"the first by node", {"--device", "simulated unit 1"}, 0, true, false, {"succeeded"}},
        {"the current one by serial", {"--device", "ORLO0002"}, 0, false, false, {"current"}},
        {"the current one again", {"--device", "orlo0002", "--reinstall"}, 3, false, false, {}},
        {"it, reinstalled", {"--device", "ORLO0002", "--reinstall"}, 0, false, true, {"succeeded"}},
        {"each", {"--all"}, 0, true, false, {"succeeded", "current"}},
        {"each, reinstalled", {"--all", "--reinstall"}, 0, true, true, {"succeeded", "succeeded"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cli::Options options;
        options.json = true;
        for (std::size_t i = 0; i < c.options.size(); ++i) {
            const std::string option = c.options[i];
            if (option == "--device") options.device = c.options[++i];
            options.all = options.all || option == "--all";
            options.reinstall = options.reinstall || option == "--reinstall";
        }
        bus.ClearLog();
        const ProgramRun run = Run(cli::Update, options);
        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_EQ(Writes(first) > 0, c.firstWritten);
        EXPECT_EQ(Writes(second) > 0, c.secondWritten);
        const QJsonObject document = Document(run.out);
        QJsonArray results = document["results"].toArray();
        if (!options.all && document.contains("result")) results = {document};
        ASSERT_EQ(static_cast<std::size_t>(results.size()), c.results.size());
        for (std::size_t i = 0; i < c.results.size(); ++i) {
            EXPECT_EQ(results[i].toObject()["result"].toString(), c.results[i]);
        }
    }
}

// --all goes through every Orlo and exits with the worst status: a refused downgrade here.
TEST_F(TwoOrlosTest, AllReportsEachOrloAndExitsWithTheWorstStatus) {
    bus.Model(first).softwareVersion = 0x00020000;
    cli::Options options;
    options.all = true;
    const ProgramRun run = Run(cli::Update, options);
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(Writes(first) + Writes(second), 0u);
    EXPECT_NE(run.err.find("This is a downgrade (the Orlo has 2-0"), std::string::npos) << run.err;
    EXPECT_NE(
        run.out.find("Orlo simulated unit 2 (GUID 0x0a4f52fffe000002, serial number ORLO0002, "
                     "firmware 1-3):\nThe Orlo has firmware 1-3 already: nothing was sent."),
        std::string::npos)
        << run.out;
}

// The first Orlo leaves the bus, or another takes its place, once update has identified it:
// nothing reaches either Orlo, and the update says the Orlo changed.
TEST_F(TwoOrlosTest, AnOrloThatChangesAfterIdentificationGetsNothing) {
    for (const bool swap : {false, true}) {
        SCOPED_TRACE(swap ? "swapped" : "gone");
        bool changed = false;
        // Identification's last call on the first Orlo's node: its device closed.
        bus.SetObserver([&](const sim::Transaction& entry) {
            if (changed || entry.kind != sim::Transaction::Kind::kClose || entry.unit != first)
                return;
            changed = true;
            swap ? bus.SwapUnit(first, 0x0011223344556677) : bus.SetPresent(first, false);
        });
        bus.ClearLog();
        cli::Options options;
        options.json = true;
        options.device = "ORLO0001";
        const ProgramRun run = Run(cli::Update, options);
        bus.SetObserver(nullptr);
        EXPECT_TRUE(changed);
        EXPECT_EQ(run.status, 3);
        EXPECT_EQ(Document(run.out)["result"].toString(), "changed");
        EXPECT_EQ(Writes(first) + Writes(second), 0u);
        bus.SetPresent(first, true);
    }
}

// Run as root (sudo, pkexec) or from another account, as a configuration tool runs it, the program
// counts the editors of the user at the Orlo's seat (logind), of the user who invoked it and of
// its real user.
TEST_F(CliTest, TheEditorOfTheUserAtTheSeatRefusesTheUpdateWhoeverRunsIt) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can run processes as other users";
    static int argc = 1;
    static char name[] = "cli_test";
    static char* argv[] = {name, nullptr};
    const QCoreApplication application(argc, argv);  // for the test's own D-Bus connection
    PrivateLogind logind("cli_test");
    if (!logind.Up()) GTEST_SKIP() << "no dbus-daemon or python3-dbusmock";
    ASSERT_TRUE(logind.AddSession("c1", "seat0", 4243));
    fs::permissions(dir, fs::perms::others_exec, fs::perm_options::add);
    const fs::path editor = dir / "kdenlive";
    fs::copy_file("/bin/sleep", editor);
    ChildProcess kdenlive(
        {"setpriv", "--reuid=4243", "--regid=4243", "--clear-groups", editor.string(), "60"});
    ASSERT_TRUE(WaitForExec(kdenlive.pid(), editor.string()));

    const std::map<std::string, std::string> withLogind{
        {"DBUS_SYSTEM_BUS_ADDRESS", logind.address()}};
    // An account the bus knows (it refuses a user without one, as the system bus does).
    const std::vector<std::string> asAnotherAccount{"setpriv", "--reuid=65534", "--regid=65534",
                                                    "--clear-groups"};
    const struct {
        const char* what;
        std::map<std::string, std::string> env;
        std::vector<std::string> runAs;
        const char* action;
    } cases[] = {
        {"root, the editor's user at the seat", withLogind, {}, "refused"},
        {"another account, the editor's user at the seat", withLogind, asAnotherAccount, "refused"},
        {"root, no logind", {}, {}, "upgrade"},
        {"sudo by the editor's user, no logind", {{"SUDO_UID", "4243"}}, {}, "refused"},
        {"pkexec by the editor's user, no logind", {{"PKEXEC_UID", "4243"}}, {}, "refused"},
        {"sudo by another user, no logind", {{"SUDO_UID", "4244"}}, {}, "upgrade"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        const ProgramRun run = Command({"--simulate", "--json", "info"}, {}, test.env, test.runAs);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Document(run.out)["action"].toString().toStdString(), test.action);
    }
    EXPECT_EQ(Command({"--simulate", "update"}, {}, withLogind, asAnotherAccount).status, 5);

    ASSERT_TRUE(logind.AddSession("c2", "seat0", 4245));  // someone else takes the seat
    EXPECT_EQ(Document(Command({"--simulate", "--json", "info"}, {}, withLogind).out)["action"],
              "upgrade");
}

}  // namespace
