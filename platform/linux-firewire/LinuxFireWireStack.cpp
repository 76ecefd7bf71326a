#include "LinuxFireWireStack.h"

#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>

#include "FireWireStatus.h"

namespace linuxfw {
namespace {

using Clock = std::chrono::steady_clock;

// What this file relies on from the kernel's firewire-cdev (linux/firewire-cdev.h and
// drivers/firewire/core-cdev.c), checked against both:
//
// - FW_CDEV_IOC_GET_INFO. In: `version` is the ABI we speak; the kernel keeps it per file, and
//   below 6 it sends FW_CDEV_EVENT_RESPONSE (no timestamps). `rom` 0 copies no config ROM.
//   `bus_reset`, when set, receives the first 36 bytes (the unpadded size) of a bus-reset event
//   with the node's generation and node ID as of now, and the first call registers the file for
//   bus-reset events, tagged with `bus_reset_closure`. Out: `version` is the kernel's ABI, `card`
//   the card's index. `rom`, when set, receives the first `rom_length` bytes (at most the ROM's
//   size) of the kernel's copy of the node's configuration ROM, read when the node appeared: an
//   array of quadlets in the CPU's byte order (core-device.c's read_rom() converts each from
//   big-endian); `rom_length` comes back as the ROM's whole size. Its bus information block
//   opens it: quadlet 1 reads "1394", quadlets 3 and 4 are the GUID (the node's sysfs `guid`
//   prints the same two quadlets, "0x%08x%08x"). The copy belongs to the file's node for the
//   file's life: another device in its place gets a node (and file) of its own.
// - FW_CDEV_IOC_SEND_REQUEST. The request goes to the file's node at its current node ID;
//   `length` at most 4096 (and 512 << speed) or the ioctl fails with EIO; a quadlet write must
//   carry 4 bytes. `data` is copied during the ioctl, so the buffer may go once it returns; a read
//   passes none. `closure` comes back in the response. `generation` is checked before the packet
//   goes out: a stale one is never sent and is answered with RCODE_GENERATION, as is a packet
//   the controller flushed at a bus reset. Such a request is sent again here. (Should a reset cut
//   a transmission short, the node may have taken it; a block sent twice then fails the unit's
//   CRC check, it does not pass unseen.) A request answered otherwise, RCODE_CANCELLED after the
//   split timeout included, may have reached the node and is never repeated.
// - Every request gets exactly one FW_CDEV_EVENT_RESPONSE, whatever happens to it. Its layout:
//   closure (0), type (8), rcode (12), length (16), data at offsetof(data) = 20, and
//   sizeof(struct fw_cdev_event_response) = 24 on LP64. `length` is the smaller of the request's
//   length and what the response carried (0 for a write, and for a failure), and `data` holds
//   the response's bytes only for RCODE_COMPLETE. read() delivers the structure and `length`
//   bytes from `data` on, so a response of more than 4 bytes ends 4 bytes after its data; for at
//   most 4 bytes the kernel appends a second copy at offset 24 for pre-2.6.27 clients. The data
//   are read at offsetof(data) in both cases.
// - FW_CDEV_EVENT_BUS_RESET arrives once the kernel has updated the node after the reset, which
//   may be up to about a second after it (self-identification, then re-reading config ROMs).
//   GET_INFO sees the new generation a little earlier, when self-identification is done. Until
//   then every request fails with RCODE_GENERATION.
// - read() returns one event, cut to the buffer; with none pending it waits, whatever
//   O_NONBLOCK says, so we read only after poll() has reported POLLIN. poll() reports
//   POLLHUP | POLLERR once the node is gone; every call then fails with ENODEV.

// The ABI we ask for in FW_CDEV_IOC_GET_INFO: events as laid out in version 4. Newer kernels keep
// that layout for clients that ask for 4 (FW_CDEV_EVENT_RESPONSE, not RESPONSE2).
constexpr __u32 kClientAbi = 4;
// The oldest kernel ABI accepted: 4 (Linux 2.6.36) is the oldest this code was written against.
constexpr __u32 kOldestKernelAbi = 4;

// The largest block a request may carry: 4096 bytes is the asynchronous payload limit at S800,
// and the event buffer below is sized for it.
constexpr UInt32 kMaxPayload = 4096;

// The bus information block: its first quadlet (lengths and CRC), the bus name, the capabilities
// and the two GUID quadlets.
constexpr std::size_t kBusInfoQuadlets = 5;
constexpr __u32 kBusName1394 = 0x31333934;  // "1394"

// Any value works as the closure of our bus-reset events; responses carry their own counter.
constexpr __u64 kBusResetClosure = 0x0B5E7;

// While a bus reset settles: how soon GET_INFO is asked again, doubling up to the longest pause.
constexpr std::chrono::milliseconds kFirstSettlePoll{2};
constexpr std::chrono::milliseconds kLongestSettlePoll{50};

constexpr std::size_t kResponseDataAt = offsetof(fw_cdev_event_response, data);
// A bus-reset event up to its last field, without the padding.
constexpr std::size_t kBusResetSize = offsetof(fw_cdev_event_bus_reset, generation) + sizeof(__u32);

struct UdevDeleter {
    void operator()(udev* handle) const { udev_unref(handle); }
    void operator()(udev_enumerate* handle) const { udev_enumerate_unref(handle); }
    void operator()(udev_device* handle) const { udev_device_unref(handle); }
    void operator()(udev_monitor* handle) const { udev_monitor_unref(handle); }
    void operator()(udev_queue* handle) const { udev_queue_unref(handle); }
};
using Udev = std::unique_ptr<udev, UdevDeleter>;
using UdevEnumerate = std::unique_ptr<udev_enumerate, UdevDeleter>;
using UdevDevice = std::unique_ptr<udev_device, UdevDeleter>;
using UdevMonitor = std::unique_ptr<udev_monitor, UdevDeleter>;
using UdevQueue = std::unique_ptr<udev_queue, UdevDeleter>;

// Announcements taken in one go before the rest count as lost (the registry is read again).
constexpr int kMostAnnouncementsAtOnce = 256;

// libudev reports failures in errno (or as a negative errno); some paths leave it unset.
IOReturn RegistryFailure(int error) {
    return error != 0 ? StatusFromErrno(error) : kIOReturnError;
}

// A unit attribute the kernel shows as "0x%06x" (specifier_id, version); nothing for any other
// text. Read once a listing, so that a lookup compares numbers.
std::optional<UInt32> HexAttribute(const char* text) {
    const std::string_view value(text != nullptr ? text : "");
    if (value.size() < 3 || value.substr(0, 2) != "0x") return std::nullopt;
    UInt32 number = 0;
    const auto [end, error] =
        std::from_chars(value.data() + 2, value.data() + value.size(), number, 16);
    if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
    return number;
}

// One open /dev/fwN: the file, what the kernel last told us about the bus, and the event stream.
// Shared by a plug-in and the device interfaces obtained from it; used by one thread at a time.
class NodeFile {
  public:
    NodeFile(int fd, const StackOptions& options) : fd_(fd), options_(options) {}
    ~NodeFile() { ::close(fd_); }

