#include "RecordingStack.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>
#include <optional>
#include <ostream>

#include "RecordingFormat.h"

namespace recording {
namespace {

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

Json UnitField(fw::UnitHandle unit) {
    return unit ? Json(unit.unit) : Json(nullptr);
}

}  // namespace

// The output and the numbering that every object handed out shares.
class RecordingStack::Log {
  public:
    Log(std::ostream& out, RecordingWriter::Limits limits)
        : writer_(std::make_unique<RecordingWriter>(out, limits)) {}
    Log(const std::string& path, RecordingWriter::Limits limits)
        : writer_(RecordingWriter::Open(path, limits, openError_)) {}

    // Writes the entry that `build` makes, with the time. `generation` is one the stack has just
    // reported: when it differs from the last one, a bus reset happened in between, and its own
    // entry goes first. Nothing may escape into a seam call, not even a failed allocation.
    template <typename Build>
    void Record(Build build, std::optional<UInt32> generation = std::nullopt) {
        try {
            Json entry = build();
            std::lock_guard lock(mutex_);
            const double t = Milliseconds();
            if (generation && lastGeneration_ && *generation != *lastGeneration_) {
                Json reset;
                reset["event"] = "BusReset";
                reset["previous"] = *lastGeneration_;
                reset["generation"] = *generation;
                reset["t"] = t;
                WriteLocked(reset);
            }
            if (generation) lastGeneration_ = generation;
            entry["t"] = t;
            WriteLocked(entry);
        } catch (...) {
            std::lock_guard lock(mutex_);
            ok_ = false;
        }
    }

    void Header() {
        try {
            Json header;
            header["format"] = kFormatName;
            header["version"] = kFormatVersion;
            header["created"] = UtcNow();
            std::lock_guard lock(mutex_);
            WriteLocked(header);
        } catch (...) {
            ok_ = false;
        }
    }

    // Numbers for the objects handed out, 1 up, each kind on its own.
    UInt32 NextPlugIn() {
        std::lock_guard lock(mutex_);
        return ++plugIns_;
    }
    UInt32 NextInterface() {
        std::lock_guard lock(mutex_);
        return ++interfaces_;
    }

    bool Opened() const { return writer_ != nullptr; }
    std::string Problem() {
        if (!writer_) return openError_;
        std::string problem = writer_->Problem();
        std::lock_guard lock(mutex_);
        if (problem.empty() && !ok_) problem = "an entry could not be made";
        return problem;
    }
    bool Finish() {
        if (writer_) writer_->Finish();
        return Problem().empty();
    }

  private:
    // Since the recording started, to the microsecond: for a human reading it.
    double Milliseconds() const {
        const std::chrono::duration<double, std::milli> since =
            std::chrono::steady_clock::now() - start_;
        return std::round(since.count() * 1000) / 1000;
    }

    void WriteLocked(const Json& entry) {
        // Text the stack reports (a node name) may hold any byte; it must not cost the line.
        // Each line is handed to the writer at once, which writes it as soon as it can: a session
        // that ends abruptly leaves a file readable to about its last call.
        if (writer_) writer_->Write(entry.dump(-1, ' ', false, Json::error_handler_t::replace));
    }

    std::mutex mutex_;
    std::string openError_;
    const std::unique_ptr<RecordingWriter> writer_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    UInt32 plugIns_ = 0;
    UInt32 interfaces_ = 0;
    std::optional<UInt32> lastGeneration_;
    bool ok_ = true;
};

class RecordingStack::Device : public fw::DeviceInterface {
  public:
    Device(std::shared_ptr<Log> log, std::unique_ptr<fw::DeviceInterface> inner, UInt32 number)
        : log_(std::move(log)), inner_(std::move(inner)), number_(number) {}

    IOReturn Open() override {
        const IOReturn status = inner_->Open();
        log_->Record([&] { return Call("Open", status); });
        return status;
    }

    void Close() override {
        inner_->Close();
        log_->Record([&] { return Call("Close"); });
    }

