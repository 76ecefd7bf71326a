// What the recording and the replay stacks agree on: the header, the arguments of each call, and
// how a transfer's arguments and data are written. See README.md for the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FireWireTypes.h"

namespace recording {

// Keys keep the order they were written in, so a line reads call first, results last.
using Json = nlohmann::ordered_json;

inline constexpr char kFormatName[] = "orlo-firewire-recording";
inline constexpr int kFormatVersion = 1;

// The argument keys of a call: a replay matches a call on its name and these; every other field
// of its entry is a result. nullptr for a name that is no call of the seam.
const std::vector<std::string_view>* ArgumentKeys(std::string_view call);

// The call name and arguments common to the four transfers; `size` for the block transfers only.
// Both stacks build a transfer's arguments here, so a replay compares exactly what was recorded.
Json TransferCall(std::string_view name, UInt32 interfaceNumber, UInt32 device,
                  const FWAddressStruct& addr, std::optional<UInt32> size, bool failOnReset,
                  UInt32 generation);

// A GUID as 16 lower-case hex digits (a JSON number would lose digits in many readers).
std::string GuidText(UInt64 guid);
std::optional<UInt64> GuidFromText(std::string_view text);

// Transfer data as lower-case hex, two digits a byte.
std::string ToHex(const void* data, std::size_t size);
std::optional<std::vector<std::uint8_t>> FromHex(std::string_view hex);

}  // namespace recording