    NodeFile(const NodeFile&) = delete;
    NodeFile& operator=(const NodeFile&) = delete;

    static IOReturn Open(const std::string& path, const StackOptions& options,
                         std::shared_ptr<NodeFile>& node) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return StatusFromErrno(errno);
        node = std::make_shared<NodeFile>(fd, options);
        return kIOReturnSuccess;
    }

    // FW_CDEV_IOC_GET_INFO: the node's generation, node ID and card as of now. The first call
    // also starts the bus-reset events.
    IOReturn RefreshInfo() {
        __u32 romLength = 0;
        return GetInfo(nullptr, romLength);
    }

    // The GUID from the node's configuration ROM, as GET_INFO copies it.
    IOReturn ReadGuid(UInt64& guid) {
        std::array<__u32, kBusInfoQuadlets> rom{};
        __u32 romLength = sizeof rom;
        const IOReturn status = GetInfo(rom.data(), romLength);
        if (status != kIOReturnSuccess) return status;
        // A minimal ROM (a vendor ID alone) has no bus information block, and so no GUID.
        if (romLength < sizeof rom || rom[1] != kBusName1394) return kIOReturnUnsupported;
        guid = UInt64{rom[3]} << 32 | rom[4];
        return kIOReturnSuccess;
    }

    UInt32 generation() const { return generation_; }
    UInt32 nodeId() const { return nodeId_; }
    UInt32 card() const { return card_; }

    IOReturn Lock() {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return kIOReturnSuccess;
        return errno == EWOULDBLOCK ? kIOReturnExclusiveAccess : StatusFromErrno(errno);
    }
    void Unlock() { ::flock(fd_, LOCK_UN); }

