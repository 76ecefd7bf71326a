#include "ReplayStack.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "RecordingFormat.h"

namespace recording {
namespace {

Json Named(const char* call) {
    Json made;
    made["call"] = call;
    return made;
}

Json UnitField(fw::UnitHandle unit) {
    return unit ? Json(unit.unit) : Json(nullptr);
}

// An integer result, which must be there and fit; `key` names it when it is not.
template <typename T>
T Number(const Json* value, std::string_view key) {
    if (value != nullptr && value->is_number_unsigned()) {
        if (const auto number = value->get<std::uint64_t>(); std::in_range<T>(number)) {
            return static_cast<T>(number);
        }
    } else if (value != nullptr && value->is_number_integer()) {
        if (const auto number = value->get<std::int64_t>(); std::in_range<T>(number)) {
            return static_cast<T>(number);
        }
    }
    throw std::runtime_error("no \"" + std::string(key) + "\" of its type");
}

template <typename T>
T Number(const Json& entry, const char* key) {
    const auto found = entry.find(key);
    return Number<T>(found != entry.end() ? &*found : nullptr, key);
}

IOReturn Status(const Json& entry) {
    return Number<IOReturn>(entry, "status");
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// A call as a line of the report: its name and arguments, addresses and values in hex, long data
// cut short. Against `other` (the call recorded), data that differ say from which byte.
std::string Describe(const Json& call, const Json* other = nullptr) {
    const std::string name = call.value("call", std::string("?"));
    std::string text = name + "(";
    const std::vector<std::string_view>* keys = ArgumentKeys(name);
    bool first = true;
    for (const std::string_view key : keys != nullptr ? *keys : std::vector<std::string_view>{}) {
        const auto found = call.find(key);
        if (found == call.end()) continue;
        text += first ? "" : ", ";
        first = false;
        text += std::string(key) + " ";
        if (found->is_number_unsigned() &&
            (key == "addressHi" || key == "addressLo" || key == "value")) {
            text += Hex(found->get<std::uint64_t>());
        } else if (key == "data" && found->is_string()) {
            const std::string& data = found->get_ref<const std::string&>();
            text += data.size() > 32 ? data.substr(0, 32) + "..." : data;
            text += " (" + std::to_string(data.size() / 2) + " bytes)";
            const auto theirs = other != nullptr ? other->find(key) : call.end();
            if (other != nullptr && theirs != other->end() && theirs->is_string() &&
                *theirs != *found) {
                const std::string& recorded = theirs->get_ref<const std::string&>();
                std::size_t at = 0;
                while (at < data.size() && at < recorded.size() && data[at] == recorded[at]) ++at;
                text += " differing from byte " + std::to_string(at / 2);
            }
        } else {
            text += found->dump();
        }
    }
    return text + ")";
}

}  // namespace

// The recorded calls and how far the replay has come.
class ReplayStack::Script {
  public:
    void Load(std::istream& in) {
        try {
            std::string text;
            std::size_t line = 0;
            while (std::getline(in, text)) {
                ++line;
                if (line > 1 && text.find_first_not_of(" \t\r") == std::string::npos) continue;
                Json entry = Json::parse(text, nullptr, false);
                if (entry.is_discarded() || !entry.is_object()) {
                    return Refuse("line " + std::to_string(line) + " is no JSON object");
                }
                if (line == 1) {
                    if (!Accepted(entry)) return;
                    continue;
                }
                if (entry.value("event", std::string()) == "Incomplete") {
                    // The recording stopped here (RecordingWriter): the end of what it holds.
                    const auto reason = entry.find("reason");
                    incomplete_ = reason != entry.end() && reason->is_string()
                                      ? reason->get<std::string>()
                                      : std::string("no reason given");
                    continue;
                }
                if (entry.contains("event")) continue;  // what happened on the bus, not a call
                const auto call = entry.find("call");
                if (call == entry.end() || !call->is_string() ||
                    ArgumentKeys(call->get_ref<const std::string&>()) == nullptr) {
                    return Refuse("line " + std::to_string(line) + " is no call of the stack");
                }
                calls_.push_back({line, std::move(entry)});
            }
            if (line == 0) return Refuse("the recording is empty");
            end_ = line + 1;
        } catch (const std::exception& error) {
            Refuse(std::string("the recording cannot be read: ") + error.what());
        }
    }

