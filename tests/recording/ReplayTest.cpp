// The replay stack: a recorded session served back in strict order, and every way a program can
// stray from it caught at the call where it strays.
#include <gtest/gtest.h>

#include <sstream>

#include "RecordingStack.h"
#include "ReplayStack.h"
#include "SeamScript.h"
#include "Session.h"
#include "SimulatedBus.h"

namespace {

using recording::Json;
using recording::ReplayStack;
using Result = Brim::PTA::UpdateOutcome::Result;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

std::string RecordScript() {
    sim::SimulatedBus bus;
    bus.Faults(bus.AddUnit()).busResetAfter = 2;
    std::stringstream out;
    {
        recording::RecordingStack recorder(bus, out);
        RunScript(recorder);
    }
    return out.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

TEST(ReplayTest, TheScriptGetsTheRecordedResultsBack) {
    sim::SimulatedBus bus;
    bus.Faults(bus.AddUnit()).busResetAfter = 2;
    const ScriptRun live = RunScript(bus);

    std::istringstream in(RecordScript());
    ReplayStack replay(in);
    ASSERT_TRUE(replay.Loaded()) << replay.LoadError();
    CaptureStderr();
    EXPECT_EQ(RunScript(replay).results, live.results);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(replay.Finished());
    EXPECT_FALSE(replay.Failed());
}

TEST(ReplayTest, EveryUnitTheRegistryListsIsRecordedAndListedAgain) {
    sim::SimulatedBus bus;
    bus.AddUnit();
    bus.AddUnit(0x123456);  // another product's unit, which the registry leaves out
    bus.AddUnit();
    std::stringstream out;
    std::vector<fw::UnitHandle> units;
    std::unique_ptr<fw::PlugIn> plugIn;
    {
        recording::RecordingStack recorder(bus, out);
        ASSERT_EQ(recorder.FindUnits(sim::kUnitSpecifierId, sim::kUnitSwVersion, units),
                  kIOReturnSuccess);
        ASSERT_EQ(units.size(), 2u);
        EXPECT_EQ(units[1].stack, &recorder);
        EXPECT_EQ(units[1].unit, 3u);
        ASSERT_EQ(recorder.CreatePlugIn(units[1], plugIn), kIOReturnSuccess);
    }
    EXPECT_NE(out.str().find(R"("call":"FindUnits",)"), std::string::npos);
    EXPECT_NE(out.str().find(R"("units":[1,3])"), std::string::npos);

    ReplayStack replay(out);
    ASSERT_EQ(replay.FindUnits(sim::kUnitSpecifierId, sim::kUnitSwVersion, units),
              kIOReturnSuccess);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[1].stack, &replay);
    EXPECT_EQ(units[1].unit, 3u);
    EXPECT_EQ(replay.CreatePlugIn(units[1], plugIn), kIOReturnSuccess);
    EXPECT_TRUE(replay.Finished());
    EXPECT_FALSE(replay.Failed());
}

TEST(ReplayTest, EachWayOfStrayingFailsAtTheLineWhereItStrays) {
    const struct {
        Deviation deviation;
        std::size_t line;
        const char* expected;  // the start of the recorded call the report names
        const char* made;      // what the report says of the call made
        bool deviantFails;     // the straying call returns a status, which must be an error
    } cases[] = {
        {Deviation::kChangedWrite, 16, "Write(interface 1, device 1",
         "data ffff000100401234 (8 bytes) differing from byte 5)", true},
        {Deviation::kMissingCall, 9, "GetDevice(interface 1)", "ReadQuadlet(interface 1", true},
        {Deviation::kExtraCall, 8, "Open(interface 1)", "GetBusGeneration(interface 1)", true},
        {Deviation::kOtherInterface, 8, "Open(interface 1)", "Open(interface 2)", true},
        {Deviation::kCallAfterEnd, 20, "the end of the recording", "Close(interface 1)", false},
    };
    const std::string recorded = RecordScript();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.made);
        std::istringstream in(recorded);
        ReplayStack replay(in);
        CaptureStderr();
        const ScriptRun run = RunScript(replay, c.deviation);
        const std::string err = GetCapturedStderr();

