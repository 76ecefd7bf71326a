// The recording stack: every call at the seam becomes one line, written at once, with its
// arguments and results, and the calls still reach the stack beneath unchanged.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "ChildProcess.h"
#include "RecordingStack.h"
#include "SeamScript.h"
#include "SimulatedBus.h"

namespace {

using recording::Json;

std::vector<Json> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<Json> lines;
    for (std::string text; std::getline(in, text);) lines.push_back(Json::parse(text));
    return lines;
}

TEST(RecordingStackTest, EachCallIsALineWrittenPromptlyWithItsArgumentsAndResults) {
    // The same conversation straight over a bus and through the recorder over another.
    sim::SimulatedBus plain, bus;
    plain.Faults(plain.AddUnit()).busResetAfter = 2;
    bus.Faults(bus.AddUnit()).busResetAfter = 2;
    const ScriptRun direct = RunScript(plain);

    const std::string path = testing::TempDir() + "/seam-script.jsonl";
    recording::RecordingStack recorder(bus, path);
    EXPECT_EQ(RunScript(recorder).results, direct.results);
    EXPECT_TRUE(recorder.Ok());

    // Read while the recorder still has the file: its thread writes every line soon after the
    // call, unasked.
    ASSERT_TRUE(
        WaitFor([&] { return Count(ReadFile(path), "\n") == 19 && ReadFile(path).back() == '\n'; },
                std::chrono::seconds(2)));
    const std::vector<Json> lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 19u);
    const std::uint64_t registers = 0xF0430000;
    const struct {
        std::size_t line;
        Json fields;  // as recorded; the line may hold more
    } expected[] = {
        {1, {{"format", "orlo-firewire-recording"}, {"version", 1}}},
        {2,
         {{"call", "FindUnit"},
          {"specifierId", sim::kUnitSpecifierId},
          {"softwareVersion", sim::kUnitSwVersion},
          {"status", 0},
          {"unit", 1}}},
        {3,
         {{"call", "Facts"},
          {"unit", 1},
          {"controllers", 1},
          {"node", "simulated unit 1"},
          {"seat", "seat0"}}},
        {4, {{"call", "CreatePlugIn"}, {"unit", 1}, {"status", 0}, {"plugIn", 1}}},
        {6, {{"call", "QueryInterface"}, {"plugIn", 1}, {"status", 0}, {"interface", 2}}},
        {9, {{"call", "GetDevice"}, {"interface", 1}, {"device", 1}}},
        {10, {{"call", "ReadQuadlet"}, {"addressLo", registers + 4}, {"value", 0x00010002}}},
        {11,
         {{"call", "Read"},
          {"interface", 1},
          {"device", 1},
          {"nodeID", 0},
          {"addressHi", 0xFFFF},
          {"addressLo", registers + 0x220},
          {"size", 8},
          {"failOnReset", false},
          {"generation", 1},
          {"status", 0},
          {"sizeReturned", 8},
          {"data", "3030303030303031"}}},
        {12,
         {{"call", "WriteQuadlet"},
          {"failOnReset", true},
          {"generation", 1},
          {"value", 1},
          {"status", kIOFireWireBusReset}}},
        {13, {{"event", "BusReset"}, {"previous", 1}, {"generation", 2}}},
        {14, {{"call", "GetBusGeneration"}, {"interface", 1}, {"status", 0}, {"generation", 2}}},
        {16,
         {{"call", "Write"},
          {"addressLo", registers + 0x20},
          {"size", 8},
          {"generation", 2},
          {"data", "ffff000100001234"},
          {"sizeReturned", 8}}},
        {17, {{"call", "GetGUID"}, {"interface", 1}, {"status", 0}, {"guid", "0a4f52fffe000001"}}},
        {18, {{"call", "Open"}, {"interface", 2}, {"status", kIOReturnExclusiveAccess}}},
        {19, {{"call", "Close"}, {"interface", 1}}},
    };
    for (const auto& [line, fields] : expected) {
        for (const auto& [key, value] : fields.items()) {
            EXPECT_EQ(lines[line - 1].value(key, Json()), value) << "line " << line << ": " << key;
        }
    }
    EXPECT_TRUE(std::regex_match(lines[0].value("created", ""),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    // Block data only where bytes were moved: a failed read or a quadlet carries none.
    double last = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        ASSERT_TRUE(lines[i].contains("t")) << i + 1;
        EXPECT_GE(lines[i]["t"].get<double>(), last);
        last = lines[i]["t"].get<double>();
        EXPECT_EQ(lines[i].contains("data"), i + 1 == 11 || i + 1 == 16) << i + 1;
    }
}

TEST(RecordingStackTest, AFileThatCannotBeWrittenIsReportedAndTheCallsStillGoThrough) {
    sim::SimulatedBus bus;
    bus.AddUnit();
    recording::RecordingStack recorder(bus, testing::TempDir() + "/no-such-folder/x.jsonl");
    EXPECT_FALSE(recorder.Ok());
    std::unique_ptr<fw::PlugIn> plugIn;
    fw::UnitHandle unit;
    ASSERT_EQ(recorder.FindUnit(sim::kUnitSpecifierId, sim::kUnitSwVersion, unit),
              kIOReturnSuccess);
    EXPECT_EQ(unit.stack, &recorder);
    EXPECT_EQ(recorder.CreatePlugIn(unit, plugIn), kIOReturnSuccess);
    EXPECT_NE(plugIn, nullptr);
}

}  // namespace
