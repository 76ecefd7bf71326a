// The FireWire stack on Linux: libudev is the registry, the kernel's firewire-cdev character
// devices (/dev/fwN, one per node) carry the transfers.
//
// A unit is a `fwN.M` device on the "firewire" bus whose sysfs attributes `specifier_id` and
// `version` carry its unit directory keys; its parent is the node `fwN`, whose device file
// /dev/fwN is what gets opened. Every call is synchronous and bounded in time (see StackOptions).
//
// The registry is read again only after udev has announced a change on the "firewire" bus (a
// udev monitor), or at every lookup where no monitor can be had.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FireWireStack.h"

namespace linuxfw {

struct StackOptions {
    // The longest one transfer may take from the first send to its response. A request made
    // "whatever the generation" that meets a bus reset waits, within this bound, for the bus to
    // settle (up to about a second on a real bus) and is sent again; a bus that keeps resetting
    // fails it with kIOFireWireBusReset. The kernel itself gives up on a request after the split
    // timeout (100 ms by default) and reports it as cancelled; this bound also catches what it
    // does not (a node file that stops delivering events at all).
    std::chrono::milliseconds transferTimeout{2000};
};

// The status for a failed system call: ENODEV (the node is gone, i.e. unplugged) gives
// kIOReturnNoDevice, EACCES/EPERM kIOReturnNotPermitted, ETIMEDOUT kIOReturnTimeout; see the
// table in the source for the rest.
IOReturn StatusFromErrno(int error);

class LinuxFireWireStack final : public fw::FireWireStack {
  public:
    explicit LinuxFireWireStack(StackOptions options = {});
    ~LinuxFireWireStack() override;

    LinuxFireWireStack(const LinuxFireWireStack&) = delete;
    LinuxFireWireStack& operator=(const LinuxFireWireStack&) = delete;

    // Looks up the units on the "firewire" bus with udev, matching the sysattrs as the kernel
    // prints them ("0x%06x"), in syspath order. Fails when udev cannot be set up or its
    // enumeration fails (no "firewire" bus at all is an empty bus). Answers from the last reading
    // of the registry while udev has announced no change since.
    IOReturn FindUnits(UInt32 specifierId, UInt32 softwareVersion,
                       std::vector<fw::UnitHandle>& units) override;
    // Opens the unit's node file read-write. Fails with kIOReturnNoDevice when the unit has gone
    // since it was found, and with the errno's status when the file cannot be opened (no udev
    // rule giving access: kIOReturnNotPermitted).
    IOReturn CreatePlugIn(fw::UnitHandle unit, std::unique_ptr<fw::PlugIn>& plugIn) override;

    // The controllers are the cards that the nodes in sysfs hang from (every card has at least
    // its own local node). The holder is read from /proc/locks: the process whose flock is on
    // the unit's node file. The seat is the node's udev property ID_SEAT.
    fw::BusFacts Facts(fw::UnitHandle unit) override;

    // The udev monitor's socket: readable once udev has announced a change on the "firewire" bus
    // (a node or unit added, changed or removed). -1 where no monitor could be had.
    int BusChangeDescriptor() override;

    // The device file of the node that carries a found unit, e.g. "/dev/fw1"; empty for a
    // handle this stack did not give out.
    std::string DeviceNode(fw::UnitHandle unit) const;

  private:
    struct Unit {
        std::string syspath;      // the unit, /sys/.../fwN/fwN.M
        std::string nodeSyspath;  // its node, /sys/.../fwN
        std::string deviceNode;   // /dev/fwN
    };
    // A unit as the registry showed it, with its unit directory keys as sysfs prints them.
    struct Listed {
        Unit unit;
        UInt32 specifierId, version;  // the unit directory's keys
    };
    class Monitor;

    // Reads the registry again if udev has announced a change since the last reading, or if
    // there is no monitor. Callers hold mutex_.
    IOReturn RefreshLocked();

    StackOptions options_;
    mutable std::mutex mutex_;
    std::unique_ptr<Monitor> monitor_;  // null: none could be had
    // The last reading of the registry: every unit on the bus, and the number of controllers.
    bool listedValid_ = false;
    std::vector<Listed> listed_;
    UInt32 controllers_ = 0;
    // Handle number n names units_[n - 1]. A unit found again keeps its number, so polling the
    // registry does not grow this list; entries of unplugged units stay, and CreatePlugIn refuses
    // them.
    std::vector<Unit> units_;
};

}  // namespace linuxfw