        if (c.deviantFails) {
            EXPECT_EQ(run.deviant, kIOReturnError);
        }
        ASSERT_TRUE(replay.Failed());
        const ReplayStack::Mismatch mismatch = *replay.FirstMismatch();
        EXPECT_EQ(mismatch.line, c.line);
        EXPECT_EQ(mismatch.expected.rfind(c.expected, 0), 0u) << mismatch.expected;
        EXPECT_NE(mismatch.made.find(c.made), std::string::npos) << mismatch.made;
        EXPECT_EQ(err.substr(0, err.find('\n')),
                  "Replay: line " + std::to_string(c.line) + " of the recording expected " +
                      mismatch.expected + ", the call made was " + mismatch.made);
        // Only a call past the end leaves every recorded call served.
        EXPECT_EQ(replay.Finished(), c.deviation == Deviation::kCallAfterEnd);
    }
}

TEST(ReplayTest, ARecordingItCannotReadIsRefused) {
    const std::string header = R"({"format":"orlo-firewire-recording","version":1})";
    const struct {
        const char* what;
        std::string text;
        bool loaded;
    } cases[] = {
        {"the header alone", header + "\n", true},
        {"blank lines and a bus event", header + "\n\n" + R"({"event":"BusReset"})" + "\n", true},
        {"nothing", "", false},
        {"no JSON", "ORLO\n", false},
        {"a later version", R"({"format":"orlo-firewire-recording","version":2})", false},
        {"version 0", R"({"format":"orlo-firewire-recording","version":0})", false},
        {"the version as text", R"({"format":"orlo-firewire-recording","version":"1"})", false},
        {"another format", R"({"format":"capture","version":1})", false},
        {"no format", R"({"version":1})", false},
        {"an unknown call", header + "\n" + R"({"call":"Reboot","status":0})", false},
        {"a line cut short", header + "\n" + R"({"call":"Open","interf)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::istringstream in(c.text);
        CaptureStderr();
        ReplayStack replay(in);
        fw::UnitHandle unit{&replay, 7};
        const IOReturn status = replay.FindUnit(sim::kUnitSpecifierId, sim::kUnitSwVersion, unit);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(replay.Loaded(), c.loaded);
        EXPECT_EQ(replay.LoadError().empty(), c.loaded);
        EXPECT_EQ(err.find("Replay: recording refused: ") == 0, !c.loaded) << err;
        // Loaded or not, nothing recorded answers this call.
        EXPECT_EQ(status, kIOReturnError);
        EXPECT_FALSE(unit);
        EXPECT_TRUE(replay.Failed());
        EXPECT_EQ(replay.Finished(), c.loaded);  // a loaded one had served all of its none
    }
}

TEST(ReplayTest, AnEntryWhoseResultsCannotBeReadFailsItsCall) {
    const std::string header = R"({"format":"orlo-firewire-recording","version":1})";
    const std::string call = R"({"call":"FindUnit","specifierId":675666,"softwareVersion":17,)";
    for (const std::string results : {R"("status":"0","unit":1})", R"("status":0,"unit":"1"})",
                                      R"("unit":1})", R"("status":5000000000,"unit":1})"}) {
        SCOPED_TRACE(results);
        std::istringstream in(header + "\n" + call + results + "\n");
        ReplayStack replay(in);
        ASSERT_TRUE(replay.Loaded());
        fw::UnitHandle unit;
        CaptureStderr();
        EXPECT_EQ(replay.FindUnit(sim::kUnitSpecifierId, sim::kUnitSwVersion, unit),
                  kIOReturnError);
        EXPECT_NE(GetCapturedStderr().find("cannot be read"), std::string::npos);
        EXPECT_TRUE(replay.Failed());
        EXPECT_EQ(replay.FirstMismatch()->line, 2u);
    }
}