    IOReturn GetBusGeneration(UInt32& generation) override {
        const IOReturn status = inner_->GetBusGeneration(generation);
        const bool ok = status == kIOReturnSuccess;
        log_->Record(
            [&] {
                Json entry = Call("GetBusGeneration", status);
                if (ok) entry["generation"] = generation;
                return entry;
            },
            ok ? std::optional(generation) : std::nullopt);
        return status;
    }

    IOReturn GetGUID(UInt64& guid) override {
        const IOReturn status = inner_->GetGUID(guid);
        log_->Record([&] {
            Json entry = Call("GetGUID", status);
            if (status == kIOReturnSuccess) entry["guid"] = GuidText(guid);
            return entry;
        });
        return status;
    }

    UInt32 GetDevice() override {
        const UInt32 device = inner_->GetDevice();
        log_->Record([&] {
            Json entry = Call("GetDevice");
            entry["device"] = device;
            return entry;
        });
        return device;
    }

    IOReturn Read(UInt32 device, const FWAddressStruct& addr, void* buf, UInt32& size,
                  bool failOnReset, UInt32 generation) override {
        const UInt32 asked = size;
        const IOReturn status = inner_->Read(device, addr, buf, size, failOnReset, generation);
        log_->Record([&] {
            Json entry =
                TransferCall("Read", number_, device, addr, asked, failOnReset, generation);
            entry["status"] = status;
            entry["sizeReturned"] = size;
            // A failed read brought nothing back; its buffer holds whatever was there before.
            if (status == kIOReturnSuccess) entry["data"] = ToHex(buf, std::min(size, asked));
            return entry;
        });
        return status;
    }

    IOReturn Write(UInt32 device, const FWAddressStruct& addr, const void* buf, UInt32& size,
                   bool failOnReset, UInt32 generation) override {
        const UInt32 asked = size;
        const IOReturn status = inner_->Write(device, addr, buf, size, failOnReset, generation);
        log_->Record([&] {
            Json entry =
                TransferCall("Write", number_, device, addr, asked, failOnReset, generation);
            entry["data"] = ToHex(buf, asked);
            entry["status"] = status;
            entry["sizeReturned"] = size;
            return entry;
        });
        return status;
    }

    IOReturn ReadQuadlet(UInt32 device, const FWAddressStruct& addr, UInt32& value,
                         bool failOnReset, UInt32 generation) override {
        const IOReturn status = inner_->ReadQuadlet(device, addr, value, failOnReset, generation);
        log_->Record([&] {
            Json entry = TransferCall("ReadQuadlet", number_, device, addr, std::nullopt,
                                      failOnReset, generation);
            entry["status"] = status;
            if (status == kIOReturnSuccess) entry["value"] = value;
            return entry;
        });
        return status;
    }

    IOReturn WriteQuadlet(UInt32 device, const FWAddressStruct& addr, UInt32 value,
                          bool failOnReset, UInt32 generation) override {
        const IOReturn status = inner_->WriteQuadlet(device, addr, value, failOnReset, generation);
        log_->Record([&] {
            Json entry = TransferCall("WriteQuadlet", number_, device, addr, std::nullopt,
                                      failOnReset, generation);
            entry["value"] = value;
            entry["status"] = status;
            return entry;
        });
        return status;
    }

  private:
    Json Call(const char* name, std::optional<IOReturn> status = std::nullopt) const {
        Json entry;
        entry["call"] = name;
        entry["interface"] = number_;
        if (status) entry["status"] = *status;
        return entry;
    }

    std::shared_ptr<Log> log_;
    std::unique_ptr<fw::DeviceInterface> inner_;
    UInt32 number_;
};

class RecordingStack::Plug : public fw::PlugIn {
  public:
    Plug(std::shared_ptr<Log> log, std::unique_ptr<fw::PlugIn> inner, UInt32 number)
        : log_(std::move(log)), inner_(std::move(inner)), number_(number) {}

    IOReturn QueryInterface(std::unique_ptr<fw::DeviceInterface>& device) override {
        std::unique_ptr<fw::DeviceInterface> inner;
        const IOReturn status = inner_->QueryInterface(inner);
        std::optional<UInt32> number;
        if (status == kIOReturnSuccess && inner) {
            number = log_->NextInterface();
            device = std::make_unique<Device>(log_, std::move(inner), *number);
        }
        log_->Record([&] {
            Json entry;
            entry["call"] = "QueryInterface";
            entry["plugIn"] = number_;
            entry["status"] = status;
            if (number) entry["interface"] = *number;
            return entry;
        });
        return status;
    }