    // One request to this node and its response. `payload`/`length` are the data sent (block
    // and quadlet writes). A response's data land in `response`, which has room for
    // `responseSize` bytes; on success `responseSize` holds the count it carried.
    IOReturn Transact(__u32 tcode, std::uint64_t offset, const void* payload, UInt32 length,
                      void* response, UInt32& responseSize, bool failOnReset, UInt32 generation) {
        if (length > kMaxPayload || responseSize > kMaxPayload) return kIOReturnBadArgument;
        const Clock::time_point deadline = Clock::now() + options_.transferTimeout;
        UInt32 sendGeneration = failOnReset ? generation : generation_;
        for (;;) {
            fw_cdev_send_request request{};
            request.tcode = tcode;
            request.length = length;
            request.offset = offset;
            request.closure = ++closure_;
            request.data = reinterpret_cast<__u64>(payload);
            request.generation = sendGeneration;
            if (::ioctl(fd_, FW_CDEV_IOC_SEND_REQUEST, &request) < 0) return StatusFromErrno(errno);

            UInt32 rcode = 0;
            UInt32 carried = responseSize;  // every attempt has the whole room
            const IOReturn status =
                AwaitResponse(request.closure, deadline, rcode, response, carried);
            if (status != kIOReturnSuccess) return status;
            if (rcode == RCODE_GENERATION && !failOnReset) {
                // The request was never sent: wait for the bus to settle, then send it again
                // under the new generation, for as long as the deadline allows.
                const IOReturn settled = AwaitNewGeneration(sendGeneration, deadline);
                if (settled != kIOReturnSuccess) return settled;
                if (Clock::now() >= deadline) return kIOFireWireBusReset;
                sendGeneration = generation_;
                continue;
            }
            if (rcode == RCODE_COMPLETE) responseSize = carried;
            return fw::StatusFromResponseCode(rcode);
        }
    }

  private:
    // GET_INFO, copying up to `romLength` bytes of the ROM to `rom` when it is set; `romLength`
    // then holds the ROM's whole size.
    IOReturn GetInfo(__u32* rom, __u32& romLength) {
        fw_cdev_event_bus_reset reset{};
        fw_cdev_get_info info{};
        info.version = kClientAbi;
        info.rom = reinterpret_cast<__u64>(rom);
        info.rom_length = rom != nullptr ? romLength : 0;
        info.bus_reset = reinterpret_cast<__u64>(&reset);
        info.bus_reset_closure = kBusResetClosure;
        if (::ioctl(fd_, FW_CDEV_IOC_GET_INFO, &info) < 0) return StatusFromErrno(errno);
        if (info.version < kOldestKernelAbi) return kIOReturnUnsupported;
        card_ = info.card;
        romLength = info.rom_length;
        TakeBusReset(reset);
        return kIOReturnSuccess;
    }

    void TakeBusReset(const fw_cdev_event_bus_reset& reset) {
        generation_ = reset.generation;
        nodeId_ = reset.node_id;
    }

    // Waits until `until` for one event and reads it into events_, taking a bus reset on the
    // way. `size` is the event's size, 0 when none came in time.
    IOReturn ReadEvent(Clock::time_point until, std::size_t& size) {
        size = 0;
        for (;;) {
            // Past `until`, one look without waiting: an event already there is still taken.
            const auto left = std::max<std::int64_t>(
                0, std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count());
            pollfd watch{fd_, POLLIN, 0};
            const int ready = ::poll(&watch, 1, static_cast<int>(left));
            if (ready < 0) {
                if (errno == EINTR && left > 0) continue;
                return errno == EINTR ? kIOReturnSuccess : StatusFromErrno(errno);
            }
            if (ready == 0) return kIOReturnSuccess;
            // A node that has gone reports POLLHUP|POLLERR; the read then fails with ENODEV.
            const ssize_t got = ::read(fd_, events_.data(), sizeof events_);
            if (got < 0) {
                if (errno != EAGAIN && errno != EINTR) return StatusFromErrno(errno);
                if (left == 0) return kIOReturnSuccess;
                continue;
            }
            size = static_cast<std::size_t>(got);
            fw_cdev_event_common common{};
            if (size >= sizeof common) std::memcpy(&common, events_.data(), sizeof common);
            if (size >= kBusResetSize && common.type == FW_CDEV_EVENT_BUS_RESET) {
                fw_cdev_event_bus_reset reset{};
                std::memcpy(&reset, events_.data(), kBusResetSize);
                TakeBusReset(reset);
            }
            return kIOReturnSuccess;
        }
    }

