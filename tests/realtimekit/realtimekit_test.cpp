// The request for real-time scheduling: against a RealtimeKit of python-dbusmock's on a private
// system bus, and, where the test may (root), set directly and overrun.
#include "RealtimeKit.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "PrivateBus.h"

namespace {

namespace fs = std::filesystem;

// What a thread saw of its own request.
struct Request {
    bool granted = false;
    std::string error;
    pid_t thread = 0;
    int policy = -1;
};

// The request made on a thread of its own, as the update's thread makes it.
Request RequestOnAThread(realtimekit::Means means) {
    Request request;
    std::thread([&] {
        request.granted = realtimekit::MakeThisThreadRealtime(means, request.error);
        request.thread = gettid();
        request.policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    }).join();
    return request;
}

rlimit RunTimeLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_RTTIME, &limit);
    return limit;
}

class RealtimeKitTest : public ::testing::Test {
  protected:
    // One bus for the whole program: Qt connects to the system bus once, at its first use.
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "realtimekit_test";
        static char* argv[] = {name, nullptr};
        application_ = new QCoreApplication(argc, argv);
        bus_ = new PrivateBus("realtimekit_test");
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_->address().c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete bus_;
        delete application_;
    }
    void SetUp() override {
        if (!bus_->Up()) GTEST_SKIP() << "no dbus-daemon";
    }

    // Starts the mock daemon with `parameters` (JSON); its log records the requests.
    bool StartKit(const std::string& parameters) {
        return bus_->StartMock(
            {"--template", MOCK_TEMPLATE, "--logfile", log_.string(), "--parameters", parameters},
            QStringLiteral("org.freedesktop.RealtimeKit1"));
    }
    // The requests the daemon received, one "pid tid priority" line each.
    std::string Requests() const {
        std::istringstream log(ReadFile(log_.string()));
        std::string requests, line;
        const std::string method = " MakeThreadRealtimeWithPID ";
        while (std::getline(log, line)) {
            const std::size_t at = line.find(method);
            if (at == std::string::npos) continue;
            std::istringstream arguments(line.substr(at + method.size()));
            std::string pid, tid, priority;
            arguments >> pid >> tid >> priority;
            if (pid == "raised:") continue;  // the answer to a request, logged after it
            requests += pid + " " + tid + " " + priority + "\n";
        }
        return requests;
    }

    static QCoreApplication* application_;
    static PrivateBus* bus_;
    fs::path log_ =
        fs::temp_directory_path() / ("realtimekit_test." + std::to_string(getpid()) + ".log");

    ~RealtimeKitTest() override { fs::remove(log_); }
};

QCoreApplication* RealtimeKitTest::application_ = nullptr;
PrivateBus* RealtimeKitTest::bus_ = nullptr;

TEST_F(RealtimeKitTest, AsksForTheCallingThreadWithinTheDaemonsLimits) {
    struct Case {
        const char* what;
        std::string parameters;
        bool granted;
        std::string error;  // a part of it
        bool asked;         // whether the request reached the daemon
    };
    const Case cases[] = {
        {"granted", R"({"RTTimeUSecMax": 150000})", true, "", true},
        {"refused by the daemon's policy", R"({"refuse": true})", false, "RealtimeKit refused",
         true},
        {"no real-time priority to give", R"({"MaxRealtimePriority": 0})", false,
         "grants no real-time priority", false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        fs::remove(log_);
        ASSERT_TRUE(StartKit(test.parameters)) << "python3-dbusmock missing?";
        const Request request = RequestOnAThread(realtimekit::Means::kRealtimeKit);
        EXPECT_EQ(request.granted, test.granted) << request.error;
        EXPECT_NE(request.error.find(test.error), std::string::npos) << request.error;
        // The daemon sets the scheduling itself; the thread never sets it on its own.
        EXPECT_EQ(request.policy, SCHED_OTHER);
        EXPECT_EQ(Requests(), test.asked ? std::to_string(getpid()) + " " +
                                               std::to_string(request.thread) + " " +
                                               std::to_string(realtimekit::kPriority) + "\n"
                                         : "");
        if (test.asked) {
            // The daemon's condition, and room for SIGXCPU before the kernel's SIGKILL.
            const rlimit limit = RunTimeLimit();
            EXPECT_LE(limit.rlim_max, 150000u);
            EXPECT_EQ(limit.rlim_cur, limit.rlim_max / 2);
        }
    }
}

TEST_F(RealtimeKitTest, WithoutTheDaemonTheUpdateSaysSoOnceAndGoesOn) {
    bus_->StopMock();
    const Request request = RequestOnAThread(realtimekit::Means::kRealtimeKit);
    EXPECT_FALSE(request.granted);
    EXPECT_NE(request.error.find("RealtimeKit did not answer"), std::string::npos) << request.error;

    std::string said;
    for (int run = 0; run < 2; ++run) {
        std::thread([&] { said += realtimekit::RequestForThisThread(); }).join();
    }
    const std::string message = "No real-time scheduling for the update (";
    EXPECT_NE(said.find(message), std::string::npos) << said;
    EXPECT_EQ(said.find(message), said.rfind(message)) << said;
}

// Root may set the scheduling itself, as the benchmark's --realtime does.
bool MayUseRealtime() {
    sched_param parameters{};
    parameters.sched_priority = 1;
    bool may = false;
    std::thread([&] { may = sched_setscheduler(0, SCHED_RR, &parameters) == 0; }).join();
    return may;
}

TEST(RealtimeDirect, SetsWhatRealtimeKitWouldGrant) {
    if (!MayUseRealtime()) GTEST_SKIP() << "this process may not use real-time scheduling";
    const Request request = RequestOnAThread(realtimekit::Means::kDirect);
    EXPECT_TRUE(request.granted) << request.error;
    EXPECT_EQ(request.policy, SCHED_RR);
    EXPECT_LE(RunTimeLimit().rlim_max, 200000u);
    // Only that thread: the one that asked for none is still time-shared.
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
}

// A real-time thread that computes past its soft run-time limit without blocking is returned to
// time-sharing; without that, the kernel would kill the whole program at the hard limit, in the
// middle of an update. In a child process: this changes its signal handling and limits.
TEST(RealtimeDirect, AThreadThatOverrunsIsSlowedDownNotKilled) {
    if (!MayUseRealtime()) GTEST_SKIP() << "this process may not use real-time scheduling";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int policy = -1;
        std::thread([&] {
            std::string error;
            if (!realtimekit::MakeThisThreadRealtime(realtimekit::Means::kDirect, error)) _exit(3);
            // Three times the hard limit of CPU time, and never a blocking call.
            timespec used{};
            do {
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
            } while (used.tv_nsec / 1000000 + used.tv_sec * 1000 < 600);
            policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
        }).join();
        _exit(policy == SCHED_OTHER ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
