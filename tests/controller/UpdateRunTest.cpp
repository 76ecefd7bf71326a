// The background update run, driven the way the window drives it: IsFound on each tick,
// DoUpdate, then GetDoneStatus polled until the run has ended.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "DownloadProgress.h"
#include "SimulatedBus.h"
#include "orlofirmwareupdate.h"

namespace {

using Brim::PTA::COrloFirmwareUpdate;
using Brim::PTA::UpdateOutcome;
using Result = Brim::PTA::UpdateOutcome::Result;
using sim::Image;
using sim::Transaction;
using FaultKind = sim::UnitFaults::AccessFault::Kind;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// Pauses in an FPGA download: begin, status, erase, header, 2,631 blocks, CRC.
constexpr std::size_t kFpgaPauses = 4 + 2631 + 1;

bool IsTransfer(const Transaction& entry) {
    return entry.kind == Transaction::Kind::kRead || entry.kind == Transaction::Kind::kWrite ||
           entry.kind == Transaction::Kind::kReadQuadlet ||
           entry.kind == Transaction::Kind::kWriteQuadlet;
}

// Every transfer the unit took came from one device interface (or none), which held the claim.
void ExpectOneHolder(const std::vector<Transaction>& log) {
    std::set<UInt32> clients;
    for (const Transaction& entry : log) {
        if (!IsTransfer(entry) || entry.status != kIOReturnSuccess) continue;
        clients.insert(entry.client);
        EXPECT_TRUE(entry.claimed);
    }
    EXPECT_LE(clients.size(), 1u);
}

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

    EXPECT_EQ(
        out,
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

TEST_F(UpdateRunTest, TheRunStartHookRunsOnTheRunsThreadBeforeTheUnitIsTouched) {
    ASSERT_TRUE(controller->IsFound());
    const std::size_t before = bus.Log().size();
    std::vector<std::pair<std::thread::id, std::size_t>> calls;  // thread, bus log size
    controller->SetRunStartHook(
        [&] { calls.emplace_back(std::this_thread::get_id(), bus.Log().size()); });
    EXPECT_EQ(Update().result, Result::kSucceeded);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_NE(calls[0].first, std::this_thread::get_id());
    EXPECT_EQ(calls[0].second, before);
}

TEST_F(UpdateRunTest, ProgressGoesThroughTheFpgaBandThenTheMcoreBand) {
    ASSERT_TRUE(controller->IsFound());
    Update();
    // Sampled at each pause of the run: FPGA begin and status, then its band; the same for M-CORE.
    const std::size_t fpgaPauses = kFpgaPauses;
    ASSERT_EQ(progress.size(), fpgaPauses + 4 + 532 + 1);
    EXPECT_EQ(progress[0], 0u);
    EXPECT_EQ(progress[2], 40u);
    EXPECT_EQ(progress[fpgaPauses - 2], 59u);  // the last block's pause, before its update to 60
    EXPECT_EQ(progress[fpgaPauses - 1], 60u);
    EXPECT_EQ(progress[fpgaPauses], 0u);  // M-CORE download starts from Reset
    EXPECT_EQ(progress[fpgaPauses + 2], 80u);
    for (std::size_t i = 2; i < fpgaPauses; ++i)
        ASSERT_TRUE(progress[i] >= 40 && progress[i] <= 60);
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

TEST_F(UpdateRunTest, AFailedFpgaImageIsReportedAndTheMcoreImageStillSent) {
    ASSERT_TRUE(controller->IsFound());
    bus.Faults(unit).accessFaults.push_back({sim::kUpdateCommand, 1, kIOFireWireBusy});
    const UpdateOutcome outcome = Update();
    EXPECT_EQ(outcome.result, Result::kFpgaFailed);
    EXPECT_EQ(outcome.status, kIOFireWireBusy);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kFpga), 0u);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kMcore), 1u);
    EXPECT_NE(out.find("Opening MCORE 06 file"), std::string::npos);
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