    // Reads events until the response with `closure`. Responses to earlier requests that timed
    // out here are dropped. `size` in: room at `response`; out: bytes the response carried.
    IOReturn AwaitResponse(__u64 closure, Clock::time_point deadline, UInt32& rcode, void* response,
                           UInt32& size) {
        for (;;) {
            std::size_t got = 0;
            const IOReturn status = ReadEvent(deadline, got);
            if (status != kIOReturnSuccess) return status;
            if (got == 0) return kIOReturnTimeout;
            fw_cdev_event_common common{};
            if (got < sizeof common) continue;
            std::memcpy(&common, events_.data(), sizeof common);
            if (common.type != FW_CDEV_EVENT_RESPONSE || common.closure != closure) continue;

            fw_cdev_event_response header{};
            if (got < kResponseDataAt) return kIOReturnIOError;
            std::memcpy(&header, events_.data(), kResponseDataAt);
            rcode = header.rcode;
            const std::size_t carried = std::min<std::size_t>(header.length, got - kResponseDataAt);
            size = rcode == RCODE_COMPLETE
                       ? static_cast<UInt32>(std::min<std::size_t>(size, carried))
                       : 0;
            if (size > 0) std::memcpy(response, events_.data() + kResponseDataAt, size);
            return kIOReturnSuccess;
        }
    }

    // After RCODE_GENERATION: until the bus has a generation other than `stale`, as GET_INFO or
    // a bus-reset event tells, asking again a little later each time. A bus that has not settled
    // by `deadline` fails the transfer with kIOFireWireBusReset.
    IOReturn AwaitNewGeneration(UInt32 stale, Clock::time_point deadline) {
        std::chrono::milliseconds pause = kFirstSettlePoll;
        for (;;) {
            const IOReturn status = RefreshInfo();
            if (status != kIOReturnSuccess) return status;
            if (generation_ != stale) return kIOReturnSuccess;
            if (Clock::now() >= deadline) return kIOFireWireBusReset;
            std::size_t got = 0;
            const IOReturn waited = ReadEvent(std::min(deadline, Clock::now() + pause), got);
            if (waited != kIOReturnSuccess) return waited;
            pause = std::min(pause * 2, kLongestSettlePoll);
        }
    }

    const int fd_;
    const StackOptions options_;
    UInt32 generation_ = 0;
    UInt32 nodeId_ = 0;
    UInt32 card_ = 0;
    __u64 closure_ = 0;
    // One event: the largest is a response carrying a full payload.
    alignas(8) std::array<std::uint8_t, sizeof(fw_cdev_event_response) + kMaxPayload> events_{};
};

// Absolute addressing needs the device file of another node. The kernel shows no node ID in
// sysfs, so the candidates are the nodes under the same card (the siblings of our node in the
// device tree, each with a /dev/fwN); each is opened and asked for its node ID with GET_INFO.
IOReturn OpenNodeById(const std::string& ownNodeSyspath, UInt32 card, UInt16 nodeId,
                      const StackOptions& options, std::shared_ptr<NodeFile>& found) {
    Udev context(udev_new());
    if (!context) return kIOReturnNoMemory;
    UdevDevice own(udev_device_new_from_syspath(context.get(), ownNodeSyspath.c_str()));
    if (!own) return kIOReturnNoDevice;
    udev_device* cardDevice = udev_device_get_parent(own.get());  // owned by `own`
    if (cardDevice == nullptr) return kIOReturnNoDevice;
    const std::string cardSyspath = udev_device_get_syspath(cardDevice);

    UdevEnumerate enumerate(udev_enumerate_new(context.get()));
    if (!enumerate) return kIOReturnNoMemory;
    udev_enumerate_add_match_subsystem(enumerate.get(), "firewire");
    udev_enumerate_add_match_parent(enumerate.get(), cardDevice);
    udev_enumerate_scan_devices(enumerate.get());
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        UdevDevice candidate(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!candidate) continue;
        udev_device* parent = udev_device_get_parent(candidate.get());
        const char* deviceNode = udev_device_get_devnode(candidate.get());
        if (parent == nullptr || deviceNode == nullptr ||
            cardSyspath != udev_device_get_syspath(parent)) {
            continue;  // a unit, or a node on another card
        }
        std::shared_ptr<NodeFile> node;
        if (NodeFile::Open(deviceNode, options, node) != kIOReturnSuccess) continue;
        if (node->RefreshInfo() != kIOReturnSuccess) continue;
        if (node->card() == card && node->nodeId() == nodeId) {
            found = std::move(node);
            return kIOReturnSuccess;
        }
    }
    return kIOFireWireNoAck;  // nobody with that node ID: as the bus reports a missing node
}