    void Refuse(std::string why) {
        std::lock_guard lock(mutex_);
        calls_.clear();
        error_ = std::move(why);
        std::cerr << "Replay: recording refused: " << error_ << "\n";
    }

    // One call: `made` builds it; when it is the next call recorded, `apply` hands the caller the
    // recorded results from that entry and gives what the call returns; otherwise, or when the
    // entry cannot be read, the call gives `failure`. Nothing escapes into the seam call.
    template <typename Made, typename Apply, typename Result>
    Result Serve(Made made, Apply apply, Result failure) noexcept {
        try {
            const Json call = made();
            std::lock_guard lock(mutex_);
            const Call* expected = NextLocked(call);
            if (expected == nullptr) return failure;
            try {
                return apply(expected->entry);
            } catch (const std::exception& error) {
                ReportLocked(expected->line,
                             Describe(expected->entry) + ", whose results cannot be read (" +
                                 error.what() + ")",
                             Describe(call));
                return failure;
            }
        } catch (...) {
            return failure;
        }
    }

    bool Loaded() const {
        std::lock_guard lock(mutex_);
        return error_.empty();
    }
    std::string Error() const {
        std::lock_guard lock(mutex_);
        return error_;
    }
    std::optional<Mismatch> First() const {
        std::lock_guard lock(mutex_);
        return first_;
    }
    bool Finished() const {
        std::lock_guard lock(mutex_);
        return error_.empty() && next_ == calls_.size();
    }
    std::optional<std::string> Incomplete() const {
        std::lock_guard lock(mutex_);
        return incomplete_;
    }

  private:
    struct Call {
        std::size_t line;
        Json entry;
    };

    bool Accepted(const Json& header) {
        const auto format = header.find("format");
        const auto version = header.find("version");
        if (format != header.end() && *format == kFormatName && version != header.end() &&
            version->is_number_integer() && *version == kFormatVersion) {
            return true;
        }
        Refuse("line 1 names format " + (format != header.end() ? format->dump() : "none") +
               " version " + (version != header.end() ? version->dump() : "none") +
               "; this replay reads " + kFormatName + " version " + std::to_string(kFormatVersion));
        return false;
    }

    const Call* NextLocked(const Json& call) {
        if (!error_.empty()) {
            ReportLocked(0, "nothing (the recording was refused: " + error_ + ")", Describe(call));
            return nullptr;
        }
        if (first_) {
            std::cerr << "Replay: " << Describe(call) << " refused: the replay stopped at line "
                      << first_->line << "\n";
            return nullptr;
        }
        if (next_ == calls_.size()) {
            ReportLocked(
                end_,
                incomplete_ ? "the end of the recording, which is incomplete (" + *incomplete_ + ")"
                            : std::string("the end of the recording"),
                Describe(call));
            return nullptr;
        }
        const Call& expected = calls_[next_];
        if (!Matches(expected.entry, call)) {
            ReportLocked(expected.line, Describe(expected.entry), Describe(call, &expected.entry));
            return nullptr;
        }
        ++next_;
        return &expected;
    }

    static bool Matches(const Json& recorded, const Json& call) {
        if (recorded.value("call", std::string()) != call.at("call")) return false;
        for (const std::string_view key : *ArgumentKeys(call.at("call").get<std::string>())) {
            const auto theirs = recorded.find(key);
            if (theirs == recorded.end() || *theirs != call.at(key)) return false;
        }
        return true;
    }

    void ReportLocked(std::size_t line, std::string expected, std::string made) {
        std::cerr << "Replay: line " << line << " of the recording expected " << expected
                  << ", the call made was " << made << "\n";
        if (!first_) first_ = Mismatch{line, std::move(expected), std::move(made)};
    }

    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::size_t next_ = 0;
    std::size_t end_ = 0;                    // the line after the last
    std::optional<std::string> incomplete_;  // why the recording stopped early
    std::string error_;
    std::optional<Mismatch> first_;
};

class ReplayStack::Device : public fw::DeviceInterface {
  public:
    Device(std::shared_ptr<Script> script, UInt32 number)
        : script_(std::move(script)), number_(number) {}

