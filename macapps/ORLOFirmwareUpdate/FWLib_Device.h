// The program's only door to the FireWire bus: one object per unit that discovery found, wrapping
// that unit's device interface from the FireWire stack.
#pragma once

#include <memory>

#include "FireWireStack.h"

namespace FWLib {

class Device {
  public:
    // Builds the device interface for `service` through the stack that found it. Throws
    // std::exception, after a line on standard error, when the unit cannot be reached or its
    // interface cannot be obtained; nothing stays allocated then.
    explicit Device(io_service_t service);
    // Releases the interface without closing it: callers close first.
    virtual ~Device();

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Open claims the unit for this client for a series of transfers, Close gives the claim up.
    // While a Claim is held they only trace: the claim stays until ReleaseClaim.
    IOReturn Open();
    void Close();
    // Claims the unit across several Open/Close pairs, so that no other program can take it in
    // between (an update of both images). kIOReturnExclusiveAccess: another holder has it.
    IOReturn Claim();
    void ReleaseClaim();
    // Needs no Open.
    IOReturn GetBusGeneration(UInt32& generation) const;
    // The GUID of the unit's node (the EUI-64 of its configuration ROM): which device this is,
    // wherever it sits on the bus. Needs no Open.
    IOReturn GetGUID(UInt64& guid) const;

    // Transfers to the unit's node. `abs` true addresses the node in `addr.nodeID` instead of this
    // object's own device. `failOnReset` and `generation` pass to the stack unchanged (see
    // fw::DeviceInterface). Block transfers take the byte count in `size` and leave the count
    // transferred there. The stack's status comes back unchanged.
    IOReturn Read(const FWAddressStruct& addr, void* buf, UInt32& size, bool abs, bool failOnReset,
                  UInt32 generation) const;
    IOReturn Write(const FWAddressStruct& addr, const void* buf, UInt32& size, bool abs,
                   bool failOnReset, UInt32 generation) const;
    IOReturn ReadQuadlet(const FWAddressStruct& addr, UInt32& value, bool abs, bool failOnReset,
                         UInt32 generation) const;
    IOReturn WriteQuadlet(const FWAddressStruct& addr, UInt32 val, bool abs, bool failOnReset,
                          UInt32 generation);

  protected:
    std::unique_ptr<fw::PlugIn> mIOCFPlugInInterface;
    std::unique_ptr<fw::DeviceInterface> mDevice;

  private:
    // The device handle for a transfer: this object's own node, or 0 for absolute addressing.
    UInt32 Target(bool abs) const { return abs ? 0 : mDevice->GetDevice(); }

    bool mClaimed = false;
};

}  // namespace FWLib