  private:
    std::shared_ptr<Log> log_;
    std::unique_ptr<fw::PlugIn> inner_;
    UInt32 number_;
};

RecordingStack::RecordingStack(fw::FireWireStack& inner, const std::string& path,
                               RecordingWriter::Limits limits)
    : inner_(inner), log_(std::make_shared<Log>(path, limits)) {
    log_->Header();
}

RecordingStack::RecordingStack(fw::FireWireStack& inner, std::ostream& out,
                               RecordingWriter::Limits limits)
    : inner_(inner), log_(std::make_shared<Log>(out, limits)) {
    log_->Header();
}

RecordingStack::~RecordingStack() {
    log_->Finish();
}

bool RecordingStack::Opened() const {
    return log_->Opened();
}

bool RecordingStack::Ok() const {
    return log_->Problem().empty();
}

std::string RecordingStack::Problem() const {
    return log_->Problem();
}

bool RecordingStack::Finish() {
    return log_->Finish();
}

fw::UnitHandle RecordingStack::Inner(fw::UnitHandle unit) const {
    return unit.stack == this ? fw::UnitHandle{&inner_, unit.unit} : unit;
}

IOReturn RecordingStack::FindUnit(UInt32 specifierId, UInt32 softwareVersion,
                                  fw::UnitHandle& unit) {
    fw::UnitHandle found;
    const IOReturn status = inner_.FindUnit(specifierId, softwareVersion, found);
    unit = found ? fw::UnitHandle{this, found.unit} : fw::UnitHandle{};
    log_->Record([&] {
        Json entry;
        entry["call"] = "FindUnit";
        entry["specifierId"] = specifierId;
        entry["softwareVersion"] = softwareVersion;
        entry["status"] = status;
        entry["unit"] = UnitField(found);
        return entry;
    });
    return status;
}

IOReturn RecordingStack::FindUnits(UInt32 specifierId, UInt32 softwareVersion,
                                   std::vector<fw::UnitHandle>& units) {
    std::vector<fw::UnitHandle> found;
    const IOReturn status = inner_.FindUnits(specifierId, softwareVersion, found);
    units.clear();
    for (const fw::UnitHandle unit : found) units.push_back(fw::UnitHandle{this, unit.unit});
    log_->Record([&] {
        Json entry;
        entry["call"] = "FindUnits";
        entry["specifierId"] = specifierId;
        entry["softwareVersion"] = softwareVersion;
        entry["status"] = status;
        entry["units"] = Json::array();
        for (const fw::UnitHandle unit : found) entry["units"].push_back(unit.unit);
        return entry;
    });
    return status;
}

IOReturn RecordingStack::CreatePlugIn(fw::UnitHandle unit, std::unique_ptr<fw::PlugIn>& plugIn) {
    std::unique_ptr<fw::PlugIn> inner;
    const IOReturn status = inner_.CreatePlugIn(Inner(unit), inner);
    std::optional<UInt32> number;
    if (status == kIOReturnSuccess && inner) {
        number = log_->NextPlugIn();
        plugIn = std::make_unique<Plug>(log_, std::move(inner), *number);
    }
    log_->Record([&] {
        Json entry;
        entry["call"] = "CreatePlugIn";
        entry["unit"] = UnitField(unit);
        entry["status"] = status;
        if (number) entry["plugIn"] = *number;
        return entry;
    });
    return status;
}

fw::BusFacts RecordingStack::Facts(fw::UnitHandle unit) {
    fw::BusFacts facts = inner_.Facts(Inner(unit));
    log_->Record([&] {
        Json entry;
        entry["call"] = "Facts";
        entry["unit"] = UnitField(unit);
        entry["controllers"] = facts.controllers;
        entry["node"] = facts.node;
        entry["holder"] = facts.holder;
        entry["seat"] = facts.seat;
        return entry;
    });
    return facts;
}

int RecordingStack::BusChangeDescriptor() {
    return inner_.BusChangeDescriptor();
}

}  // namespace recording
