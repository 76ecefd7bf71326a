// Writes the recordings in tests/recording/data that RecordedSessionsTest replays through the
// controller: each is the controller's session with the simulated unit, IsFound and then an
// update of both images. Regenerate them when what the program sends has changed on purpose (the
// replays then fail at the first call that differs):
//
//   cmake --build build/default --target make_recordings
//   build/default/tests/recording/make_recordings tests/recording/data
//
// full-update.jsonl   a healthy unit, firmware 1-2, whose erases take two status polls each
// crc-refused.jsonl   the same unit refusing every CRC: the FPGA image fails, the M-CORE image
//                     follows and fails too
#include <filesystem>
#include <functional>
#include <iostream>

#include "RecordingStack.h"
#include "Session.h"
#include "SimulatedBus.h"

namespace {

using Result = Brim::PTA::UpdateOutcome::Result;

bool Record(const std::filesystem::path& file,
            const std::function<void(sim::UpdateUnitModel&)>& set, Result expected) {
    sim::SimulatedBus bus;
    sim::UpdateUnitModel& unit = bus.Model(bus.AddUnit());
    unit.softwareVersion = 0x00010002;
    unit.serialNumber = {'S', 'I', 'M', '0', '0', '0', '0', '1'};
    unit.settings.erasePolls = 2;
    set(unit);

    ControllerSession session;
    bool written = false;
    {
        recording::RecordingStack recorder(bus, file.string());
        session = IdentifyAndUpdate(recorder);
        written = recorder.Finish();
    }
    const bool ok = written && session.found && session.outcome.result == expected;
    std::cerr << file.string() << ": " << (ok ? "" : "NOT AS INTENDED, ")
              << std::filesystem::file_size(file) << " bytes\n";
    return ok;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::cerr << "usage: make_recordings FOLDER\n";
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    bool ok = Record(
        folder / "full-update.jsonl", [](sim::UpdateUnitModel&) {}, Result::kSucceeded);
    ok = Record(
             folder / "crc-refused.jsonl",
             [](sim::UpdateUnitModel& unit) { unit.settings.rejectCrc = true; },
             Result::kFpgaFailed) &&
         ok;
    return ok ? 0 : 1;
}
