// A FireWire stack that records every call at the seam. It wraps another stack (the Linux one, or
// the simulated bus), passes each call through unchanged, and writes the call with its arguments
// and results as one line of JSON, so that a session with a unit can be read afterwards or served
// back by ReplayStack. The format is described in README.md.
//
// Threads: as the seam allows. One lock keeps the lines whole and in the order the calls returned;
// a thread of the recording's own writes them (RecordingWriter), so no call waits for the disk.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "FireWireStack.h"
#include "RecordingWriter.h"

namespace recording {

class RecordingStack : public fw::FireWireStack {
  public:
    // Records to the file named by the bytes of `path`, created or emptied (RecordingWriter::Open
    // says how it is opened).
    RecordingStack(fw::FireWireStack& inner, const std::string& path,
                   RecordingWriter::Limits limits = {});
    // Records to `out`.
    RecordingStack(fw::FireWireStack& inner, std::ostream& out,
                   RecordingWriter::Limits limits = {});
    // Finish().
    ~RecordingStack() override;

    RecordingStack(const RecordingStack&) = delete;
    RecordingStack& operator=(const RecordingStack&) = delete;

    // False when the file could not be opened. Calls pass through all the same, as they do once
    // a recording has stopped: a recording must never be what breaks an update.
    bool Opened() const;
    // False once the recording is incomplete, or was never opened; Problem() says why.
    bool Ok() const;
    std::string Problem() const;
    // Writes what is waiting, for a few seconds at most, and closes the recording; calls are no
    // longer recorded. False when the recording is incomplete.
    bool Finish();

    // The stack. The handles FindUnit returns name units of this stack, so that the plug-ins and
    // interfaces built from them are recorded too.
    IOReturn FindUnit(UInt32 specifierId, UInt32 softwareVersion, fw::UnitHandle& unit) override;
    IOReturn FindUnits(UInt32 specifierId, UInt32 softwareVersion,
                       std::vector<fw::UnitHandle>& units) override;
    IOReturn CreatePlugIn(fw::UnitHandle unit, std::unique_ptr<fw::PlugIn>& plugIn) override;
    fw::BusFacts Facts(fw::UnitHandle unit) override;
    // The inner stack's: the lookups that make it unreadable again pass through.
    int BusChangeDescriptor() override;

  private:
    class Log;
    class Plug;
    class Device;

    // The handle `inner_` knows for one of ours; any other handle passes unchanged.
    fw::UnitHandle Inner(fw::UnitHandle unit) const;

    fw::FireWireStack& inner_;
    // Shared with the plug-ins and interfaces handed out.
    std::shared_ptr<Log> log_;
};

}  // namespace recording