TEST_F(UpdateRunTest, AUnitUnpluggedBeforeTheRunProgramsNothingAndStillEnds) {
    ASSERT_TRUE(controller->IsFound());
    bus.SetPresent(unit, false);
    bus.ClearLog();
    const UpdateOutcome outcome = Update();
    EXPECT_EQ(outcome.result, Result::kChanged);
    EXPECT_NE(outcome.status, kIOReturnSuccess);
    EXPECT_EQ(out,
              "Start Download Thread\nCtor Downloader\nOpen Orlo\nClose Orlo\nDtor Downloader\n"
              "Delete Download Thread\n");
    EXPECT_EQ(err, "Orlo changed since it was identified - nothing was programmed.\n");
    EXPECT_TRUE(bus.Log().empty());
}

TEST_F(UpdateRunTest, ARegistryThatCannotBeReadProgramsNothing) {
    ASSERT_TRUE(controller->IsFound());
    bus.SetRegistryFailure(kIOReturnNotPermitted);
    bus.ClearLog();
    EXPECT_EQ(Update().result, Result::kChanged);
    EXPECT_EQ(err,
              "Problem with MasterPort\nOrlo changed since it was identified - nothing was "
              "programmed.\n");
    EXPECT_TRUE(bus.Log().empty());
}

// Two Orlos on the bus, and whatever happens between the tick that identified one and the run:
// the run writes the Orlo identified, or nothing at all.
TEST_F(UpdateRunTest, TheRunWritesTheOrloIdentifiedOrNothing) {
    const struct {
        const char* what;
        std::function<void(sim::SimulatedBus&, UInt32 first)> between;  // tick and run
        Result result;
    } cases[] = {
        {"nothing", [](sim::SimulatedBus&, UInt32) {}, Result::kSucceeded},
        {"it leaves the bus", [](sim::SimulatedBus& bus, UInt32 first) { bus.SetPresent(first, false); },
         Result::kChanged},
        {"another Orlo takes its place",
         [](sim::SimulatedBus& bus, UInt32 first) {
             bus.SwapUnit(first, 0x0011223344556677);
             bus.Model(first).softwareVersion = 0x00010002;  // the same firmware and serial
         },
         Result::kChanged},
        {"its firmware changed", [](sim::SimulatedBus& bus, UInt32 first) {
             bus.Model(first).softwareVersion = 0x00010003; },
         Result::kChanged},
        {"its serial number reads otherwise", [](sim::SimulatedBus& bus, UInt32 first) {
             bus.Model(first).serialNumber[7] = '9'; },
         Result::kChanged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::SimulatedBus twoOrlos;
        const UInt32 first = twoOrlos.AddUnit();
        const UInt32 second = twoOrlos.AddUnit();
        COrloFirmwareUpdate run(twoOrlos);
        ASSERT_TRUE(run.IsFound());
        EXPECT_EQ(run.GetUnitsFound(), 2u);
        EXPECT_EQ(run.GetOrloInfo().guid, twoOrlos.Guid(first));
        c.between(twoOrlos, first);
        twoOrlos.ClearLog();
        run.DoUpdate();
        run.WaitForRun();
        EXPECT_EQ(run.GetUpdateOutcome().result, c.result);
        const bool written = c.result == Result::kSucceeded;
        for (const Transaction& entry : twoOrlos.Log()) {
            const bool write = entry.kind == Transaction::Kind::kWrite ||
                               entry.kind == Transaction::Kind::kWriteQuadlet;
            EXPECT_FALSE(write && (entry.unit == second || !written)) << entry.offset;
        }
        EXPECT_EQ(twoOrlos.Model(first).VerifiedCount(Image::kMcore), written ? 1u : 0u);
        EXPECT_EQ(twoOrlos.Model(second).VerifiedCount(Image::kFpga), 0u);
    }
}

TEST_F(UpdateRunTest, TheProgressOfTheLastRunIsGoneAsSoonAsTheNextStarts) {
    ASSERT_TRUE(controller->IsFound());
    ASSERT_EQ(Update().result, Result::kSucceeded);
    ASSERT_EQ(gDownloadProgress.Get(), 100u);
    bus.SetPresent(unit, false);
    controller->DoUpdate();
    EXPECT_EQ(gDownloadProgress.Get(), 0u);  // before the run has even looked for the unit
    ASSERT_TRUE(WaitForRun());
    EXPECT_EQ(controller->GetUpdateOutcome().result, Result::kChanged);
}

TEST_F(UpdateRunTest, AnUnplugDuringTheRunFailsItAndNothingMoreIsSent) {
    ASSERT_TRUE(controller->IsFound());
    bus.Faults(unit).unplugAfter = 500;
    const UpdateOutcome outcome = Update();
    EXPECT_EQ(outcome.result, Result::kFpgaFailed);
    EXPECT_EQ(outcome.status, kIOReturnNoDevice);
    EXPECT_EQ(out.find("Opening MCORE 06 file"), std::string::npos);
    EXPECT_NE(err.find("The M-CORE image was not sent.\n"), std::string::npos);
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

// Another instance on the same bus, identifying or starting its own update during a run, can
// neither take the unit nor send it anything: not in the FPGA image, not between the two images,
// not in the M-CORE image.
TEST_F(UpdateRunTest, AnotherControllerOnTheBusCanNeitherTakeTheUnitNorWriteDuringARun) {
    ASSERT_TRUE(controller->IsFound());
    COrloFirmwareUpdate other(bus);
    const std::set<std::size_t> when = {2, 1000, kFpgaPauses - 1, kFpgaPauses + 300};
    std::size_t pauses = 0;
    std::vector<std::pair<bool, Result>> seen;
    SetDownloadPause([&](UInt32) {
        if (when.count(pauses++) == 0) return;
        const bool found = other.IsFound();
        other.DoUpdate();
        while (!other.GetDoneStatus()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        seen.emplace_back(found, other.GetUpdateOutcome().result);
    });
    bus.ClearLog();
    EXPECT_EQ(Update().result, Result::kSucceeded);

    ASSERT_EQ(seen.size(), when.size());
    for (const auto& [found, result] : seen) {
        EXPECT_FALSE(found);
        EXPECT_EQ(result, Result::kInUse);
    }
    EXPECT_NE(err.find("The Orlo is in use by another program - nothing was programmed.\n"),
              std::string::npos);
    ExpectOneHolder(bus.Log());
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kFpga), 1u);
    EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kMcore), 1u);
    EXPECT_EQ(bus.ClaimHolder(unit), 0u);
}

