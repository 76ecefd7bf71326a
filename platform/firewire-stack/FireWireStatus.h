// IEEE 1394 response codes and the one table that turns them into IOReturn statuses. Both stacks
// use it, so a fault reads the same whether it came from the kernel or from the simulated bus.
#pragma once

#include "FireWireTypes.h"

namespace fw {

// Values as on the wire (IEEE 1394-1995, 6.2.4.10) for 0x0..0x7; the Linux FireWire core reports
// link-level outcomes with the values from 0x10 (linux/firewire-constants.h), and so do we.
enum class ResponseCode : UInt32 {
    kComplete = 0x0,
    kConflictError = 0x4,  // the node could not take the request in its present state
    kDataError = 0x5,      // the data were refused (e.g. a CRC the unit does not accept)
    kTypeError = 0x6,      // the node does not support this kind of transaction there
    kAddressError = 0x7,   // nothing at that address
    kSendError = 0x10,     // the request could not be sent
    kCancelled = 0x11,     // no response within the split timeout, or the request was cancelled
    kBusy = 0x12,          // the node stayed busy through all retries
    kGeneration = 0x13,    // the request carried a stale bus generation
    kNoAck = 0x14,         // no node acknowledged the request
};

// kIOReturnSuccess for kComplete; a distinct non-zero status for every other code.
IOReturn StatusFromResponseCode(ResponseCode code);
IOReturn StatusFromResponseCode(UInt32 code);

}  // namespace fw