class Device final : public fw::DeviceInterface {
  public:
    Device(std::shared_ptr<NodeFile> node, std::string nodeSyspath, UInt32 handle,
           const StackOptions& options)
        : node_(std::move(node)),
          nodeSyspath_(std::move(nodeSyspath)),
          handle_(handle),
          options_(options) {}

    // Releasing an interface that is still open drops its claim, as closing the file would.
    ~Device() override {
        if (open_) node_->Unlock();
    }

    // The claim is an advisory lock on the open node file: another open file of the same node,
    // in this process or another, cannot take it until we give it up.
    IOReturn Open() override {
        const IOReturn status = node_->Lock();
        if (status == kIOReturnSuccess) open_ = true;
        return status;
    }
    void Close() override {
        node_->Unlock();
        open_ = false;
    }

    IOReturn GetBusGeneration(UInt32& generation) override {
        const IOReturn status = node_->RefreshInfo();
        if (status == kIOReturnSuccess) generation = node_->generation();
        return status;
    }

    IOReturn GetGUID(UInt64& guid) override { return node_->ReadGuid(guid); }

    UInt32 GetDevice() override { return handle_; }

    IOReturn Read(UInt32 device, const FWAddressStruct& addr, void* buf, UInt32& size,
                  bool failOnReset, UInt32 generation) override {
        return WithTarget(device, addr, [&](NodeFile& node) {
            return node.Transact(TCODE_READ_BLOCK_REQUEST, addr.Offset(), nullptr, size, buf, size,
                                 failOnReset, generation);
        });
    }

    IOReturn Write(UInt32 device, const FWAddressStruct& addr, const void* buf, UInt32& size,
                   bool failOnReset, UInt32 generation) override {
        return WithTarget(device, addr, [&](NodeFile& node) {
            UInt32 none = 0;
            return node.Transact(TCODE_WRITE_BLOCK_REQUEST, addr.Offset(), buf, size, nullptr, none,
                                 failOnReset, generation);
        });
    }

    IOReturn ReadQuadlet(UInt32 device, const FWAddressStruct& addr, UInt32& value,
                         bool failOnReset, UInt32 generation) override {
        return WithTarget(device, addr, [&](NodeFile& node) {
            std::array<std::uint8_t, 4> bytes{};
            UInt32 size = bytes.size();
            const IOReturn status =
                node.Transact(TCODE_READ_QUADLET_REQUEST, addr.Offset(), nullptr, 4, bytes.data(),
                              size, failOnReset, generation);
            if (status != kIOReturnSuccess) return status;
            if (size != bytes.size()) return kIOReturnIOError;  // a quadlet response is 4 bytes
            value =
                UInt32{bytes[0]} << 24 | UInt32{bytes[1]} << 16 | UInt32{bytes[2]} << 8 | bytes[3];
            return status;
        });
    }

    IOReturn WriteQuadlet(UInt32 device, const FWAddressStruct& addr, UInt32 value,
                          bool failOnReset, UInt32 generation) override {
        return WithTarget(device, addr, [&](NodeFile& node) {
            const std::array<std::uint8_t, 4> bytes{
                static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
            UInt32 none = 0;
            return node.Transact(TCODE_WRITE_QUADLET_REQUEST, addr.Offset(), bytes.data(), 4,
                                 nullptr, none, failOnReset, generation);
        });
    }

  private:
    // Runs `transfer` on the node the request is for: our own for our handle, the node named by
    // addr.nodeID for 0 (absolute addressing).
    template <typename Transfer>
    IOReturn WithTarget(UInt32 device, const FWAddressStruct& addr, Transfer transfer) {
        if (device == handle_) return transfer(*node_);
        if (device != 0) return kIOReturnBadArgument;  // not a handle this interface gave out
        const IOReturn status = node_->RefreshInfo();
        if (status != kIOReturnSuccess) return status;
        if (addr.nodeID == node_->nodeId()) return transfer(*node_);
        std::shared_ptr<NodeFile> other;
        const IOReturn found =
            OpenNodeById(nodeSyspath_, node_->card(), addr.nodeID, options_, other);
        if (found != kIOReturnSuccess) return found;
        return transfer(*other);
    }

    std::shared_ptr<NodeFile> node_;
    const std::string nodeSyspath_;
    const UInt32 handle_;
    const StackOptions options_;
    bool open_ = false;
};

class PlugIn final : public fw::PlugIn {
  public:
    PlugIn(std::shared_ptr<NodeFile> node, std::string nodeSyspath, UInt32 handle,
           const StackOptions& options)
        : node_(std::move(node)),
          nodeSyspath_(std::move(nodeSyspath)),
          handle_(handle),
          options_(options) {}

