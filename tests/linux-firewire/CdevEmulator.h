// An emulated FireWire bus for the Linux stack's tests: umockdev fakes the sysfs tree (a card, its
// nodes fwN with /dev/fwN, their units fwN.M) and hands every ioctl() and read() on a /dev/fwN to
// this object, which answers as the kernel's firewire-cdev would, with a model of the update unit
// behind each node (the same model the simulated bus uses).
//
// Every event is laid out byte for byte as the kernel's drivers/firewire/core-cdev.c lays it out
// for a client of ABI 4 (see BuildResponseEvent), so a stack that reads the wrong offset fails here
// as it would on a real machine. One difference: with no event pending, the kernel's read() blocks
// whatever O_NONBLOCK says; ours fails with EAGAIN, since the emulator must not block its thread.
//
// Needs the umockdev preload library (run under umockdev-wrapper). umockdev serves the emulated
// files from a thread of its own, and resets settle on another; one lock guards everything here,
// so tests may inject faults and read the log from their own thread. Other processes started
// under the same environment reach the same emulated nodes (as further clients).
#pragma once

#include <linux/firewire-cdev.h>
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "UpdateUnitModel.h"

namespace cdevemu {

using Milliseconds = std::chrono::milliseconds;
// A bus reset that never settles: the bus keeps resetting.
constexpr Milliseconds kNeverSettles = Milliseconds::max();

// One request as it reached the emulated bus.
struct Request {
    std::string deviceNode;  // the /dev/fwN it was sent through
    unsigned client = 0;     // which open file sent it: 1, 2, ... in the order they were opened
    std::uint32_t tcode = 0;
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> payload;  // write data, in bus order
    std::uint32_t generation = 0;       // the generation the request carried
    std::uint32_t rcode = 0;            // the response code it got (none: see `answered`)
    bool answered = true;
};

// What a node does beyond what its model answers.
struct NodeFaults {
    // Response codes given, in turn, to the next requests instead of the model's answer.
    std::deque<std::uint32_t> rcodes;
    // Bus resets that begin just before the n-th request to this node (counted from 1), each
    // taking the given time to settle. The n-th request meets the reset: it is not sent, and the
    // kernel answers RCODE_GENERATION (see Emulator::BusReset).
    std::map<unsigned, Milliseconds> busResetBeforeRequest;
    // The n-th request to this node is taken and the node vanishes: no response, and every
    // later ioctl() and read() fails with ENODEV. 0: never.
    unsigned unplugAtRequest = 0;
    // Requests are taken and never answered (the node file delivers no response event).
    bool noResponse = false;
    // When the n-th file of this node is opened (counted from the Configure call that set this),
    // the node has just changed: with a swapGuid another device has taken its place (see
    // Emulator::Swap) and the file reaches it, without one it has been unplugged. 0: never.
    unsigned changeAtOpen = 0;
    std::optional<std::uint64_t> swapGuid;
};

class Emulator {
  public:
    static constexpr std::uint32_t kLocalNodeId = 0xFFC0;

    Emulator();
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Whether this process runs with the umockdev preload library. Create an Emulator first:
    // umockdev decides once, when first asked.
    static bool Preloaded();

    // The GUID a node gets unless told otherwise: kFirstGuid + its index.
    static constexpr std::uint64_t kFirstGuid = 0x0A4F52FF'FE000000;

    // Adds node /dev/fw<index> with `nodeId` under card `card` (0, 1, ...); returns its syspath.
    // Its configuration ROM carries the GUID, in GET_INFO's copy and in sysfs (`guid`).
    // Every device added or unplugged is announced to udev monitors, as the kernel announces it.
    std::string AddNode(unsigned card, unsigned index, std::uint16_t nodeId);
    // Adds unit fw<index>.<unit> under that node with these unit directory keys.
    std::string AddUnit(unsigned index, unsigned unit, std::uint32_t specifierId,
                        std::uint32_t version);
    // Gives a unit (by syspath) other unit directory keys, as a node's configuration ROM may
    // change at a bus reset; the kernel announces it ("change"). `announced` false leaves the
    // announcement out, which the kernel never does: to see that a stack waits for it.
    // umockdev gives up (aborts) on a monitor with more than net.unix.max_dgram_qlen (10)
    // announcements unread: look between so many changes.
    void ChangeUnitKeys(const std::string& unit, std::uint32_t specifierId, std::uint32_t version,
                        bool announced = true);
    // Adds an update unit node: the node, and a unit with the update unit's keys.
    std::string AddUpdateUnitNode(unsigned card, unsigned index, std::uint16_t nodeId);

