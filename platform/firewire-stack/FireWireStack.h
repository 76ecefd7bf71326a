// The one seam between this program and a FireWire bus.
//
// Everything above it (FWLib::Device and the update unit's register protocol) reaches the bus only
// through the three interfaces below. Two stacks implement them: the Linux one (libudev for the
// registry, the firewire-cdev character devices for transfers) and a simulated bus that models the
// update unit for tests, benchmarks and the demo.
//
// Threads: a stack may be asked for units and plug-ins from any thread. Each PlugIn and
// DeviceInterface it hands out is used by one thread at a time (its owner's).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "FireWireTypes.h"

namespace fw {

// The FireWire device interface of one unit: open/close, the bus generation, and transfers to the
// unit's node. It is what FWLib::Device wraps; destroying it releases the interface without
// closing it (the owner closes first).
class DeviceInterface {
  public:
    virtual ~DeviceInterface() = default;

    // Claims the unit for this client. Fails with kIOReturnExclusiveAccess while another client
    // (this process or another) has it open, kIOReturnNoDevice when the unit is gone. Transfers
    // do not require it: like the platform it replaces, a stack does not refuse a transfer
    // because the caller did not open first. So whoever writes holds the claim for as long as
    // its writes belong together, and nobody transfers while another client holds it.
    virtual IOReturn Open() = 0;
    // Gives up the claim. Harmless when not open.
    virtual void Close() = 0;

    // The bus generation now in force; it grows by one at every bus reset. Needs no Open.
    virtual IOReturn GetBusGeneration(UInt32& generation) = 0;

    // A non-zero handle of this interface's own node, for device-relative transfers.
    virtual UInt32 GetDevice() = 0;

    // The GUID of the unit's node: the EUI-64 that quadlets 3 and 4 (high, then low) of the bus
    // information block in its configuration ROM carry, as the stack read the ROM when the node
    // appeared. It names the device, not its place on the bus: when another device takes the
    // unit's place (its node file, its handle), interfaces built before fail with
    // kIOReturnNoDevice, and those built after give the newcomer's GUID. Needs no Open; fails
    // with kIOReturnNoDevice once the node is gone and kIOReturnUnsupported for a ROM without a
    // bus information block.
    virtual IOReturn GetGUID(UInt64& guid) = 0;

    // Transfers. Common arguments:
    // - device: the value of GetDevice() sends the request to this interface's own node, whatever
    //   addr.nodeID holds. 0 asks for absolute addressing: the request goes to the node named by
    //   addr.nodeID on the same bus.
    // - addr: the 48-bit offset within the node (addressHi:addressLo).
    // - failOnReset: true makes the request fail with kIOFireWireBusReset, without sending it,
    //   when `generation` is no longer the bus's current generation. False makes the request
    //   whatever the generation (the stack uses the current one); `generation` is then advisory.
    // - generation: the bus generation the caller believes current (from GetBusGeneration).
    // Each call is synchronous and bounded in time: it returns when the response has arrived or
    // the request has failed; a unit that never answers gives kIOReturnTimeout (or a response
    // failure status), never a hang. A failed response code maps through StatusFromResponseCode.
    // Nothing is retried above the link layer.

    // Block read of `size` bytes into `buf`. On success `size` holds the number of bytes the
    // response carried, which may be fewer than asked; on failure it is unspecified.
    virtual IOReturn Read(UInt32 device, const FWAddressStruct& addr, void* buf, UInt32& size,
                          bool failOnReset, UInt32 generation) = 0;
    // Block write of `size` bytes from `buf`; bytes travel in buffer order. On success `size`
    // holds the number written.
    virtual IOReturn Write(UInt32 device, const FWAddressStruct& addr, const void* buf,
                           UInt32& size, bool failOnReset, UInt32 generation) = 0;
    // Quadlet transfers. IEEE 1394 quadlets are big-endian: the first byte on the bus is the most
    // significant byte of `value`.
    virtual IOReturn ReadQuadlet(UInt32 device, const FWAddressStruct& addr, UInt32& value,
                                 bool failOnReset, UInt32 generation) = 0;
    virtual IOReturn WriteQuadlet(UInt32 device, const FWAddressStruct& addr, UInt32 value,
                                  bool failOnReset, UInt32 generation) = 0;
};

// The stack's handle on one unit, from which its device interface is obtained. Building a device
// is two steps, each of which can fail on its own: reaching the unit (CreatePlugIn) and agreeing
// on the interface with it (QueryInterface).
class PlugIn {
  public:
    virtual ~PlugIn() = default;

