// Recorded sessions replayed through the controller, without the unit that answered them. To make
// a session with a real Orlo a test, record it (see platform/recording/README.md), put the file
// in data/ and add its row below with the outcome the unit gave.
#include <gtest/gtest.h>

#include "ReplayStack.h"
#include "Session.h"

namespace {

using Result = Brim::PTA::UpdateOutcome::Result;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(RecordedSessionsTest, EachReplaysThroughTheControllerToItsRecordedOutcome) {
    const struct {
        const char* file;
        Result result;
        IOReturn status;
    } sessions[] = {
        {"full-update.jsonl", Result::kSucceeded, kIOReturnSuccess},
        {"crc-refused.jsonl", Result::kFpgaFailed, kIOFireWireDataError},
    };
    for (const auto& session : sessions) {
        SCOPED_TRACE(session.file);
        recording::ReplayStack replay(std::string(ORLO_RECORDINGS_DIR) + "/" + session.file);
        ASSERT_TRUE(replay.Loaded()) << replay.LoadError();
        CaptureStdout();
        CaptureStderr();
        const ControllerSession run = IdentifyAndUpdate(replay);
        GetCapturedStdout();
        const std::string err = GetCapturedStderr();
        EXPECT_TRUE(run.found);
        EXPECT_EQ(run.outcome.result, session.result);
        EXPECT_EQ(run.outcome.status, session.status);
        EXPECT_TRUE(replay.Finished());
        EXPECT_FALSE(replay.Failed()) << err;
    }
}

}  // namespace
