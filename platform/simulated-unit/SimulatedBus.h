// A simulated FireWire bus: a FireWire stack whose nodes are models of the update unit. It backs
// the tests, the benchmarks and the demo program, and logs every transaction so a test can see
// exactly what went on the bus.
//
// Thread-safe: one lock guards the bus, its units and the log, so the update thread may transfer
// while another thread reads the log or plugs units in. Change a unit's model or faults only
// while no transfer to it is in flight (before a download, or after it). The lock is recursive,
// so that an observer (SetObserver) may use the bus from the thread it is called on.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FireWireStack.h"
#include "UpdateUnitModel.h"

namespace sim {

// Faults of one unit, beyond what its model does on its own.
struct UnitFaults {
    // Something that happens at the n-th access (counting from 1, all kinds together) to one
    // address.
    struct AccessFault {
        enum class Kind {
            kFail,        // the access fails with `status`; the unit never sees it
            kLostAnswer,  // the unit takes the access, but its answer is lost: it fails with
                          // `status` all the same
            kSilent,      // from this access on the unit answers nothing (its model goes silent)
            kBusReset,    // the bus resets just before the access, which then goes on
            kUnplug,      // the unit is unplugged just before the access, which then fails
            kOtherClaim,  // another program asks for the unit just before the access, and keeps
                          // it if nobody holds it
        };
        std::uint64_t offset = 0;
        unsigned nth = 1;
        IOReturn status = kIOReturnError;  // kFail and kLostAnswer only
        Kind kind = Kind::kFail;
    };
    std::vector<AccessFault> accessFaults;
    // After this many accesses to the unit, the bus resets (its generation goes up by one) before
    // the next one. 0: never.
    unsigned busResetAfter = 0;
    // After this many accesses, the unit is unplugged: later calls on its interfaces fail with
    // kIOReturnNoDevice and the registry no longer finds it. 0: never.
    unsigned unplugAfter = 0;
    // Open is refused with this status, as when another program holds the device. 0: no.
    IOReturn openRefused = kIOReturnSuccess;
    // Reading the bus generation fails with this status. 0: no.
    IOReturn busGenerationFails = kIOReturnSuccess;
    // Creating the plug-in, or querying it for the device interface, fails with this status.
    IOReturn plugInFails = kIOReturnSuccess;
    IOReturn queryInterfaceFails = kIOReturnSuccess;
};

// One entry of the transaction log.
struct Transaction {
    enum class Kind {
        kCreatePlugIn,
        kQueryInterface,
        kOpen,
        kClose,
        kGetBusGeneration,
        kGetDevice,
        kGetGUID,
        kReadQuadlet,
        kWriteQuadlet,
        kRead,
        kWrite,
        kBusReset,
        kUnplug,  // also the device that leaves when another takes its place (SwapUnit)
        kNote,    // a line a test or tool added (e.g. a pause) to keep it in order with the rest
    };
    explicit Transaction(Kind kind) : kind(kind) {}

    Kind kind;
    UInt32 unit = 0;                  // the unit's handle number, 0 for bus-wide entries
    UInt32 client = 0;                // which device interface made the call: 1, 2, ... as created;
                                      // kOtherProgram for the program an AccessFault brings in
    bool claimed = false;             // transfers: that interface held the unit's claim at the time
    UInt32 device = 0;                // transfers: the device argument (0 = absolute addressing)
    UInt16 nodeID = 0;                // transfers: the node the request went to
    std::uint64_t offset = 0;         // transfers: 48-bit address
    UInt32 length = 0;                // block transfers: bytes asked (in the response: see bytes)
    UInt32 value = 0;                 // quadlet value; the generation for kGetBusGeneration
    UInt64 guid = 0;                  // kGetGUID: the GUID given
    std::vector<std::uint8_t> bytes;  // block data written, or read back
    bool failOnReset = false;
    UInt32 generation = 0;  // transfers: the generation the caller passed
    IOReturn status = kIOReturnSuccess;
    std::string note;  // kNote only
};

class SimulatedBus : public fw::FireWireStack {
  public:
    static constexpr UInt16 kFirstNodeId = 0xFFC1;  // bus 0x3FF (local), node 1 up
    // The client number of another program that AccessFault::Kind::kOtherClaim brings in.
    static constexpr UInt32 kOtherProgram = 0xFFFF;