    IOReturn QueryInterface(std::unique_ptr<fw::DeviceInterface>& device) override {
        const IOReturn status = node_->RefreshInfo();
        if (status != kIOReturnSuccess) return status;
        device = std::make_unique<Device>(node_, nodeSyspath_, handle_, options_);
        return kIOReturnSuccess;
    }

  private:
    std::shared_ptr<NodeFile> node_;
    const std::string nodeSyspath_;
    const UInt32 handle_;
    const StackOptions options_;
};

}  // namespace

IOReturn StatusFromErrno(int error) {
    switch (error) {
        case 0:
            return kIOReturnSuccess;
        case ENODEV:  // the kernel's answer on a node that has been unplugged
        case ENOENT:  // the device file went away with it
        case ENXIO:
            return kIOReturnNoDevice;
        case EACCES:
        case EPERM:
            return kIOReturnNotPermitted;
        case ETIMEDOUT:
            return kIOReturnTimeout;
        case EBUSY:
            return kIOReturnExclusiveAccess;
        case ENOMEM:
            return kIOReturnNoMemory;
        case EINVAL:
            return kIOReturnBadArgument;
        case ENOTTY:  // the file does not speak firewire-cdev
        case ENOSYS:
            return kIOReturnUnsupported;
        default:
            return kIOReturnIOError;
    }
}

// udev's announcements of changes on the "firewire" bus. Where udevd runs, its own ("udev"): it
// announces a device once its rules have run, so a node it announces already carries the access
// our rule gives it. Without udevd (a container, a minimal system) nothing comes that way, and
// libudev may not even say so; the kernel's own announcements ("kernel") are taken then.
class LinuxFireWireStack::Monitor {
  public:
    // Null when no monitor can be had (no netlink socket in a sandbox, for one).
    static std::unique_ptr<Monitor> Open() {
        Udev context(udev_new());
        if (!context) return nullptr;
        const UdevQueue queue(udev_queue_new(context.get()));
        const bool udevd = queue && udev_queue_get_udev_is_active(queue.get()) != 0;
        UdevMonitor monitor(
            udev_monitor_new_from_netlink(context.get(), udevd ? "udev" : "kernel"));
        if (!monitor ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "firewire", nullptr) <
                0 ||
            udev_monitor_enable_receiving(monitor.get()) < 0) {
            return nullptr;
        }
        const int descriptor = udev_monitor_get_fd(monitor.get());
        if (descriptor < 0) return nullptr;
        return std::unique_ptr<Monitor>(
            new Monitor(std::move(context), std::move(monitor), descriptor));
    }

    int descriptor() const { return descriptor_; }

    // Takes every announcement waiting. True when one was about the bus, or when some may have
    // been lost (the socket's buffer ran over): the registry must be read again either way.
    // libudev drops what another subsystem or sender sent, and may then report nothing although
    // more waits: hence the look at the socket before each receive.
    bool TakeChanges() {
        bool changed = false;
        for (int taken = 0; taken < kMostAnnouncementsAtOnce; ++taken) {
            pollfd waiting{descriptor_, POLLIN, 0};
            const int ready = ::poll(&waiting, 1, 0);
            if (ready == 0) return changed;
            if (ready < 0) return true;  // cannot tell
            errno = 0;
            const UdevDevice device(udev_monitor_receive_device(monitor_.get()));
            if (device || (errno != 0 && errno != EAGAIN && errno != EINTR)) changed = true;
        }
        return true;
    }

  private:
    Monitor(Udev context, UdevMonitor monitor, int descriptor)
        : context_(std::move(context)), monitor_(std::move(monitor)), descriptor_(descriptor) {}

    Udev context_;
    UdevMonitor monitor_;
    int descriptor_;
};

