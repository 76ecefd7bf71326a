// The recording's writer against what can go wrong where a recording goes: a reader that stalls,
// a size limit of its own, a file-size limit of the process, a full disk. A caller never waits,
// the file ends with a line that says it is incomplete, and the replay takes it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "RecordingFormat.h"
#include "RecordingWriter.h"
#include "ReplayStack.h"

namespace {

namespace fs = std::filesystem;
using recording::Json;
using recording::RecordingWriter;
using Clock = std::chrono::steady_clock;

// A line of about 300 bytes, as a block write makes.
std::string Line(int number) {
    Json entry;
    entry["call"] = "Close";
    entry["interface"] = number;
    entry["padding"] = std::string(260, 'x');
    return entry.dump();
}

struct Written {
    int accepted = 0;            // lines Write took
    std::int64_t slowestUs = 0;  // the longest a Write call took
    bool finished = false;       // Finish's result
    std::string problem;
};

Written WriteLines(RecordingWriter& writer, int count, std::chrono::milliseconds finish) {
    Written written;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        written.accepted += writer.Write(Line(i));
        written.slowestUs = std::max<std::int64_t>(
            written.slowestUs,
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    }
    written.finished = writer.Finish(finish);
    written.problem = writer.Problem();
    return written;
}

// Every line of `text` is a JSON object; the last one's fields.
Json LastEntry(const std::string& text) {
    std::istringstream in(text);
    Json last;
    for (std::string line; std::getline(in, line);) {
        last = Json::parse(line, nullptr, false);
        EXPECT_TRUE(last.is_object()) << "a line cut short: " << line.substr(0, 80);
    }
    EXPECT_EQ(text.back(), '\n');
    return last;
}

class RecordingWriterTest : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("recording_writer_test." + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

// Each way a recording stops: the file, where there is one, is whole up to a last line that says
// why; the caller learns it from Problem(). A caller that waited for the stalled pipe would never
// return; how long the slowest call took is printed.
TEST_F(RecordingWriterTest, ARecordingThatCannotGoOnStopsWithALineThatSaysSo) {
    enum class Where { kFile, kStalledPipe, kFull };
    const struct {
        const char* what;
        Where where;
        RecordingWriter::Limits limits;
        rlim_t fileSizeLimit;  // the process's, 0 for none
        const char* reason;    // a regular expression
    } cases[] = {
        {"its own limit reached",
         Where::kFile,
         {16u << 20, 100000},
         0,
         "the recording reached its limit of 97 KiB"},
        {"the process's file-size limit",
         Where::kFile,
         {},
         100000,
         "a write failed: File too large"},
        {"a reader that stalls",
         Where::kStalledPipe,
         {1u << 20, 0},
         0,
         // As much as the writer had not yet passed on when the queue was full: up to 1 MiB.
         "the recording fell behind the calls: (([0-9]+ KiB)|(1 MiB)) waited to be written"},
        {"a full disk", Where::kFull, {}, 0, "a write failed: No space left on device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path path = c.where == Where::kFull ? fs::path("/dev/full") : dir / "recording";
        fs::remove(path.string() == "/dev/full" ? dir / "none" : path);
        int reader = -1;
        if (c.where == Where::kStalledPipe) {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);  // and never reads
        }
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        if (c.fileSizeLimit != 0) {
            ::signal(SIGXFSZ, SIG_IGN);  // as both programs do at start
            rlimit limited = before;
            limited.rlim_cur = c.fileSizeLimit;
            ::setrlimit(RLIMIT_FSIZE, &limited);
        }
        std::string error;
        std::unique_ptr<RecordingWriter> writer = RecordingWriter::Open(path, c.limits, error);
        ASSERT_NE(writer, nullptr) << error;
        // 10,000 lines of 300 bytes: 3 MB, more than any limit here.
        const Written written = WriteLines(*writer, 10000, std::chrono::milliseconds(300));
        writer.reset();
        ::setrlimit(RLIMIT_FSIZE, &before);
        ::signal(SIGXFSZ, SIG_DFL);
        if (reader >= 0) ::close(reader);

        EXPECT_FALSE(written.finished);
        const std::regex reason(c.reason);
        EXPECT_TRUE(std::regex_match(written.problem, reason)) << written.problem;
        EXPECT_LT(written.accepted, 10000);
        std::printf("%s: %d lines taken, the slowest call %lld us\n", c.what, written.accepted,
                    static_cast<long long>(written.slowestUs));
        if (c.where != Where::kFile) continue;  // a pipe or a device keeps nothing to read back
        const std::string text = ReadFile(path);
        EXPECT_LE(text.size(), 100000u);
        const Json last = LastEntry(text);
        EXPECT_EQ(last.value("event", ""), "Incomplete");
        EXPECT_TRUE(std::regex_match(last.value("reason", ""), reason)) << last.dump();
    }
}

// The file is made for its owner alone, never through a symbolic link, under the very bytes of
// its name; an existing file is emptied and made its owner's alone.
TEST_F(RecordingWriterTest, TheFileIsOpenedSafely) {
    const fs::path victim = dir / "victim";
    std::ofstream(victim) << "keep me\n";
    fs::create_symlink(victim, dir / "link");
    std::string error;
    EXPECT_EQ(RecordingWriter::Open(dir / "link", {}, error), nullptr);
    EXPECT_EQ(error, "it is a symbolic link, which a recording does not follow");
    EXPECT_EQ(ReadFile(victim), "keep me\n");

    EXPECT_EQ(RecordingWriter::Open(dir / "no-folder" / "x", {}, error), nullptr);
    EXPECT_EQ(error, "No such file or directory");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(RecordingWriter::Open(dir / "pipe", {}, error), nullptr);  // nobody reads it
    EXPECT_EQ(error, "nothing reads from the pipe");

    const std::string latin1 = (dir / "caf\xe9.jsonl").string();  // not UTF-8
    ::chmod(victim.c_str(), 0644);
    for (const std::string& path : {latin1, victim.string()}) {
        SCOPED_TRACE(path);
        {
            auto writer = RecordingWriter::Open(path, {}, error);
            ASSERT_NE(writer, nullptr) << error;
            writer->Write("{}");
        }
        struct stat file {};
        ASSERT_EQ(::stat(path.c_str(), &file), 0);
        EXPECT_EQ(file.st_mode & 0777, 0600u);
        EXPECT_EQ(ReadFile(path), "{}\n");
    }
}

// A recording that says it is incomplete loads; a call past its end says so.
TEST(ReplayOfAnIncompleteRecordingTest, LoadsAndSaysWhyItEnds) {
    std::istringstream in(
        R"({"format":"orlo-firewire-recording","version":1})"
        "\n"
        R"({"call":"CreatePlugIn","unit":1,"status":0,"plugIn":1})"
        "\n"
        R"({"event":"Incomplete","reason":"a write failed: File too large","t":2})"
        "\n");
    recording::ReplayStack replay(in);
    ASSERT_TRUE(replay.Loaded()) << replay.LoadError();
    EXPECT_EQ(replay.Incomplete(), "a write failed: File too large");
    std::unique_ptr<fw::PlugIn> plugIn;
    ASSERT_EQ(replay.CreatePlugIn({&replay, 1}, plugIn), kIOReturnSuccess);
    EXPECT_TRUE(replay.Finished());
    testing::internal::CaptureStderr();
    EXPECT_NE(replay.CreatePlugIn({&replay, 1}, plugIn), kIOReturnSuccess);
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(replay.FirstMismatch().has_value());
    EXPECT_EQ(replay.FirstMismatch()->expected,
              "the end of the recording, which is incomplete (a write failed: File too large)");
}

}  // namespace