    SimulatedBus();
    ~SimulatedBus() override;

    // The GUID that AddUnit gives unit n is kFirstGuid + n - 1: the specifier ID as its company
    // ID, so it can belong to no registered company either.
    static constexpr UInt64 kFirstGuid = 0x0A4F52FF'FE000001;

    // Plugs in a unit whose unit directory carries these keys (by default the update unit's).
    // Returns the unit's handle number (1, 2, ...), which the registry hands out.
    UInt32 AddUnit(UInt32 specifierId = kUnitSpecifierId, UInt32 softwareVersion = kUnitSwVersion);
    // Another device takes the unit's place, as when one Orlo is unplugged and another, plugged
    // in, is given its node file: the handle now names the newcomer, which has this GUID, a fresh
    // model (set it up with Model) and no faults. Interfaces built on the device before fail with
    // kIOReturnNoDevice, and its claim goes with it.
    void SwapUnit(UInt32 unit, UInt64 guid);
    // The model and faults of a unit (by handle number).
    UpdateUnitModel& Model(UInt32 unit);
    UnitFaults& Faults(UInt32 unit);
    UInt16 NodeId(UInt32 unit) const;
    UInt64 Guid(UInt32 unit) const;
    // The client number of the device interface that holds the unit's claim (Open), 0 for none.
    UInt32 ClaimHolder(UInt32 unit) const;
    // Unplugs or re-plugs a unit.
    void SetPresent(UInt32 unit, bool present);
    // A bus reset: the generation goes up by one.
    void BusReset();
    UInt32 Generation() const;

    // The log, oldest first.
    std::vector<Transaction> Log() const;
    void ClearLog();
    // Adds a note to the log, in order with the transactions.
    void Note(std::string note);
    // Logging every transaction costs a copy of each block; benchmarks can turn it off.
    void SetLogging(bool on);
    // The registry cannot be read: FindUnit fails with this status. 0: it can.
    void SetRegistryFailure(IOReturn status);
    // How many FireWire controllers the machine has (1 unless set): 0 is a machine without any.
    void SetControllers(UInt32 controllers);
    // Called with a copy of every new log entry, on the thread that caused it, while the bus is
    // locked: a test can act at an exact point of a conversation, such as between two images.
    // It may call the bus from that thread. Set it while nothing else uses the bus.
    void SetObserver(std::function<void(const Transaction&)> observer);

    // The FireWire stack.
    IOReturn FindUnits(UInt32 specifierId, UInt32 softwareVersion,
                       std::vector<fw::UnitHandle>& units) override;
    IOReturn CreatePlugIn(fw::UnitHandle unit, std::unique_ptr<fw::PlugIn>& plugIn) override;
    // The bus's controllers (SetControllers), the unit as "simulated unit N", and the holder of
    // its claim as "client N".
    fw::BusFacts Facts(fw::UnitHandle unit) override;
    // Readable once a unit has been added, unplugged (SetPresent, or a fault) or plugged in again.
    int BusChangeDescriptor() override;

  private:
    class Unit;
    class Device;
    class Plug;

    // Callers hold mutex_.
    Unit* Find(UInt32 unit) const;
    Unit* FindByNode(UInt16 nodeId) const;
    void Append(Transaction transaction);
    Transaction ResetLocked();  // returns the log entry
    Transaction UnplugLocked(Unit& unit);
    // The word of units come or gone, and its end at a lookup.
    void AnnounceLocked();
    void TakeAnnouncementsLocked();

    mutable std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<Unit>> units_;
    UInt32 generation_ = 1;
    UInt32 clients_ = 0;  // device interfaces created so far
    bool logging_ = true;
    IOReturn registryFailure_ = kIOReturnSuccess;
    UInt32 controllers_ = 1;
    std::function<void(const Transaction&)> observer_;
    std::vector<Transaction> log_;
    const int changes_;       // an eventfd: BusChangeDescriptor; -1 when none could be had
    bool announced_ = false;  // changes_ is readable
};

}  // namespace sim