// No stack's read returns more bytes than it asked for, so no recorded read may either.
TEST(ReplayTest, AReadLineReturningMoreThanAskedFailsItsCall) {
    const struct {
        UInt32 returned;
        const char* data;
        bool served;
    } cases[] = {{4, "30303030", true}, {12, "30303030", false}, {8, "303030303030303031", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.returned);
        Json read = recording::TransferCall("Read", 1, 1, At(sim::kSerialNumber), 8, false, 1);
        read["status"] = 0;
        read["sizeReturned"] = c.returned;
        read["data"] = c.data;
        std::istringstream in(R"({"format":"orlo-firewire-recording","version":1})"
                              "\n"
                              R"({"call":"CreatePlugIn","unit":1,"status":0,"plugIn":1})"
                              "\n"
                              R"({"call":"QueryInterface","plugIn":1,"status":0,"interface":1})"
                              "\n" +
                              read.dump() + "\n");
        ReplayStack replay(in);
        std::unique_ptr<fw::PlugIn> plugIn;
        std::unique_ptr<fw::DeviceInterface> device;
        ASSERT_EQ(replay.CreatePlugIn({&replay, 1}, plugIn), kIOReturnSuccess);
        ASSERT_EQ(plugIn->QueryInterface(device), kIOReturnSuccess);
        std::uint8_t buffer[8] = {};
        UInt32 size = sizeof buffer;
        CaptureStderr();
        const IOReturn status = device->Read(1, At(sim::kSerialNumber), buffer, size, false, 1);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(status, c.served ? kIOReturnSuccess : kIOReturnError);
        EXPECT_EQ(size, c.served ? c.returned : 8u);
        EXPECT_EQ(err.find("cannot be read") != std::string::npos, !c.served) << err;
    }
}

// A whole update, with a bus reset in its FPGA image, recorded over the simulated bus and
// replayed through the controller. The recorded update is shared by the cases below it.
class ControllerReplayTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        sim::SimulatedBus bus;
        const UInt32 unit = bus.AddUnit();
        bus.Faults(unit).accessFaults.push_back(
            {sim::kStatus, 1, kIOReturnSuccess, sim::UnitFaults::AccessFault::Kind::kBusReset});
        std::stringstream out;
        recording::RecordingStack recorder(bus, out);
        CaptureStdout();
        CaptureStderr();
        session_ = IdentifyAndUpdate(recorder);
        output_ = GetCapturedStdout();
        GetCapturedStderr();
        recorder.Finish();
        lines_ = Lines(out.str());
        log_ = bus.Log();
        verified_ = bus.Model(unit).VerifiedCount(sim::Image::kFpga) +
                    bus.Model(unit).VerifiedCount(sim::Image::kMcore);
    }

    // The index of the n-th (from 0) line that writes a full data block.
    static std::size_t DataBlock(std::size_t n) {
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            if (lines_[i].find(R"("call":"Write")") != std::string::npos &&
                lines_[i].find(R"("size":128)") != std::string::npos && n-- == 0) {
                return i;
            }
        }
        ADD_FAILURE() << "too few data blocks";
        return 0;
    }

    static inline ControllerSession session_;
    static inline std::string output_;
    static inline std::vector<std::string> lines_;
    static inline std::vector<sim::Transaction> log_;
    static inline unsigned verified_ = 0;
};

bool IsTransfer(const sim::Transaction& entry) {
    using Kind = sim::Transaction::Kind;
    return entry.kind == Kind::kRead || entry.kind == Kind::kWrite ||
           entry.kind == Kind::kReadQuadlet || entry.kind == Kind::kWriteQuadlet;
}

