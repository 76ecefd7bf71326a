// A FireWire stack that serves a recorded session back (see RecordingStack and README.md). Every
// call must be the next one recorded: the same call, made by the same plug-in or interface, with
// the same arguments and, for a write, the same bytes. It then gets the recorded results. Any
// other call fails with kIOReturnError and one line on standard error that names the call
// expected (by its line in the recording) and the call made; the first such mismatch is kept,
// and every later call fails too, since nothing recorded after it can be trusted.
//
// So the program above the seam can be run against a real unit's session without the unit, and
// any change in what it sends is caught at the first call that differs.
//
// Threads: as the seam allows; one lock orders the calls.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FireWireStack.h"

namespace recording {

class ReplayStack : public fw::FireWireStack {
  public:
    struct Mismatch {
        std::size_t line = 0;  // line of the recording that was expected (1 is the header)
        std::string expected;  // that line's call, or "the end of the recording"
        std::string made;      // the call that was made instead
    };

    // Reads the whole recording at once. One that cannot be read, whose header names another
    // format or version, or with a line that is no entry, is refused: Loaded() is false and every
    // call fails.
    explicit ReplayStack(const std::string& path);
    explicit ReplayStack(std::istream& in);
    ~ReplayStack() override;

    ReplayStack(const ReplayStack&) = delete;
    ReplayStack& operator=(const ReplayStack&) = delete;

    bool Loaded() const;
    // Why the recording was refused; empty when it was not.
    std::string LoadError() const;

    // A call did not match, or came after the last one recorded.
    bool Failed() const;
    std::optional<Mismatch> FirstMismatch() const;
    // Every recorded call has been served.
    bool Finished() const;
    // Why the recording stopped before the session ended, when its last line says it did; a call
    // after its end fails as after any other end, and the report says so.
    std::optional<std::string> Incomplete() const;

    // The stack.
    IOReturn FindUnit(UInt32 specifierId, UInt32 softwareVersion, fw::UnitHandle& unit) override;
    IOReturn FindUnits(UInt32 specifierId, UInt32 softwareVersion,
                       std::vector<fw::UnitHandle>& units) override;
    IOReturn CreatePlugIn(fw::UnitHandle unit, std::unique_ptr<fw::PlugIn>& plugIn) override;
    fw::BusFacts Facts(fw::UnitHandle unit) override;
    // BusChangeDescriptor stays -1: a recording holds the calls, not when the bus changed, and
    // its owner's polls ask again in the recorded order anyway.

  private:
    class Script;
    class Plug;
    class Device;

    // Shared with the plug-ins and interfaces handed out.
    std::shared_ptr<Script> script_;
};

}  // namespace recording