LinuxFireWireStack::LinuxFireWireStack(StackOptions options)
    : options_(options), monitor_(Monitor::Open()) {}

LinuxFireWireStack::~LinuxFireWireStack() = default;

int LinuxFireWireStack::BusChangeDescriptor() {
    return monitor_ ? monitor_->descriptor() : -1;
}

IOReturn LinuxFireWireStack::RefreshLocked() {
    const bool changed = monitor_ == nullptr || monitor_->TakeChanges();
    if (listedValid_ && !changed) return kIOReturnSuccess;
    listedValid_ = false;
    listed_.clear();
    controllers_ = 0;

    Udev context(udev_new());
    if (!context) return RegistryFailure(errno);
    UdevEnumerate enumerate(udev_enumerate_new(context.get()));
    if (!enumerate) return RegistryFailure(errno);
    udev_enumerate_add_match_subsystem(enumerate.get(), "firewire");
    if (const int scanned = udev_enumerate_scan_devices(enumerate.get()); scanned < 0) {
        return RegistryFailure(-scanned);
    }
    // Nodes have a device file, units the two keys of their unit directory.
    std::set<std::string> cards;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        UdevDevice device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!device) continue;  // gone since the scan
        if (udev_device_get_devnode(device.get()) != nullptr) {
            // A controller is a card that nodes hang from (every card has its own local node).
            if (udev_device* card = udev_device_get_parent(device.get())) {
                cards.insert(udev_device_get_syspath(card));
            }
            continue;
        }
        const std::optional<UInt32> specifierId =
            HexAttribute(udev_device_get_sysattr_value(device.get(), "specifier_id"));
        const std::optional<UInt32> version =
            HexAttribute(udev_device_get_sysattr_value(device.get(), "version"));
        if (!specifierId || !version) continue;
        // The unit's node is its parent on the same bus; the parent owns the reference.
        udev_device* node =
            udev_device_get_parent_with_subsystem_devtype(device.get(), "firewire", nullptr);
        const char* deviceNode = node != nullptr ? udev_device_get_devnode(node) : nullptr;
        if (deviceNode == nullptr) continue;
        listed_.push_back(
            {{udev_device_get_syspath(device.get()), udev_device_get_syspath(node), deviceNode},
             *specifierId,
             *version});
    }
    controllers_ = static_cast<UInt32>(cards.size());
    listedValid_ = true;
    return kIOReturnSuccess;
}

IOReturn LinuxFireWireStack::FindUnits(UInt32 specifierId, UInt32 softwareVersion,
                                       std::vector<fw::UnitHandle>& handles) {
    handles.clear();
    std::lock_guard lock(mutex_);
    if (const IOReturn status = RefreshLocked(); status != kIOReturnSuccess) return status;
    for (const Listed& listed : listed_) {
        if (listed.specifierId != specifierId || listed.version != softwareVersion) continue;
        std::size_t index = 0;
        while (index < units_.size() && units_[index].syspath != listed.unit.syspath) ++index;
        if (index == units_.size()) {
            units_.push_back(listed.unit);
        } else {
            units_[index] = listed.unit;
        }
        handles.push_back(fw::UnitHandle{this, static_cast<UInt32>(index + 1)});
    }
    return kIOReturnSuccess;
}

IOReturn LinuxFireWireStack::CreatePlugIn(fw::UnitHandle handle,
                                          std::unique_ptr<fw::PlugIn>& plugIn) {
    Unit unit;
    {
        std::lock_guard lock(mutex_);
        if (handle.stack != this || handle.unit == 0 || handle.unit > units_.size()) {
            return kIOReturnNoDevice;
        }
        unit = units_[handle.unit - 1];
    }
    // The handle may have outlived the unit, and /dev/fwN may by now be another node.
    Udev context(udev_new());
    if (!context) return kIOReturnNoMemory;
    UdevDevice present(udev_device_new_from_syspath(context.get(), unit.syspath.c_str()));
    if (!present) return kIOReturnNoDevice;

    std::shared_ptr<NodeFile> node;
    const IOReturn status = NodeFile::Open(unit.deviceNode, options_, node);
    if (status != kIOReturnSuccess) return status;
    plugIn = std::make_unique<PlugIn>(std::move(node), unit.nodeSyspath, handle.unit, options_);
    return kIOReturnSuccess;
}

