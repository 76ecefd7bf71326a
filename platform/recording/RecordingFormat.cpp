#include "RecordingFormat.h"

#include <map>

namespace recording {

const std::vector<std::string_view>* ArgumentKeys(std::string_view call) {
    using Keys = std::vector<std::string_view>;
    // In the order the entries carry them, so that a report reads like the line it names.
    static const Keys kQuadlet = {"interface", "device",      "nodeID",    "addressHi",
                                  "addressLo", "failOnReset", "generation"};
    static const Keys kBlock = {"interface", "device", "nodeID",      "addressHi",
                                "addressLo", "size",   "failOnReset", "generation"};
    static const auto with = [](Keys keys, std::string_view more) {
        keys.push_back(more);
        return keys;
    };
    static const std::map<std::string_view, Keys> kCalls = {
        {"FindUnit", {"specifierId", "softwareVersion"}},
        {"FindUnits", {"specifierId", "softwareVersion"}},
        {"CreatePlugIn", {"unit"}},
        {"QueryInterface", {"plugIn"}},
        {"Facts", {"unit"}},
        {"Open", {"interface"}},
        {"Close", {"interface"}},
        {"GetBusGeneration", {"interface"}},
        {"GetDevice", {"interface"}},
        {"GetGUID", {"interface"}},
        {"Read", kBlock},
        {"Write", with(kBlock, "data")},
        {"ReadQuadlet", kQuadlet},
        {"WriteQuadlet", with(kQuadlet, "value")},
    };
    const auto found = kCalls.find(call);
    return found != kCalls.end() ? &found->second : nullptr;
}

Json TransferCall(std::string_view name, UInt32 interfaceNumber, UInt32 device,
                  const FWAddressStruct& addr, std::optional<UInt32> size, bool failOnReset,
                  UInt32 generation) {
    Json call;
    call["call"] = name;
    call["interface"] = interfaceNumber;
    call["device"] = device;
    call["nodeID"] = addr.nodeID;
    call["addressHi"] = addr.addressHi;
    call["addressLo"] = addr.addressLo;
    if (size) call["size"] = *size;
    call["failOnReset"] = failOnReset;
    call["generation"] = generation;
    return call;
}

std::string GuidText(UInt64 guid) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(guid >> (56 - 8 * i));
    return ToHex(bytes, sizeof bytes);
}

std::optional<UInt64> GuidFromText(std::string_view text) {
    const auto bytes = FromHex(text);
    if (!bytes || bytes->size() != 8) return std::nullopt;
    UInt64 guid = 0;
    for (const std::uint8_t byte : *bytes) guid = guid << 8 | byte;
    return guid;
}

std::string ToHex(const void* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::string hex(2 * size, '0');
    for (std::size_t i = 0; i < size; ++i) {
        hex[2 * i] = kDigits[bytes[i] >> 4];
        hex[2 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    return hex;
}

std::optional<std::vector<std::uint8_t>> FromHex(std::string_view hex) {
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes(hex.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = digit(hex[2 * i]);
        const int low = digit(hex[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return bytes;
}

}  // namespace recording