    IOReturn Open() override {
        return script_->Serve([&] { return Made("Open"); }, Status, kIOReturnError);
    }

    void Close() override {
        script_->Serve([&] { return Made("Close"); }, [](const Json&) { return 0; }, 0);
    }

    IOReturn GetBusGeneration(UInt32& generation) override {
        return script_->Serve([&] { return Made("GetBusGeneration"); },
                              [&](const Json& entry) {
                                  const IOReturn status = Status(entry);
                                  if (status == kIOReturnSuccess)
                                      generation = Number<UInt32>(entry, "generation");
                                  return status;
                              },
                              kIOReturnError);
    }

    IOReturn GetGUID(UInt64& guid) override {
        return script_->Serve([&] { return Made("GetGUID"); },
                              [&](const Json& entry) {
                                  const IOReturn status = Status(entry);
                                  if (status != kIOReturnSuccess) return status;
                                  const auto read =
                                      GuidFromText(entry.at("guid").get<std::string>());
                                  if (!read) throw std::runtime_error("bad \"guid\"");
                                  guid = *read;
                                  return status;
                              },
                              kIOReturnError);
    }

    UInt32 GetDevice() override {
        return script_->Serve([&] { return Made("GetDevice"); },
                              [](const Json& entry) { return Number<UInt32>(entry, "device"); },
                              UInt32{0});
    }

    IOReturn Read(UInt32 device, const FWAddressStruct& addr, void* buf, UInt32& size,
                  bool failOnReset, UInt32 generation) override {
        return script_->Serve(
            [&] {
                return TransferCall("Read", number_, device, addr, size, failOnReset, generation);
            },
            [&](const Json& entry) {
                const IOReturn status = Status(entry);
                const UInt32 returned = Number<UInt32>(entry, "sizeReturned");
                // No stack returns more than was asked: such a line is no session of one.
                if (returned > size) throw std::runtime_error("\"sizeReturned\" above \"size\"");
                if (entry.contains("data")) {
                    const auto bytes = FromHex(entry.at("data").get<std::string>());
                    if (!bytes || bytes->size() > size) throw std::runtime_error("bad \"data\"");
                    std::memcpy(buf, bytes->data(), bytes->size());
                }
                size = returned;
                return status;
            },
            kIOReturnError);
    }

    IOReturn Write(UInt32 device, const FWAddressStruct& addr, const void* buf, UInt32& size,
                   bool failOnReset, UInt32 generation) override {
        return script_->Serve(
            [&] {
                Json call =
                    TransferCall("Write", number_, device, addr, size, failOnReset, generation);
                call["data"] = ToHex(buf, size);
                return call;
            },
            [&](const Json& entry) {
                const IOReturn status = Status(entry);
                size = Number<UInt32>(entry, "sizeReturned");
                return status;
            },
            kIOReturnError);
    }

    IOReturn ReadQuadlet(UInt32 device, const FWAddressStruct& addr, UInt32& value,
                         bool failOnReset, UInt32 generation) override {
        return script_->Serve(
            [&] {
                return TransferCall("ReadQuadlet", number_, device, addr, std::nullopt, failOnReset,
                                    generation);
            },
            [&](const Json& entry) {
                const IOReturn status = Status(entry);
                if (status == kIOReturnSuccess) value = Number<UInt32>(entry, "value");
                return status;
            },
            kIOReturnError);
    }

    IOReturn WriteQuadlet(UInt32 device, const FWAddressStruct& addr, UInt32 value,
                          bool failOnReset, UInt32 generation) override {
        return script_->Serve(
            [&] {
                Json call = TransferCall("WriteQuadlet", number_, device, addr, std::nullopt,
                                         failOnReset, generation);
                call["value"] = value;
                return call;
            },
            Status, kIOReturnError);
    }

  private:
    Json Made(const char* name) const {
        Json call = Named(name);
        call["interface"] = number_;
        return call;
    }

    std::shared_ptr<Script> script_;
    UInt32 number_;
};

class ReplayStack::Plug : public fw::PlugIn {
  public:
    Plug(std::shared_ptr<Script> script, UInt32 number)
        : script_(std::move(script)), number_(number) {}

