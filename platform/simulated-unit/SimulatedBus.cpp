#include "SimulatedBus.h"

#include <map>
#include <utility>

#include "Brim_Check.h"

namespace sim {

class SimulatedBus::Unit {
public:
    UInt32 handle = 0;
    UInt32 specifierId = 0;
    UInt32 softwareVersion = 0;
    UInt16 nodeId = 0;
    bool present = true;
    UpdateUnitModel model;
    UnitFaults faults;
    unsigned accesses = 0;
    std::map<std::uint64_t, unsigned> accessesByOffset;
    const void* holder = nullptr;  // the device interface that has the unit open
};

class SimulatedBus::Device : public fw::DeviceInterface {
public:
    Device(SimulatedBus& bus, UInt32 unit) : bus_(bus), unit_(unit) {}

    // Releasing the interface drops its claim, as closing a device file drops its lock.
    ~Device() override {
        std::lock_guard lock(bus_.mutex_);
        if (Unit* unit = bus_.Find(unit_); unit != nullptr && unit->holder == this) {
            unit->holder = nullptr;
        }
    }

    IOReturn Open() override {
        std::lock_guard lock(bus_.mutex_);
        Unit* unit = bus_.Find(unit_);
        Transaction entry{Transaction::Kind::kOpen};
        entry.unit = unit_;
        if (!unit->present) {
            entry.status = kIOReturnNoDevice;
        } else if (unit->faults.openRefused != kIOReturnSuccess) {
            entry.status = unit->faults.openRefused;
        } else if (unit->holder != nullptr && unit->holder != this) {
            entry.status = kIOReturnExclusiveAccess;
        } else {
            unit->holder = this;
        }
        bus_.Append(entry);
        return entry.status;
    }

    void Close() override {
        std::lock_guard lock(bus_.mutex_);
        Unit* unit = bus_.Find(unit_);
        if (unit->holder == this) unit->holder = nullptr;
        Transaction entry{Transaction::Kind::kClose};
        entry.unit = unit_;
        bus_.Append(entry);
    }

