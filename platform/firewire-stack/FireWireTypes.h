// Scalar types and the address record shared by everything that talks to the FireWire bus.
#pragma once

#include <cstdint>

// Every integer the update protocol deals in is 32 bits wide; `unsigned long` would be 64 on LP64.
using UInt32 = std::uint32_t;
using ULWord = std::uint32_t;
using UInt16 = std::uint16_t;
using UInt64 = std::uint64_t;

// Status of every device operation: 0 is success, anything else a failure passed up unchanged.
using IOReturn = std::int32_t;

constexpr IOReturn kIOReturnSuccess = 0;

// Failure statuses a FireWire stack reports. The values are distinct so a log line tells which
// fault occurred; callers only ever distinguish 0 from non-zero.
constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);             // general failure
constexpr IOReturn kIOReturnNoMemory = static_cast<IOReturn>(0xE00002BD);          // allocation failed
constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0);          // unit gone (unplugged)
constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2);       // invalid request
constexpr IOReturn kIOReturnExclusiveAccess = static_cast<IOReturn>(0xE00002C5);   // held by another client
constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7);       // e.g. kernel ABI too old
constexpr IOReturn kIOReturnIOError = static_cast<IOReturn>(0xE00002CA);           // transport failure
constexpr IOReturn kIOReturnNotPermitted = static_cast<IOReturn>(0xE00002E2);      // no access to the node
constexpr IOReturn kIOReturnTimeout = static_cast<IOReturn>(0xE00002D6);           // no answer in time
// One status per IEEE 1394 response code (see FireWireStatus.h for the mapping).
constexpr IOReturn kIOFireWireConflictError = static_cast<IOReturn>(0xE0008014);
constexpr IOReturn kIOFireWireDataError = static_cast<IOReturn>(0xE0008015);
constexpr IOReturn kIOFireWireTypeError = static_cast<IOReturn>(0xE0008016);
constexpr IOReturn kIOFireWireAddressError = static_cast<IOReturn>(0xE0008017);
constexpr IOReturn kIOFireWireSendError = static_cast<IOReturn>(0xE0008020);
constexpr IOReturn kIOFireWireCancelled = static_cast<IOReturn>(0xE0008021);
constexpr IOReturn kIOFireWireBusy = static_cast<IOReturn>(0xE0008022);
constexpr IOReturn kIOFireWireBusReset = static_cast<IOReturn>(0xE0008023);  // stale generation
constexpr IOReturn kIOFireWireNoAck = static_cast<IOReturn>(0xE0008024);

// A FireWire address: the node and the 48-bit offset within that node's address space.
struct FWAddressStruct {
    UInt16 nodeID;     // bus and node number; only absolute transfers use it
    UInt16 addressHi;  // upper 16 bits of the 48-bit offset
    UInt32 addressLo;  // lower 32 bits

    // Filler that marks an address nobody has set yet.
    FWAddressStruct() : nodeID(0), addressHi(0xDEAD), addressLo(0xCAFEBABE) {}
    FWAddressStruct(UInt16 hi, UInt32 lo) : nodeID(0), addressHi(hi), addressLo(lo) {}

    std::uint64_t Offset() const { return (std::uint64_t{addressHi} << 32) | addressLo; }
};

namespace fw {
class FireWireStack;

// Names one unit found in a FireWire stack's registry. A default-constructed handle names nothing
// (the registry found no unit). It is a plain value: it owns nothing and may outlive the unit, in
// which case the stack refuses to build a device interface from it.
struct UnitHandle {
    FireWireStack* stack = nullptr;
    UInt32 unit = 0;  // the stack's own name for the unit, meaningful only to that stack

    explicit operator bool() const { return stack != nullptr; }
};
}  // namespace fw

// The platform's name for a registry entry; device objects are built from one.
using io_service_t = fw::UnitHandle;