namespace {

// Whether process `pid` has the file `id` names open with its flock on it: the kernel lists the
// locks of each open file in /proc/PID/fdinfo/N ("lock: 1: FLOCK ADVISORY WRITE ...").
bool HoldsLock(const std::string& pid, const struct stat& file, const std::string& id) {
    const std::string folder = "/proc/" + pid;
    DIR* descriptors = ::opendir((folder + "/fd").c_str());
    if (descriptors == nullptr) return false;  // gone, or another user's
    bool holds = false;
    while (const dirent* entry = ::readdir(descriptors)) {
        struct stat target {};
        if (entry->d_name[0] == '.' ||
            ::fstatat(::dirfd(descriptors), entry->d_name, &target, 0) != 0 ||
            target.st_dev != file.st_dev || target.st_ino != file.st_ino) {
            continue;
        }
        std::ifstream info(folder + "/fdinfo/" + entry->d_name);
        for (std::string line; !holds && std::getline(info, line);) {
            holds = line.rfind("lock:", 0) == 0 && line.find(" FLOCK ") != std::string::npos &&
                    line.find(" " + id + " ") != std::string::npos;
        }
        if (holds) break;
    }
    ::closedir(descriptors);
    return holds;
}

// Who holds the claim on `path`, an flock: "pid N, NAME" of a process whose open file holds it.
// The lock belongs to the open file, not to the process that took it, which may have exited
// and left the file to a child. /proc/locks names the one that took it, in lines that read
// "1: FLOCK  ADVISORY  WRITE 4242 00:05:1234 0 EOF": the pid, then the major and minor (hex) of
// the file system's device and the inode (decimal) of the file. Empty when none is known
// (another user's process is not ours to look into).
std::string FlockHolder(const std::string& path) {
    struct stat file {};
    if (::stat(path.c_str(), &file) != 0) return {};
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(file.st_dev), minor(file.st_dev),
                  static_cast<unsigned long>(file.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line, taker;
    while (taker.empty() && std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, type, advisory, access, pid, where;
        fields >> number >> type >> advisory >> access >> pid >> where;
        if (type == "FLOCK" && where == id) taker = pid;
    }
    if (taker.empty()) return {};
    std::string holder = HoldsLock(taker, file, id) ? taker : std::string();
    if (DIR* processes = holder.empty() ? ::opendir("/proc") : nullptr) {
        while (const dirent* entry = ::readdir(processes)) {
            const std::string pid = entry->d_name;
            if (pid.find_first_not_of("0123456789") == std::string::npos &&
                HoldsLock(pid, file, id)) {
                holder = pid;
                break;
            }
        }
        ::closedir(processes);
    }
    if (holder.empty()) return {};
    std::ifstream comm("/proc/" + holder + "/comm");
    std::string name;
    std::getline(comm, name);
    return "pid " + holder + (name.empty() ? "" : ", " + name);
}

// The seat of a node: its udev property ID_SEAT, which systemd's seat rules give a device, or
// its parent's, when an administrator attaches it (or the card it hangs from) to another seat
// with loginctl. The same property tells the uaccess rule whose the node's file is, so the user
// granted the node is the user at this seat. A device without it belongs to seat0.
std::string NodeSeat(const std::string& nodeSyspath) {
    constexpr char kFirstSeat[] = "seat0";
    Udev context(udev_new());
    if (!context) return kFirstSeat;
    UdevDevice node(udev_device_new_from_syspath(context.get(), nodeSyspath.c_str()));
    const char* seat = node ? udev_device_get_property_value(node.get(), "ID_SEAT") : nullptr;
    return seat != nullptr && *seat != '\0' ? seat : kFirstSeat;
}

}  // namespace

fw::BusFacts LinuxFireWireStack::Facts(fw::UnitHandle handle) {
    fw::BusFacts facts;
    Unit unit;
    {
        std::lock_guard lock(mutex_);
        if (RefreshLocked() == kIOReturnSuccess) facts.controllers = controllers_;
        if (handle.stack != this || handle.unit == 0 || handle.unit > units_.size()) return facts;
        unit = units_[handle.unit - 1];
    }
    facts.node = unit.deviceNode;
    facts.holder = FlockHolder(facts.node);
    facts.seat = NodeSeat(unit.nodeSyspath);
    return facts;
}

std::string LinuxFireWireStack::DeviceNode(fw::UnitHandle handle) const {
    std::lock_guard lock(mutex_);
    if (handle.stack != this || handle.unit == 0 || handle.unit > units_.size()) return {};
    return units_[handle.unit - 1].deviceNode;
}

}  // namespace linuxfw