// The poll that could take the unit in the old gap between the two images: right after the FPGA
// image has ended, as the M-CORE image begins (its bus generation read).
TEST_F(UpdateRunTest, APollBetweenTheImagesFindsTheUnitStillClaimed) {
    ASSERT_TRUE(controller->IsFound());
    COrloFirmwareUpdate other(bus);
    int generationReads = 0;
    bool polling = false;
    std::optional<bool> found;
    bus.ClearLog();
    bus.SetObserver([&](const Transaction& entry) {
        if (polling || entry.kind != Transaction::Kind::kGetBusGeneration) return;
        if (++generationReads != 2) return;
        polling = true;
        found = other.IsFound();
        polling = false;
    });
    EXPECT_EQ(Update().result, Result::kSucceeded);
    bus.SetObserver(nullptr);
    ASSERT_TRUE(found.has_value());
    EXPECT_FALSE(*found);

    // The run's claim had no break: one Open before its first transfer, one Close after its last.
    const std::vector<Transaction> log = bus.Log();
    ExpectOneHolder(log);
    const UInt32 run = std::find_if(log.begin(), log.end(), IsTransfer)->client;
    std::vector<Transaction::Kind> claims;
    for (const Transaction& entry : log) {
        if (entry.client == run &&
            (entry.kind == Transaction::Kind::kOpen || entry.kind == Transaction::Kind::kClose)) {
            claims.push_back(entry.kind);
        }
    }
    EXPECT_EQ(claims, (std::vector{Transaction::Kind::kOpen, Transaction::Kind::kClose}));
}