    // Changes the model or the faults behind a node, under the lock the emulator answers under.
    void Configure(const std::string& deviceNode,
                   const std::function<void(sim::UpdateUnitModel&, NodeFaults&)>& change);
    // The model behind a node, to look at between transfers.
    const sim::UpdateUnitModel& Model(const std::string& deviceNode);
    // The ABI version the emulated kernel reports (5 unless changed).
    void SetKernelAbi(std::uint32_t version);

    // A bus reset on `card`, as the kernel goes through one. Until it settles, every request
    // fails with RCODE_GENERATION and GET_INFO still reports the old generation (the kernel has
    // not finished self-identification). Once settled, the generation is one higher, node IDs
    // stay, and every client of the card's nodes that asked for bus-reset events gets one.
    // `settle` 0 settles at once; kNeverSettles keeps the bus resetting for good. A reset begun
    // while another is settling extends it.
    void BusReset(unsigned card = 0, Milliseconds settle = Milliseconds{0});
    std::uint32_t Generation(unsigned card = 0);
    // Unplugs a node: its files fail with ENODEV from now on and it leaves sysfs.
    void Unplug(const std::string& deviceNode);
    // Another device takes the node's place, as when one is unplugged and the kernel gives the
    // next one the same fwN: files opened before fail with ENODEV, files opened after reach a
    // fresh model with no faults, and the ROM and sysfs carry `guid`.
    void Swap(const std::string& deviceNode, std::uint64_t guid);
    std::uint64_t Guid(const std::string& deviceNode);
    // Takes every permission off the node's device file, as on a system without our udev rule.
    void DenyAccess(const std::string& deviceNode);
    // Gives the node a udev property, as a rule would (ID_SEAT, say).
    void SetProperty(const std::string& deviceNode, const std::string& name,
                     const std::string& value);

    std::vector<Request> Log();
    void ClearLog();

  private:
    using Clock = std::chrono::steady_clock;

    struct Client {
        std::string deviceNode;
        unsigned number = 0;
        unsigned incarnation = 0;  // the node's when the file was opened
        bool busResetEvents = false;
        std::uint64_t busResetClosure = 0;
        std::deque<std::vector<std::uint8_t>> events;
    };
    struct Card {
        std::uint32_t generation = 1;
        bool resetting = false;
        Clock::time_point settlesAt;  // while resetting; Clock::time_point::max(): never
    };
    struct Node {
        std::string syspath;
        std::vector<std::string> units;  // syspaths
        std::string deviceNode;
        unsigned card = 0;
        std::uint16_t nodeId = 0;
        int master = -1;  // the pty behind /dev/fwN: test side, owned by the testbed
        int slave = -1;   // our own handle on the client side, to drain it
        std::string pty;  // the file the device file leads to
        bool readable = false;
        bool gone = false;
        std::uint64_t guid = 0;
        unsigned incarnation = 0;  // one more each time another device takes the node's place
        unsigned opens = 0;
        unsigned requests = 0;
        sim::UpdateUnitModel model;
        NodeFaults faults;
    };

    static gboolean OnIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
    static gboolean OnRead(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
    static void OnConnected(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);

    // Callers hold mutex_.
    fw_cdev_event_bus_reset BusResetEvent(const Client& client, const Node& node);
    void GetInfo(UMockdevIoctlClient* client, Client& state, Node& node);
    void SendRequest(UMockdevIoctlClient* client, Client& state, Node& node);
    void SwapLocked(Node& node, std::uint64_t guid);
    void UnplugLocked(Node& node);
    void ResetLocked(unsigned card, Milliseconds settle);
    void SettleLocked(unsigned card);
    void SettleResets();  // the settling thread's body
    void QueueEvent(Client& client, std::vector<std::uint8_t> event);
    void UpdateReadable(Node& node);
    Node& NodeFor(const std::string& deviceNode);

    std::mutex mutex_;
    UMockdevTestbed* testbed_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;
    std::map<std::string, Node> nodes_;  // by device node
    std::map<UMockdevIoctlClient*, Client> clients_;
    std::map<unsigned, Card> cards_;
    unsigned clientsConnected_ = 0;
    std::uint32_t kernelAbi_ = 5;
    std::vector<Request> log_;
    std::condition_variable resetBegun_;
    bool stopping_ = false;
    std::thread settler_;  // last: starts once everything above exists
};

}  // namespace cdevemu