    IOReturn QueryInterface(std::unique_ptr<fw::DeviceInterface>& device) override {
        return script_->Serve(
            [&] {
                Json call = Named("QueryInterface");
                call["plugIn"] = number_;
                return call;
            },
            [&](const Json& entry) {
                const IOReturn status = Status(entry);
                if (status == kIOReturnSuccess) {
                    device = std::make_unique<Device>(script_, Number<UInt32>(entry, "interface"));
                }
                return status;
            },
            kIOReturnError);
    }

  private:
    std::shared_ptr<Script> script_;
    UInt32 number_;
};

ReplayStack::ReplayStack(const std::string& path) : script_(std::make_shared<Script>()) {
    std::ifstream in(path, std::ios::binary);
    if (in) {
        script_->Load(in);
    } else {
        script_->Refuse("cannot open " + path);
    }
}

ReplayStack::ReplayStack(std::istream& in) : script_(std::make_shared<Script>()) {
    script_->Load(in);
}

ReplayStack::~ReplayStack() = default;

bool ReplayStack::Loaded() const {
    return script_->Loaded();
}
std::string ReplayStack::LoadError() const {
    return script_->Error();
}
bool ReplayStack::Failed() const {
    return script_->First().has_value();
}
std::optional<ReplayStack::Mismatch> ReplayStack::FirstMismatch() const {
    return script_->First();
}
bool ReplayStack::Finished() const {
    return script_->Finished();
}

std::optional<std::string> ReplayStack::Incomplete() const {
    return script_->Incomplete();
}

IOReturn ReplayStack::FindUnit(UInt32 specifierId, UInt32 softwareVersion, fw::UnitHandle& unit) {
    unit = {};
    return script_->Serve(
        [&] {
            Json call = Named("FindUnit");
            call["specifierId"] = specifierId;
            call["softwareVersion"] = softwareVersion;
            return call;
        },
        [&](const Json& entry) {
            const IOReturn status = Status(entry);
            if (entry.at("unit").is_null()) {
                unit = {};
            } else {
                unit = fw::UnitHandle{this, Number<UInt32>(entry, "unit")};
            }
            return status;
        },
        kIOReturnError);
}

IOReturn ReplayStack::FindUnits(UInt32 specifierId, UInt32 softwareVersion,
                                std::vector<fw::UnitHandle>& units) {
    units.clear();
    return script_->Serve(
        [&] {
            Json call = Named("FindUnits");
            call["specifierId"] = specifierId;
            call["softwareVersion"] = softwareVersion;
            return call;
        },
        [&](const Json& entry) {
            const IOReturn status = Status(entry);
            const Json& numbers = entry.at("units");
            if (!numbers.is_array()) throw std::runtime_error("no \"units\" list");
            std::vector<fw::UnitHandle> found;
            for (const Json& number : numbers) {
                found.push_back(fw::UnitHandle{this, Number<UInt32>(&number, "units")});
            }
            units = std::move(found);
            return status;
        },
        kIOReturnError);
}

IOReturn ReplayStack::CreatePlugIn(fw::UnitHandle unit, std::unique_ptr<fw::PlugIn>& plugIn) {
    return script_->Serve(
        [&] {
            Json call = Named("CreatePlugIn");
            call["unit"] = UnitField(unit);
            return call;
        },
        [&](const Json& entry) {
            const IOReturn status = Status(entry);
            if (status == kIOReturnSuccess) {
                plugIn = std::make_unique<Plug>(script_, Number<UInt32>(entry, "plugIn"));
            }
            return status;
        },
        kIOReturnError);
}

fw::BusFacts ReplayStack::Facts(fw::UnitHandle unit) {
    return script_->Serve(
        [&] {
            Json call = Named("Facts");
            call["unit"] = UnitField(unit);
            return call;
        },
        [](const Json& entry) {
            fw::BusFacts facts;
            facts.controllers = Number<UInt32>(entry, "controllers");
            facts.node = entry.at("node").get<std::string>();
            facts.holder = entry.at("holder").get<std::string>();
            // Recorded before the seat was: the node was on the first seat unless said otherwise.
            facts.seat = entry.value("seat", facts.node.empty() ? "" : "seat0");
            return facts;
        },
        fw::BusFacts{});
}

}  // namespace recording
