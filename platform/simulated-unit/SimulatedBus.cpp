#include "SimulatedBus.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <utility>

#include "Brim_Check.h"

namespace sim {

class SimulatedBus::Unit {
  public:
    UInt32 handle = 0;
    UInt32 specifierId = 0;
    UInt32 softwareVersion = 0;
    UInt16 nodeId = 0;
    UInt64 guid = 0;
    bool present = true;
    unsigned incarnation = 0;  // which device is in the unit's place: one more at each SwapUnit
    UpdateUnitModel model;
    UnitFaults faults;
    unsigned accesses = 0;
    std::map<std::uint64_t, unsigned> accessesByOffset;
    UInt32 holder = 0;  // the client that has the unit open, 0 for none
};

class SimulatedBus::Device : public fw::DeviceInterface {
  public:
    Device(SimulatedBus& bus, UInt32 unit, UInt32 client, unsigned incarnation)
        : bus_(bus), unit_(unit), client_(client), incarnation_(incarnation) {}

    // Releasing the interface drops its claim, as closing a device file drops its lock.
    ~Device() override {
        std::lock_guard lock(bus_.mutex_);
        if (Unit* unit = bus_.Find(unit_); unit != nullptr && unit->holder == client_) {
            unit->holder = 0;
        }
    }

    IOReturn Open() override {
        std::lock_guard lock(bus_.mutex_);
        Unit* unit = bus_.Find(unit_);
        Transaction entry = Entry(Transaction::Kind::kOpen);
        if (Gone(*unit)) {
            entry.status = kIOReturnNoDevice;
        } else if (unit->faults.openRefused != kIOReturnSuccess) {
            entry.status = unit->faults.openRefused;
        } else if (unit->holder != 0 && unit->holder != client_) {
            entry.status = kIOReturnExclusiveAccess;
        } else {
            unit->holder = client_;
        }
        bus_.Append(entry);
        return entry.status;
    }

    void Close() override {
        std::lock_guard lock(bus_.mutex_);
        Unit* unit = bus_.Find(unit_);
        if (unit->holder == client_) unit->holder = 0;
        bus_.Append(Entry(Transaction::Kind::kClose));
    }

    IOReturn GetBusGeneration(UInt32& generation) override {
        std::lock_guard lock(bus_.mutex_);
        Transaction entry = Entry(Transaction::Kind::kGetBusGeneration);
        const Unit* unit = bus_.Find(unit_);
        if (Gone(*unit)) {
            entry.status = kIOReturnNoDevice;
        } else if (unit->faults.busGenerationFails != kIOReturnSuccess) {
            entry.status = unit->faults.busGenerationFails;
        } else {
            generation = bus_.generation_;
            entry.value = generation;
        }
        bus_.Append(entry);
        return entry.status;
    }

    IOReturn GetGUID(UInt64& guid) override {
        std::lock_guard lock(bus_.mutex_);
        Transaction entry = Entry(Transaction::Kind::kGetGUID);
        const Unit* unit = bus_.Find(unit_);
        if (Gone(*unit)) {
            entry.status = kIOReturnNoDevice;
        } else {
            guid = unit->guid;
            entry.guid = guid;
        }
        bus_.Append(entry);
        return entry.status;
    }

    UInt32 GetDevice() override {
        std::lock_guard lock(bus_.mutex_);
        bus_.Append(Entry(Transaction::Kind::kGetDevice));
        return unit_;
    }

    IOReturn Read(UInt32 device, const FWAddressStruct& addr, void* buf, UInt32& size,
                  bool failOnReset, UInt32 generation) override {
        auto* bytes = static_cast<std::uint8_t*>(buf);
        return Transfer(Transaction::Kind::kRead, device, addr, failOnReset, generation,
                        [&](Transaction& entry, UpdateUnitModel& model) {
                            entry.length = size;
                            const fw::ResponseCode code =
                                model.ReadBlock(addr.Offset(), bytes, size);
                            if (code == fw::ResponseCode::kComplete)
                                entry.bytes.assign(bytes, bytes + size);
                            return code;
                        });
    }

    IOReturn Write(UInt32 device, const FWAddressStruct& addr, const void* buf, UInt32& size,
                   bool failOnReset, UInt32 generation) override {
        const auto* bytes = static_cast<const std::uint8_t*>(buf);
        return Transfer(Transaction::Kind::kWrite, device, addr, failOnReset, generation,
                        [&](Transaction& entry, UpdateUnitModel& model) {
                            entry.length = size;
                            entry.bytes.assign(bytes, bytes + size);
                            return model.WriteBlock(addr.Offset(), bytes, size);
                        });
    }

