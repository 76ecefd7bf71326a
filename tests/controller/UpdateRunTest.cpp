// The background update run, driven the way the window drives it: IsFound on each tick,
// DoUpdate, then GetDoneStatus polled until the run has ended.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "DownloadProgress.h"
#include "SimulatedBus.h"
#include "orlofirmwareupdate.h"

namespace {

using Brim::PTA::COrloFirmwareUpdate;
using Brim::PTA::UpdateOutcome;
using Result = Brim::PTA::UpdateOutcome::Result;
using sim::Image;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class UpdateRunTest : public testing::Test {
protected:
    UpdateRunTest() {
        bus.Model(unit).softwareVersion = 0x00010002;
        // Pauses cost nothing; the progress value at each one is kept (on the update thread).
        SetDownloadPause([this](UInt32) { progress.push_back(gDownloadProgress.Get()); });
        CaptureStdout();
        CaptureStderr();
        controller = std::make_unique<COrloFirmwareUpdate>(bus);
    }
    ~UpdateRunTest() override {
        controller.reset();
        GetCapturedStdout();
        GetCapturedStderr();
        SetDownloadPause(nullptr);
    }

    // Ticks as the window does until the run is over; false if it never ends.
    bool WaitForRun() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!controller->GetDoneStatus()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    // One whole update as the window starts it, with what it wrote to both streams.
    UpdateOutcome Update() {
        GetCapturedStdout();
        GetCapturedStderr();
        CaptureStdout();
        CaptureStderr();
        EXPECT_TRUE(controller->DoUpdate());
        EXPECT_TRUE(WaitForRun());
        out = GetCapturedStdout();
        err = GetCapturedStderr();
        CaptureStdout();
        CaptureStderr();
        return controller->GetUpdateOutcome();
    }

    sim::SimulatedBus bus;
    UInt32 unit = bus.AddUnit();
    std::unique_ptr<COrloFirmwareUpdate> controller;
    std::vector<UInt32> progress;
    std::string out, err;
};

TEST_F(UpdateRunTest, TheWindowsWayThroughAFullUpdateOfBothImages) {
    EXPECT_FALSE(controller->GetDoneStatus());  // before any run
    for (int tick = 0; tick < 3; ++tick) ASSERT_TRUE(controller->IsFound());
    EXPECT_FALSE(controller->IsDowngrade());

    const UpdateOutcome outcome = Update();
    EXPECT_EQ(outcome.result, Result::kSucceeded);
    EXPECT_EQ(outcome.status, kIOReturnSuccess);
    EXPECT_TRUE(controller->GetDoneStatus());
    EXPECT_FALSE(controller->_threadrunning);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kFpga), 1u);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kMcore), 1u);
    EXPECT_EQ(gDownloadProgress.Get(), 100u);

    EXPECT_EQ(out,
              "Start Download Thread\nCtor Downloader\nOpen Orlo\nCtor DownloadUnit\n"
              "Opening Xilinx data file\nBusGen 1\nFWDL::Open\nErasing Xilinx Image\nSending Data...\n"
              "Update successful.\n\rFWDL::Close\n"
              "Opening MCORE 06 file\nBusGen 1\nFWDL::Open\nErasing MCORE image\nSending Data...\n"
              "Update successful.\n\rFWDL::Close\n"
              "Close Orlo\nDtor DownloadUnit\nDtor Downloader\nDelete Download Thread\n");
    EXPECT_EQ(err, "");

    // The identification works again afterwards: nothing was left open or held.
    EXPECT_TRUE(controller->IsFound());
}

TEST_F(UpdateRunTest, ProgressGoesThroughTheFpgaBandThenTheMcoreBand) {
    ASSERT_TRUE(controller->IsFound());
    Update();
    // Sampled at each pause of the run: FPGA begin and status, then its band; the same for M-CORE.
    const std::size_t fpgaPauses = 4 + 2631 + 1;  // begin, status, erase, header, blocks, CRC
    ASSERT_EQ(progress.size(), fpgaPauses + 4 + 532 + 1);
    EXPECT_EQ(progress[0], 0u);
    EXPECT_EQ(progress[2], 40u);
    EXPECT_EQ(progress[fpgaPauses - 2], 59u);  // the last block's pause, before its update to 60
    EXPECT_EQ(progress[fpgaPauses - 1], 60u);
    EXPECT_EQ(progress[fpgaPauses], 0u);       // M-CORE download starts from Reset
    EXPECT_EQ(progress[fpgaPauses + 2], 80u);
    for (std::size_t i = 2; i < fpgaPauses; ++i) ASSERT_TRUE(progress[i] >= 40 && progress[i] <= 60);
    for (std::size_t i = fpgaPauses + 2; i < progress.size(); ++i) {
        ASSERT_TRUE(progress[i] >= 80 && progress[i] <= 100) << i;
    }
}

