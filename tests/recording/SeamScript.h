// A short conversation at the seam with every kind of call, made the way a program makes it: the
// arguments of later calls come from the results of earlier ones. Over the simulated bus, with
// the unit's bus set to reset after its second access, it goes:
//
//   line  2 FindUnit               10 ReadQuadlet (software version)
//        3 Facts                   11 Read (serial number, 8 bytes); the bus resets
//        4 CreatePlugIn            12 WriteQuadlet (begin update, generation 1): stale
//        5 QueryInterface: 1       13 the bus reset (an event)
//        6 QueryInterface: 2       14 GetBusGeneration: 2
//        7 GetBusGeneration: 1     15 WriteQuadlet (begin update, generation 2)
//        8 Open                    16 Write (8 bytes to the data port)
//        9 GetDevice               17 GetGUID
//                                  18 Open on interface 2: refused, 1 holds the unit
//                                  19 Close
//
// A deviation makes it as a changed program would; the replay must catch each one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "FireWireStack.h"
#include "RecordingFormat.h"
#include "UpdateUnitModel.h"

enum class Deviation {
    kNone,
    kChangedWrite,    // one byte of the block write differs
    kMissingCall,     // GetDevice is left out: the device handle is taken as known
    kExtraCall,       // the bus generation is read once more before the Open
    kOtherInterface,  // the Open is made on the second interface instead of the first
    kCallAfterEnd,    // one more Close after the last call
};

struct ScriptRun {
    std::vector<std::string> results;     // each call's results, as text
    IOReturn deviant = kIOReturnSuccess;  // what the deviating call returned
};

inline FWAddressStruct At(std::uint64_t offset) {
    return FWAddressStruct(static_cast<UInt16>(offset >> 32), static_cast<UInt32>(offset));
}

inline ScriptRun RunScript(fw::FireWireStack& stack, Deviation deviation = Deviation::kNone) {
    ScriptRun run;
    auto& out = run.results;
    auto note = [&](std::string what, IOReturn status) {
        out.push_back(what + " " + std::to_string(status));
    };

    fw::UnitHandle unit;
    note("FindUnit", stack.FindUnit(sim::kUnitSpecifierId, sim::kUnitSwVersion, unit));
    const fw::BusFacts facts = stack.Facts(unit);
    out.push_back("Facts " + std::to_string(facts.controllers) + " " + facts.node + " " + facts.seat);
    std::unique_ptr<fw::PlugIn> plugIn;
    note("CreatePlugIn", stack.CreatePlugIn(unit, plugIn));
    if (!plugIn) return run;
    std::unique_ptr<fw::DeviceInterface> first, second;
    note("QueryInterface", plugIn->QueryInterface(first));
    note("QueryInterface", plugIn->QueryInterface(second));
    if (!first || !second) return run;

    UInt32 generation = 0;
    IOReturn status = first->GetBusGeneration(generation);
    note("GetBusGeneration " + std::to_string(generation), status);
    if (deviation == Deviation::kExtraCall) run.deviant = first->GetBusGeneration(generation);
    if (deviation == Deviation::kOtherInterface) {
        run.deviant = second->Open();
    } else {
        note("Open", first->Open());
    }
    const UInt32 device = deviation == Deviation::kMissingCall ? 1 : first->GetDevice();
    out.push_back("GetDevice " + std::to_string(device));

    UInt32 version = 0;
    status = first->ReadQuadlet(device, At(sim::kSoftwareVersion), version, false, 0);
    if (deviation == Deviation::kMissingCall) run.deviant = status;
    note("ReadQuadlet " + std::to_string(version), status);
    std::uint8_t serial[8] = {};
    UInt32 size = sizeof serial;
    status = first->Read(device, At(sim::kSerialNumber), serial, size, false, generation);
    note("Read " + recording::ToHex(serial, sizeof serial) + " " + std::to_string(size), status);

    note("WriteQuadlet", first->WriteQuadlet(device, At(sim::kUpdateControl), 1, true, generation));
    status = first->GetBusGeneration(generation);
    note("GetBusGeneration " + std::to_string(generation), status);
    note("WriteQuadlet", first->WriteQuadlet(device, At(sim::kUpdateControl), 1, true, generation));
    std::uint8_t block[8] = {0xFF, 0xFF, 0x00, 0x01, 0x00, 0x00, 0x12, 0x34};
    if (deviation == Deviation::kChangedWrite) block[5] ^= 0x40;
    size = sizeof block;
    status = first->Write(device, At(sim::kUpdateData), block, size, false, generation);
    if (deviation == Deviation::kChangedWrite) run.deviant = status;
    note("Write " + std::to_string(size), status);
    UInt64 guid = 0;
    status = first->GetGUID(guid);
    note("GetGUID " + std::to_string(guid), status);

    note("Open", second->Open());
    first->Close();
    if (deviation == Deviation::kCallAfterEnd) first->Close();
    return run;
}