    // Obtains the unit's device interface. On success `device` holds it; on failure `device` is
    // left empty and the status says why (e.g. kIOReturnUnsupported for an unknown kernel ABI).
    virtual IOReturn QueryInterface(std::unique_ptr<DeviceInterface>& device) = 0;
};

// What only the stack knows about the machine and a unit: for telling a user why the unit cannot
// be reached, and whose desktop it belongs to. Nothing here is used to reach it.
struct BusFacts {
    UInt32 controllers = 0;  // FireWire controllers (cards) on the machine
    std::string node;    // the unit's node as the system names it (e.g. "/dev/fw1"); may be empty
    std::string holder;  // who else holds the unit's claim, e.g. "pid 4242, kdenlive"; may be empty
    // The seat the unit's node is attached to (a multi-seat machine gives each seat its own
    // devices): the user of that seat's active session is the one whose programs may be using
    // the unit. "seat0", every machine's first seat, unless the system assigns the node another;
    // empty only for an empty handle.
    std::string seat;
};

class FireWireStack {
  public:
    virtual ~FireWireStack() = default;

    // The device registry: `unit` names the first unit on the bus whose unit directory carries
    // this unit specifier ID and unit software version, or is left empty when there is none
    // (kIOReturnSuccess either way). A registry that cannot be read gives its own failure status,
    // so that it never looks like an empty bus. Each call sees the bus as it is now, so a unit
    // plugged in later is found and an unplugged one is not: a stack may answer from what it last
    // read of its registry only while the system has announced no change since.
    virtual IOReturn FindUnit(UInt32 specifierId, UInt32 softwareVersion, UnitHandle& unit) {
        std::vector<UnitHandle> units;
        const IOReturn status = FindUnits(specifierId, softwareVersion, units);
        unit = units.empty() ? UnitHandle{} : units.front();
        return status;
    }
    // Every such unit, in the registry's order (FindUnit gives the first).
    virtual IOReturn FindUnits(UInt32 specifierId, UInt32 softwareVersion,
                               std::vector<UnitHandle>& units) = 0;

    // Reaches the unit that `unit` names. On success `plugIn` holds the plug-in; on failure (the
    // unit is gone, no access to its node) it is left empty and the status says why.
    virtual IOReturn CreatePlugIn(UnitHandle unit, std::unique_ptr<PlugIn>& plugIn) = 0;

    // The facts above, as of now; `unit` may be empty (then only `controllers` is filled). Any
    // thread, any time; it changes nothing and takes no claim.
    virtual BusFacts Facts(UnitHandle unit) = 0;

    // Word that the bus may have changed, for an owner with an event loop: a descriptor that
    // polls readable (POLLIN) once units may have come or gone since the stack last looked, and
    // stays so until the next FindUnit, FindUnits or Facts, which looks and makes it unreadable
    // again. So an owner can look again at once instead of at its next poll; one that is told
    // must look (or stop watching), or it is told again and again. It may be readable for a
    // change that concerns no unit the owner looks for, and it never replaces the poll. The stack
    // owns it, for its whole life; -1 when the stack cannot tell (poll alone then).
    virtual int BusChangeDescriptor() { return -1; }
};

}  // namespace fw