    IOReturn GetBusGeneration(UInt32& generation) override {
        std::lock_guard lock(bus_.mutex_);
        Transaction entry{Transaction::Kind::kGetBusGeneration};
        entry.unit = unit_;
        const Unit* unit = bus_.Find(unit_);
        if (!unit->present) {
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

    UInt32 GetDevice() override {
        std::lock_guard lock(bus_.mutex_);
        Transaction entry{Transaction::Kind::kGetDevice};
        entry.unit = unit_;
        bus_.Append(entry);
        return unit_;
    }

    IOReturn Read(UInt32 device, const FWAddressStruct& addr, void* buf, UInt32& size,
                  bool failOnReset, UInt32 generation) override {
        auto* bytes = static_cast<std::uint8_t*>(buf);
        return Transfer(Transaction::Kind::kRead, device, addr, failOnReset, generation,
                        [&](Transaction& entry, UpdateUnitModel& model) {
                            entry.length = size;
                            const fw::ResponseCode code = model.ReadBlock(addr.Offset(), bytes, size);
                            if (code == fw::ResponseCode::kComplete) entry.bytes.assign(bytes, bytes + size);
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
    // One request on the bus: addressing, generation, injected faults, then the unit's model.
    template <typename Access>
    IOReturn Transfer(Transaction::Kind kind, UInt32 device, const FWAddressStruct& addr,
                      bool failOnReset, UInt32 generation, Access access) {
        std::lock_guard lock(bus_.mutex_);
        Transaction entry{kind};
        entry.unit = unit_;
        entry.device = device;
        entry.offset = addr.Offset();
        entry.failOnReset = failOnReset;
        entry.generation = generation;

        Unit* self = bus_.Find(unit_);
        Unit* target = device != 0 ? bus_.Find(device) : bus_.FindByNode(addr.nodeID);
        entry.nodeID = target != nullptr ? target->nodeId : addr.nodeID;

        std::vector<Transaction> consequences;
        if (device != 0 && !self->present) {
            entry.status = kIOReturnNoDevice;
        } else if (device != 0 && device != unit_) {
            entry.status = kIOReturnBadArgument;  // not a handle this interface gave out
        } else if (target == nullptr || !target->present) {
            entry.status = kIOFireWireNoAck;  // nobody at that node ID
        } else if (failOnReset && generation != bus_.generation_) {
            entry.status = kIOFireWireBusReset;
        } else {
            entry.status = Deliver(*target, entry, access, consequences);
        }
        const IOReturn status = entry.status;
        bus_.Append(std::move(entry));
        for (Transaction& consequence : consequences) bus_.Append(std::move(consequence));
        return status;
    }

    // Counts the access, applies the unit's injected faults, else lets the model answer. A bus
    // reset or unplug that the access triggers is returned in `consequences`, to be logged after it.
    template <typename Access>
    IOReturn Deliver(Unit& target, Transaction& entry, Access& access,
                     std::vector<Transaction>& consequences) {
        ++target.accesses;
        const unsigned nth = ++target.accessesByOffset[entry.offset];
        IOReturn status = kIOReturnSuccess;
        bool injected = false;
        for (const UnitFaults::FailAccess& fail : target.faults.failAccesses) {
            if (fail.offset == entry.offset && fail.nth == nth) {
                status = fail.status;
                injected = true;
            }
        }
        if (!injected) status = fw::StatusFromResponseCode(access(entry, target.model));

        if (target.faults.busResetAfter != 0 && target.accesses == target.faults.busResetAfter) {
            ++bus_.generation_;
            Transaction reset{Transaction::Kind::kBusReset};
            reset.value = bus_.generation_;
            consequences.push_back(reset);
        }
        if (target.faults.unplugAfter != 0 && target.accesses == target.faults.unplugAfter) {
            target.present = false;
            target.holder = nullptr;
            Transaction unplug{Transaction::Kind::kUnplug};
            unplug.unit = target.handle;
            consequences.push_back(unplug);
        }
        return status;
    }

    SimulatedBus& bus_;
    UInt32 unit_;
};

class SimulatedBus::Plug : public fw::PlugIn {
public:
    Plug(SimulatedBus& bus, UInt32 unit) : bus_(bus), unit_(unit) {}

    IOReturn QueryInterface(std::unique_ptr<fw::DeviceInterface>& device) override {
        std::lock_guard lock(bus_.mutex_);
        Unit* unit = bus_.Find(unit_);
        Transaction entry{Transaction::Kind::kQueryInterface};
        entry.unit = unit_;
        if (!unit->present) {
            entry.status = kIOReturnNoDevice;
        } else {
            entry.status = unit->faults.queryInterfaceFails;
        }
        if (entry.status == kIOReturnSuccess) device = std::make_unique<Device>(bus_, unit_);
        bus_.Append(entry);
        return entry.status;
    }

private:
    SimulatedBus& bus_;
    UInt32 unit_;
};

SimulatedBus::SimulatedBus() = default;
SimulatedBus::~SimulatedBus() = default;

UInt32 SimulatedBus::AddUnit(UInt32 specifierId, UInt32 softwareVersion) {
    std::lock_guard lock(mutex_);
    auto unit = std::make_unique<Unit>();
    unit->handle = static_cast<UInt32>(units_.size() + 1);
    unit->specifierId = specifierId;
    unit->softwareVersion = softwareVersion;
    unit->nodeId = static_cast<UInt16>(kFirstNodeId + units_.size());
    units_.push_back(std::move(unit));
    return units_.back()->handle;
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

void SimulatedBus::SetPresent(UInt32 unit, bool present) {
    std::lock_guard lock(mutex_);
    Unit* found = Find(unit);
    BRIM_CHECK(found != nullptr);
    found->present = present;
    if (!present) {
        found->holder = nullptr;
        Transaction entry{Transaction::Kind::kUnplug};
        entry.unit = unit;
        Append(entry);
    }
}

void SimulatedBus::BusReset() {
    std::lock_guard lock(mutex_);
    ++generation_;
    Transaction entry{Transaction::Kind::kBusReset};
    entry.value = generation_;
    Append(entry);
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

IOReturn SimulatedBus::FindUnit(UInt32 specifierId, UInt32 softwareVersion, fw::UnitHandle& unit) {
    std::lock_guard lock(mutex_);
    unit = {};
    if (registryFailure_ != kIOReturnSuccess) return registryFailure_;
    for (const auto& candidate : units_) {
        if (candidate->present && candidate->specifierId == specifierId &&
            candidate->softwareVersion == softwareVersion) {
            unit = fw::UnitHandle{this, candidate->handle};
            break;
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
    if (entry.status == kIOReturnSuccess) plugIn = std::make_unique<Plug>(*this, handle.unit);
    Append(entry);
    return entry.status;
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

void SimulatedBus::Append(Transaction transaction) {
    if (logging_ || transaction.kind == Transaction::Kind::kNote) {
        log_.push_back(std::move(transaction));
    }
}

}  // namespace sim