TEST_F(UpdateRunTest, TwoRunsInARowEachWithItsOwnObjects) {
    ASSERT_TRUE(controller->IsFound());
    EXPECT_EQ(Update().result, Result::kSucceeded);
    EXPECT_EQ(out.find("Ctor Downloader"), out.rfind("Ctor Downloader"));  // one Downloader a run

    // The second DoUpdate lowers the done flag before its thread starts: hold the run at its
    // first pause to look.
    std::mutex mutex;
    std::condition_variable released;
    bool go = false;
    SetDownloadPause([&](UInt32) {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return go; });
    });
    ASSERT_TRUE(controller->IsFound());
    controller->DoUpdate();
    EXPECT_FALSE(controller->GetDoneStatus());
    EXPECT_TRUE(controller->_threadrunning);
    {
        std::lock_guard lock(mutex);
        go = true;
    }
    released.notify_all();
    ASSERT_TRUE(WaitForRun());
    EXPECT_EQ(controller->GetUpdateOutcome().result, Result::kSucceeded);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kMcore), 2u);
}

TEST_F(UpdateRunTest, AFailedFpgaImageIsReportedAndTheMcoreImageStillProgrammed) {
    ASSERT_TRUE(controller->IsFound());
    bus.Faults(unit).accessFaults.push_back({sim::kUpdateCommand, 1, kIOFireWireBusy});
    const UpdateOutcome outcome = Update();
    EXPECT_EQ(outcome.result, Result::kFpgaFailed);
    EXPECT_EQ(outcome.status, kIOFireWireBusy);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kFpga), 0u);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kMcore), 1u);
    EXPECT_EQ(err, "Device not ready. Could not prepare device for update.\n\r");
    EXPECT_NE(out.find("Delete Download Thread\n"), std::string::npos);
}

TEST_F(UpdateRunTest, AFailedMcoreImageIsReported) {
    ASSERT_TRUE(controller->IsFound());
    bus.Faults(unit).accessFaults.push_back({sim::kCrc, 2, kIOFireWireDataError});
    const UpdateOutcome outcome = Update();
    EXPECT_EQ(outcome.result, Result::kMcoreFailed);
    EXPECT_EQ(outcome.status, kIOFireWireDataError);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kFpga), 1u);
}

TEST_F(UpdateRunTest, BothFailingReportsTheFirst) {
    ASSERT_TRUE(controller->IsFound());
    bus.Model(unit).settings.rejectCrc = true;
    const UpdateOutcome outcome = Update();
    EXPECT_EQ(outcome.result, Result::kFpgaFailed);
    EXPECT_EQ(outcome.status, kIOFireWireDataError);
}

TEST_F(UpdateRunTest, AUnitUnpluggedBeforeTheRunProgramsNothingAndStillEnds) {
    ASSERT_TRUE(controller->IsFound());
    bus.SetPresent(unit, false);
    bus.ClearLog();
    const UpdateOutcome outcome = Update();
    EXPECT_EQ(outcome.result, Result::kNoUnit);
    EXPECT_NE(outcome.status, kIOReturnSuccess);
    EXPECT_EQ(out, "Start Download Thread\nCtor Downloader\nOpen Orlo\nClose Orlo\nDtor Downloader\n"
                   "Delete Download Thread\n");
    EXPECT_EQ(err, "Orlo not found - nothing was programmed.\n");
    EXPECT_TRUE(bus.Log().empty());
}

TEST_F(UpdateRunTest, AnUnplugDuringTheRunFailsIt) {
    ASSERT_TRUE(controller->IsFound());
    bus.Faults(unit).unplugAfter = 500;
    const UpdateOutcome outcome = Update();
    EXPECT_EQ(outcome.result, Result::kFpgaFailed);
    EXPECT_EQ(outcome.status, kIOReturnNoDevice);
}

TEST_F(UpdateRunTest, DestroyingTheControllerWaitsForTheRun) {
    ASSERT_TRUE(controller->IsFound());
    SetDownloadPause([](UInt32) { std::this_thread::sleep_for(std::chrono::microseconds(20)); });
    controller->DoUpdate();
    controller.reset();  // must not free what the run still uses
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kFpga), 1u);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kMcore), 1u);
    const std::string text = GetCapturedStdout();
    CaptureStdout();
    EXPECT_LT(text.find("Dtor OrloFirmwareUpdate\n"), text.find("Delete Download Thread\n"));
}

}  // namespace