    IOReturn ReadQuadlet(UInt32 device, const FWAddressStruct& addr, UInt32& value,
                         bool failOnReset, UInt32 generation) override {
        return Transfer(Transaction::Kind::kReadQuadlet, device, addr, failOnReset, generation,
                        [&](Transaction& entry, UpdateUnitModel& model) {
                            const fw::ResponseCode code = model.ReadQuadlet(addr.Offset(), value);
                            entry.value = value;
                            return code;
                        });
    }

    IOReturn WriteQuadlet(UInt32 device, const FWAddressStruct& addr, UInt32 value,
                          bool failOnReset, UInt32 generation) override {
        return Transfer(Transaction::Kind::kWriteQuadlet, device, addr, failOnReset, generation,
                        [&](Transaction& entry, UpdateUnitModel& model) {
                            entry.value = value;
                            return model.WriteQuadlet(addr.Offset(), value);
                        });
    }

  private:
    // The unit is unplugged, or another device has taken its place since this interface was
    // built.
    bool Gone(const Unit& unit) const { return !unit.present || unit.incarnation != incarnation_; }

    Transaction Entry(Transaction::Kind kind) const {
        Transaction entry{kind};
        entry.unit = unit_;
        entry.client = client_;
        return entry;
    }

    // One request on the bus: addressing, generation, injected faults, then the unit's model.
    template <typename Access>
    IOReturn Transfer(Transaction::Kind kind, UInt32 device, const FWAddressStruct& addr,
                      bool failOnReset, UInt32 generation, Access access) {
        std::lock_guard lock(bus_.mutex_);
        Transaction entry = Entry(kind);
        entry.device = device;
        entry.offset = addr.Offset();
        entry.failOnReset = failOnReset;
        entry.generation = generation;

        Unit* self = bus_.Find(unit_);
        Unit* target = device != 0 ? bus_.Find(device) : bus_.FindByNode(addr.nodeID);
        entry.nodeID = target != nullptr ? target->nodeId : addr.nodeID;

        std::vector<Transaction> before;
        std::vector<Transaction> after;
        if (device != 0 && Gone(*self)) {
            entry.status = kIOReturnNoDevice;
        } else if (device != 0 && device != unit_) {
            entry.status = kIOReturnBadArgument;  // not a handle this interface gave out
        } else if (target == nullptr || !target->present) {
            entry.status = kIOFireWireNoAck;  // nobody at that node ID
        } else {
            entry.status = Deliver(*target, entry, failOnReset, access, before, after);
        }
        entry.claimed = target != nullptr && target->holder == client_;
        const IOReturn status = entry.status;
        for (Transaction& event : before) bus_.Append(std::move(event));
        bus_.Append(std::move(entry));
        for (Transaction& event : after) bus_.Append(std::move(event));
        return status;
    }

    // Counts the access, applies the unit's injected faults, else lets the model answer. What
    // the faults make happen around the access is returned in `before` and `after`, to be logged
    // in that order around it.
    template <typename Access>
    IOReturn Deliver(Unit& target, Transaction& entry, bool failOnReset, Access& access,
                     std::vector<Transaction>& before, std::vector<Transaction>& after) {
        using FaultKind = UnitFaults::AccessFault::Kind;
        ++target.accesses;
        const unsigned nth = ++target.accessesByOffset[entry.offset];
        std::optional<IOReturn> injected;
        std::optional<IOReturn> lostAnswer;
        for (const UnitFaults::AccessFault& fault : target.faults.accessFaults) {
            if (fault.offset != entry.offset || fault.nth != nth) continue;
            switch (fault.kind) {
                case FaultKind::kFail:
                    injected = fault.status;
                    break;
                case FaultKind::kLostAnswer:
                    lostAnswer = fault.status;
                    break;
                case FaultKind::kSilent:
                    target.model.settings.silent = true;
                    break;
                case FaultKind::kBusReset:
                    before.push_back(bus_.ResetLocked());
                    break;
                case FaultKind::kUnplug:
                    before.push_back(bus_.UnplugLocked(target));
                    injected = kIOReturnNoDevice;
                    break;
                case FaultKind::kOtherClaim: {
                    Transaction open{Transaction::Kind::kOpen};
                    open.unit = target.handle;
                    open.client = kOtherProgram;
                    if (target.holder == 0) {
                        target.holder = kOtherProgram;
                    } else if (target.holder != kOtherProgram) {
                        open.status = kIOReturnExclusiveAccess;
                    }
                    before.push_back(open);
                    break;
                }
            }
        }
        IOReturn status = kIOReturnSuccess;
        if (injected) {
            status = *injected;
        } else if (failOnReset && entry.generation != bus_.generation_) {
            status = kIOFireWireBusReset;
        } else {
            status = fw::StatusFromResponseCode(access(entry, target.model));
            if (lostAnswer) status = *lostAnswer;
        }

        if (target.faults.busResetAfter != 0 && target.accesses == target.faults.busResetAfter) {
            after.push_back(bus_.ResetLocked());
        }
        if (target.faults.unplugAfter != 0 && target.accesses == target.faults.unplugAfter) {
            after.push_back(bus_.UnplugLocked(target));
        }
        return status;
    }