TEST_F(UpdateRunTest, AUnitHeldByAnotherProgramGetsNothing) {
    ASSERT_TRUE(controller->IsFound());
    std::unique_ptr<fw::PlugIn> plugIn;
    std::unique_ptr<fw::DeviceInterface> holder;
    ASSERT_EQ(bus.CreatePlugIn({&bus, unit}, plugIn), kIOReturnSuccess);
    ASSERT_EQ(plugIn->QueryInterface(holder), kIOReturnSuccess);
    ASSERT_EQ(holder->Open(), kIOReturnSuccess);
    bus.ClearLog();

    const UpdateOutcome outcome = Update();
    EXPECT_EQ(outcome.result, Result::kInUse);
    EXPECT_EQ(outcome.status, kIOReturnExclusiveAccess);
    EXPECT_EQ(err, "The Orlo is in use by another program - nothing was programmed.\n");
    for (const Transaction& entry : bus.Log()) EXPECT_FALSE(IsTransfer(entry));
    EXPECT_EQ(out.find("FWDL::Open"), std::string::npos);
}

// One fault at each device step of both images. For each: the outcome; what the unit took of
// either image; that after a failure nothing more was written to the image that failed (but for
// the ready check that decides after a failed BeginUpdate), that the M-CORE image still went
// after a failed FPGA image unless the unit was gone, and that the claim was given back.
TEST(UpdateFaultMatrixTest, EachFaultAtEachDeviceStepOfBothImages) {
    struct Step {
        const char* name;
        std::uint64_t offset;
        unsigned nth[2];  // which access to that register, in the FPGA and in the M-CORE image
    };
    const Step steps[] = {
        {"begin update", sim::kUpdateControl, {1, 2}},
        {"ready check", sim::kStatus, {1, 3}},
        {"erase command", sim::kUpdateCommand, {1, 2}},
        {"erase poll", sim::kStatus, {2, 4}},
        {"header", sim::kUpdateData, {1, 1 + 2632}},
        {"data block", sim::kUpdateData, {3, 3 + 2632}},
        {"CRC", sim::kCrc, {1, 2}},
    };
    struct Fault {
        const char* name;
        FaultKind kind;
        IOReturn failsWith;  // 0: the run rides it out
        bool unitAnswersAfter;  // the unit takes the next image after this fault
    };
    const Fault faults[] = {
        {"error status", FaultKind::kFail, kIOFireWireBusy, true},
        {"lost answer", FaultKind::kLostAnswer, kIOFireWireBusy, true},
        {"no answer", FaultKind::kSilent, kIOFireWireCancelled, false},
        {"bus reset", FaultKind::kBusReset, kIOReturnSuccess, true},
        {"unplug", FaultKind::kUnplug, kIOReturnNoDevice, false},
        {"another holder", FaultKind::kOtherClaim, kIOReturnSuccess, true},
    };
    SetDownloadPause([](UInt32) {});
    unsigned runs = 0;
    for (const int image : {0, 1}) {
        for (const Step& step : steps) {
            for (const Fault& fault : faults) {
                SCOPED_TRACE(std::string(image == 0 ? "FPGA " : "M-CORE ") + step.name + ": " +
                             fault.name);
                sim::SimulatedBus bus;
                const UInt32 unit = bus.AddUnit();
                UpdateOutcome outcome;
                bool found = false;
                CaptureStdout();  // the run's diagnostic lines; the checks come after
                CaptureStderr();
                {
                    COrloFirmwareUpdate controller(bus);
                    found = controller.IsFound();
                    bus.ClearLog();
                    bus.Faults(unit).accessFaults.push_back(
                        {step.offset, step.nth[image], fault.failsWith, fault.kind});
                    controller.DoUpdate();
                    while (!controller.GetDoneStatus()) std::this_thread::yield();
                    outcome = controller.GetUpdateOutcome();
                }
                GetCapturedStdout();
                GetCapturedStderr();
                ASSERT_TRUE(found);

                // What the ready check makes of a BeginUpdate that failed: the unit never
                // saw one refused outright, and reads "not ready" (0) while idle, but "ready" (1)
                // after a verified image, so that the erase command goes and is refused. One
                // whose answer alone was lost put the unit in update mode: nothing failed.
                const bool beginFailed = step.offset == sim::kUpdateControl;
                IOReturn status = fault.failsWith;
                if (beginFailed && fault.kind == FaultKind::kFail) {
                    status = image == 0 ? kDownloadFailed : kIOFireWireConflictError;
                }
                if (beginFailed && fault.kind == FaultKind::kLostAnswer) status = kIOReturnSuccess;
                // A CRC whose answer was lost verified the image all the same.
                const bool tookTheCrc = fault.kind == FaultKind::kLostAnswer && step.offset == sim::kCrc;
                const bool fpgaVerified = image == 1 || status == kIOReturnSuccess || tookTheCrc;
                const bool mcoreVerified = status == kIOReturnSuccess ||
                                           (image == 0 && fault.unitAnswersAfter) ||
                                           (image == 1 && tookTheCrc);

                const std::vector<Transaction> log = bus.Log();
                std::size_t failed = log.size();
                for (std::size_t i = 0; i < log.size() && failed == log.size(); ++i) {
                    if (IsTransfer(log[i]) && log[i].status != kIOReturnSuccess) failed = i;
                }
                if (status == kIOReturnSuccess) {
                    EXPECT_EQ(outcome.result, Result::kSucceeded);
                    if (fault.kind != FaultKind::kLostAnswer) {
                        EXPECT_EQ(failed, log.size());
                    }
                } else {
                    EXPECT_EQ(outcome.result,
                              image == 0 ? Result::kFpgaFailed : Result::kMcoreFailed);
                    EXPECT_EQ(outcome.status, status);
                    ASSERT_LT(failed, log.size());
                    EXPECT_EQ(log[failed].offset, step.offset);
                    // Up to the M-CORE image's BeginUpdate, only what the failed image's own
                    // sequence still does: the ready check, and the erase command it lets go.
                    for (std::size_t i = failed + 1; i < log.size(); ++i) {
                        if (!IsTransfer(log[i])) continue;
                        if (log[i].kind == Transaction::Kind::kWriteQuadlet &&
                            log[i].offset == sim::kUpdateControl) {
                            EXPECT_EQ(image, 0) << "a second begin after the M-CORE failure";
                            break;
                        }
                        const bool readyCheck = beginFailed && log[i].offset == sim::kStatus;
                        const bool refusedErase = beginFailed && image == 1 &&
                                                  log[i].offset == sim::kUpdateCommand &&
                                                  log[i].status != kIOReturnSuccess;
                        EXPECT_TRUE(readyCheck || refusedErase) << "after the failed step: " << i;
                    }
                }
                EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kFpga), fpgaVerified ? 1u : 0u);
                EXPECT_EQ(bus.Model(unit).VerifiedCount(Image::kMcore), mcoreVerified ? 1u : 0u);
                ExpectOneHolder(log);
                if (fault.kind == FaultKind::kOtherClaim) {
                    const auto refused = std::count_if(log.begin(), log.end(), [](auto& e) {
                        return e.kind == Transaction::Kind::kOpen &&
                               e.client == sim::SimulatedBus::kOtherProgram &&
                               e.status == kIOReturnExclusiveAccess;
                    });
                    EXPECT_EQ(refused, 1);
                }
                bus.SetPresent(unit, true);
                EXPECT_EQ(bus.ClaimHolder(unit), 0u);
                ++runs;
            }
        }
    }
    SetDownloadPause(nullptr);
    EXPECT_EQ(runs, 2u * std::size(steps) * std::size(faults));
    std::printf("fault matrix: %u runs (2 images x %zu device steps x %zu faults)\n", runs,
                std::size(steps), std::size(faults));
}

}  // namespace
