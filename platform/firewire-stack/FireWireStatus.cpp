#include "FireWireStatus.h"

namespace fw {
namespace {

struct Entry {
    ResponseCode code;
    IOReturn status;
    const char* name;
};

constexpr Entry kTable[] = {
    {ResponseCode::kComplete, kIOReturnSuccess, "complete"},
    {ResponseCode::kConflictError, kIOFireWireConflictError, "conflict error"},
    {ResponseCode::kDataError, kIOFireWireDataError, "data error"},
    {ResponseCode::kTypeError, kIOFireWireTypeError, "type error"},
    {ResponseCode::kAddressError, kIOFireWireAddressError, "address error"},
    {ResponseCode::kSendError, kIOFireWireSendError, "send error"},
    {ResponseCode::kCancelled, kIOFireWireCancelled, "cancelled"},
    {ResponseCode::kBusy, kIOFireWireBusy, "busy"},
    {ResponseCode::kGeneration, kIOFireWireBusReset, "stale generation"},
    {ResponseCode::kNoAck, kIOFireWireNoAck, "no ack"},
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

const char* ResponseCodeName(ResponseCode code) {
    for (const Entry& entry : kTable) {
        if (entry.code == code) return entry.name;
    }
    return "reserved response code";
}

}  // namespace fw
