#include "FireWireStatus.h"

namespace fw {
namespace {

struct Entry {
    ResponseCode code;
    IOReturn status;
};

constexpr Entry kTable[] = {
    {ResponseCode::kComplete, kIOReturnSuccess},
    {ResponseCode::kConflictError, kIOFireWireConflictError},
    {ResponseCode::kDataError, kIOFireWireDataError},
    {ResponseCode::kTypeError, kIOFireWireTypeError},
    {ResponseCode::kAddressError, kIOFireWireAddressError},
    {ResponseCode::kSendError, kIOFireWireSendError},
    {ResponseCode::kCancelled, kIOFireWireCancelled},
    {ResponseCode::kBusy, kIOFireWireBusy},
    {ResponseCode::kGeneration, kIOFireWireBusReset},
    {ResponseCode::kNoAck, kIOFireWireNoAck},
};

}  // namespace

IOReturn StatusFromResponseCode(ResponseCode code) {
    for (const Entry& entry : kTable) {
        if (entry.code == code) return entry.status;
    }
    return kIOReturnIOError;  // a code the standard reserves
}

IOReturn StatusFromResponseCode(UInt32 code) {
    return StatusFromResponseCode(static_cast<ResponseCode>(code));
}

}  // namespace fw