TEST_F(ControllerReplayTest, TheRecordingHoldsWhatWentOnTheBus) {
    ASSERT_TRUE(session_.found);
    ASSERT_EQ(session_.outcome.result, Result::kSucceeded);
    EXPECT_EQ(verified_, 2u);

    // Transfer by transfer, the bus's own log and the recording agree.
    std::vector<Json> recorded, resets;
    for (std::size_t i = 1; i < lines_.size(); ++i) {
        Json entry = Json::parse(lines_[i]);
        const std::string call = entry.value("call", "");
        if (entry.value("event", "") == "BusReset") resets.push_back(entry);
        if (call.find("Read") == 0 || call.find("Write") == 0) recorded.push_back(entry);
    }
    std::vector<sim::Transaction> transfers;
    std::copy_if(log_.begin(), log_.end(), std::back_inserter(transfers), IsTransfer);
    ASSERT_EQ(recorded.size(), transfers.size());
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        const Json& entry = recorded[i];
        const std::uint64_t offset =
            entry["addressHi"].get<std::uint64_t>() << 32 | entry["addressLo"].get<std::uint64_t>();
        ASSERT_EQ(offset, transfers[i].offset) << i;
        ASSERT_EQ(entry["status"].get<IOReturn>(), transfers[i].status) << i;
        const bool block = transfers[i].kind == sim::Transaction::Kind::kRead ||
                           transfers[i].kind == sim::Transaction::Kind::kWrite;
        if (block) {
            ASSERT_EQ(entry.value("data", ""),
                      recording::ToHex(transfers[i].bytes.data(), transfers[i].bytes.size()))
                << i;
        } else if (entry.contains("value")) {
            ASSERT_EQ(entry["value"].get<UInt32>(), transfers[i].value) << i;
        }
    }
    // The reset in the FPGA image shows when the M-CORE image reads the generation.
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0]["previous"], 1);
    EXPECT_EQ(resets[0]["generation"], 2);
}

TEST_F(ControllerReplayTest, TheControllerRunsTheRecordedUpdateAgainWithoutTheUnit) {
    std::istringstream in(Joined(lines_));
    ReplayStack replay(in);
    CaptureStdout();
    CaptureStderr();
    const ControllerSession session = IdentifyAndUpdate(replay);
    const std::string output = GetCapturedStdout();
    GetCapturedStderr();
    EXPECT_TRUE(session.found);
    EXPECT_EQ(session.outcome.result, Result::kSucceeded);
    EXPECT_EQ(output, output_);
    EXPECT_TRUE(replay.Finished());
    EXPECT_FALSE(replay.Failed());
}

TEST_F(ControllerReplayTest, AnUpdateThatStraysFromTheRecordingFails) {
    const struct {
        const char* what;
        std::size_t at;  // index of the line changed, or where the recording is cut
        bool cut;
        Result result;
    } cases[] = {
        {"a changed FPGA block", DataBlock(10), false, Result::kFpgaFailed},
        {"a changed M-CORE block", DataBlock(2631 + 10), false, Result::kMcoreFailed},
        {"a recording cut short", DataBlock(100), true, Result::kFpgaFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> lines = lines_;
        if (c.cut) {
            lines.resize(c.at);
        } else {
            Json entry = Json::parse(lines[c.at]);
            std::string data = entry["data"];
            data[7] = data[7] == '0' ? '1' : '0';
            entry["data"] = data;
            lines[c.at] = entry.dump();
        }
        std::istringstream in(Joined(lines));
        ReplayStack replay(in);
        CaptureStdout();
        CaptureStderr();
        const ControllerSession session = IdentifyAndUpdate(replay);
        GetCapturedStdout();
        GetCapturedStderr();
        ASSERT_TRUE(session.found);
        EXPECT_EQ(session.outcome.result, c.result);
        EXPECT_EQ(session.outcome.status, kIOReturnError);
        ASSERT_TRUE(replay.Failed());
        EXPECT_EQ(replay.FirstMismatch()->line, c.at + 1);
        EXPECT_EQ(replay.FirstMismatch()->expected.rfind(c.cut ? "the end" : "Write(", 0), 0u);
        // A cut recording was served to its end; a changed one was not.
        EXPECT_EQ(replay.Finished(), c.cut);
    }
}

}  // namespace