    SimulatedBus& bus_;
    UInt32 unit_;
    UInt32 client_;
    unsigned incarnation_;
};

class SimulatedBus::Plug : public fw::PlugIn {
  public:
    Plug(SimulatedBus& bus, UInt32 unit, unsigned incarnation)
        : bus_(bus), unit_(unit), incarnation_(incarnation) {}

    IOReturn QueryInterface(std::unique_ptr<fw::DeviceInterface>& device) override {
        std::lock_guard lock(bus_.mutex_);
        Unit* unit = bus_.Find(unit_);
        Transaction entry{Transaction::Kind::kQueryInterface};
        entry.unit = unit_;
        if (!unit->present || unit->incarnation != incarnation_) {
            entry.status = kIOReturnNoDevice;
        } else {
            entry.status = unit->faults.queryInterfaceFails;
        }
        if (entry.status == kIOReturnSuccess) {
            device = std::make_unique<Device>(bus_, unit_, ++bus_.clients_, incarnation_);
        }
        bus_.Append(entry);
        return entry.status;
    }

  private:
    SimulatedBus& bus_;
    UInt32 unit_;
    unsigned incarnation_;
};

SimulatedBus::SimulatedBus() : changes_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SimulatedBus::~SimulatedBus() {
    if (changes_ >= 0) ::close(changes_);
}

int SimulatedBus::BusChangeDescriptor() {
    return changes_;
}

void SimulatedBus::AnnounceLocked() {
    if (changes_ < 0 || announced_) return;
    // Sets the eventfd's counter (from 0 to 1): it polls readable until read.
    const std::uint64_t one = 1;
    announced_ = ::write(changes_, &one, sizeof one) == sizeof one;
}

void SimulatedBus::TakeAnnouncementsLocked() {
    if (!announced_) return;  // a poll with nothing announced costs no system call
    // Reading the counter sets it to zero.
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t taken = ::read(changes_, &count, sizeof count);
    announced_ = false;
}

UInt32 SimulatedBus::AddUnit(UInt32 specifierId, UInt32 softwareVersion) {
    std::lock_guard lock(mutex_);
    auto unit = std::make_unique<Unit>();
    unit->handle = static_cast<UInt32>(units_.size() + 1);
    unit->specifierId = specifierId;
    unit->softwareVersion = softwareVersion;
    unit->nodeId = static_cast<UInt16>(kFirstNodeId + units_.size());
    unit->guid = kFirstGuid + units_.size();
    units_.push_back(std::move(unit));
    AnnounceLocked();
    return units_.back()->handle;
}

void SimulatedBus::SwapUnit(UInt32 unit, UInt64 guid) {
    std::lock_guard lock(mutex_);
    Unit* found = Find(unit);
    BRIM_CHECK(found != nullptr);
    if (found->present) Append(UnplugLocked(*found));
    ++found->incarnation;
    found->present = true;
    found->guid = guid;
    found->model = UpdateUnitModel{};
    found->faults = UnitFaults{};
    found->accesses = 0;
    found->accessesByOffset.clear();
}

UpdateUnitModel& SimulatedBus::Model(UInt32 unit) {
    std::lock_guard lock(mutex_);
    Unit* found = Find(unit);
    BRIM_CHECK(found != nullptr);
    return found->model;
}

UnitFaults& SimulatedBus::Faults(UInt32 unit) {
    std::lock_guard lock(mutex_);
    Unit* found = Find(unit);
    BRIM_CHECK(found != nullptr);
    return found->faults;
}

UInt16 SimulatedBus::NodeId(UInt32 unit) const {
    std::lock_guard lock(mutex_);
    const Unit* found = Find(unit);
    BRIM_CHECK(found != nullptr);
    return found->nodeId;
}

UInt64 SimulatedBus::Guid(UInt32 unit) const {
    std::lock_guard lock(mutex_);
    const Unit* found = Find(unit);
    BRIM_CHECK(found != nullptr);
    return found->guid;
}

UInt32 SimulatedBus::ClaimHolder(UInt32 unit) const {
    std::lock_guard lock(mutex_);
    const Unit* found = Find(unit);
    BRIM_CHECK(found != nullptr);
    return found->holder;
}

void SimulatedBus::SetPresent(UInt32 unit, bool present) {
    std::lock_guard lock(mutex_);
    Unit* found = Find(unit);
    BRIM_CHECK(found != nullptr);
    if (present) {
        found->present = true;
        AnnounceLocked();
    } else {
        Append(UnplugLocked(*found));
    }
}

void SimulatedBus::BusReset() {
    std::lock_guard lock(mutex_);
    Append(ResetLocked());
}

Transaction SimulatedBus::ResetLocked() {
    ++generation_;
    Transaction entry{Transaction::Kind::kBusReset};
    entry.value = generation_;
    return entry;
}

Transaction SimulatedBus::UnplugLocked(Unit& unit) {
    unit.present = false;
    unit.holder = 0;  // the claim goes with the device
    AnnounceLocked();
    Transaction entry{Transaction::Kind::kUnplug};
    entry.unit = unit.handle;
    return entry;
}

UInt32 SimulatedBus::Generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

std::vector<Transaction> SimulatedBus::Log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void SimulatedBus::ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

void SimulatedBus::Note(std::string note) {
    std::lock_guard lock(mutex_);
    Transaction entry{Transaction::Kind::kNote};
    entry.note = std::move(note);
    Append(entry);
}

void SimulatedBus::SetLogging(bool on) {
    std::lock_guard lock(mutex_);
    logging_ = on;
}

void SimulatedBus::SetRegistryFailure(IOReturn status) {
    std::lock_guard lock(mutex_);
    registryFailure_ = status;
}

IOReturn SimulatedBus::FindUnits(UInt32 specifierId, UInt32 softwareVersion,
                                 std::vector<fw::UnitHandle>& units) {
    std::lock_guard lock(mutex_);
    TakeAnnouncementsLocked();
    units.clear();
    if (registryFailure_ != kIOReturnSuccess) return registryFailure_;
    for (const auto& candidate : units_) {
        if (candidate->present && candidate->specifierId == specifierId &&
            candidate->softwareVersion == softwareVersion) {
            units.push_back(fw::UnitHandle{this, candidate->handle});
        }
    }
    return kIOReturnSuccess;
}

IOReturn SimulatedBus::CreatePlugIn(fw::UnitHandle handle, std::unique_ptr<fw::PlugIn>& plugIn) {
    std::lock_guard lock(mutex_);
    Transaction entry{Transaction::Kind::kCreatePlugIn};
    entry.unit = handle.unit;
    Unit* unit = handle.stack == this ? Find(handle.unit) : nullptr;
    if (unit == nullptr || !unit->present) {
        entry.status = kIOReturnNoDevice;
    } else {
        entry.status = unit->faults.plugInFails;
    }
    if (entry.status == kIOReturnSuccess) {
        plugIn = std::make_unique<Plug>(*this, handle.unit, unit->incarnation);
    }
    Append(entry);
    return entry.status;
}

void SimulatedBus::SetControllers(UInt32 controllers) {
    std::lock_guard lock(mutex_);
    controllers_ = controllers;
}

fw::BusFacts SimulatedBus::Facts(fw::UnitHandle handle) {
    std::lock_guard lock(mutex_);
    TakeAnnouncementsLocked();
    fw::BusFacts facts;
    facts.controllers = controllers_;
    const Unit* unit = handle.stack == this ? Find(handle.unit) : nullptr;
    if (unit == nullptr) return facts;
    facts.node = "simulated unit " + std::to_string(unit->handle);
    facts.seat = "seat0";
    if (unit->holder != 0) facts.holder = "client " + std::to_string(unit->holder);
    return facts;
}

SimulatedBus::Unit* SimulatedBus::Find(UInt32 unit) const {
    if (unit == 0 || unit > units_.size()) return nullptr;
    return units_[unit - 1].get();
}

SimulatedBus::Unit* SimulatedBus::FindByNode(UInt16 nodeId) const {
    for (const auto& unit : units_) {
        if (unit->nodeId == nodeId) return unit.get();
    }
    return nullptr;
}

void SimulatedBus::SetObserver(std::function<void(const Transaction&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void SimulatedBus::Append(Transaction transaction) {
    if (observer_) observer_(transaction);
    if (logging_ || transaction.kind == Transaction::Kind::kNote) {
        log_.push_back(std::move(transaction));
    }
}

}  // namespace sim
