#include "CdevEmulator.h"

#include <fcntl.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <set>

#include "Brim_Check.h"

namespace cdevemu {
namespace {

// GET_INFO copies a bus-reset event without its trailing padding ("unaligned size of bus_reset
// is 36 bytes"); read() delivers the whole structure, padding zeroed.
constexpr std::size_t kBusResetInfoSize = 36;

// What the kernel's allocation holds where no byte was written: never zero, so that reading it
// as data shows.
constexpr std::uint8_t kStaleByte = 0xEE;

std::string CardSyspath(unsigned card) {
    return "/sys/devices/pci0000:00/0000:0" + std::to_string(card) + ":00.0";
}

// A unit directory key as the kernel prints it in sysfs: "0x%06x\n".
std::string KeyText(std::uint32_t key) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06x\n", key);
    return text;
}

std::uint32_t BigEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | bytes[3];
}

// The part of the response the model gives: response code and data.
std::uint32_t AskModel(sim::UpdateUnitModel& model, const fw_cdev_send_request& request,
                       const std::vector<std::uint8_t>& payload, std::vector<std::uint8_t>& data) {
    fw::ResponseCode code = fw::ResponseCode::kTypeError;
    switch (request.tcode) {
        case TCODE_WRITE_QUADLET_REQUEST:
            if (payload.size() == 4)
                code = model.WriteQuadlet(request.offset, BigEndian32(payload.data()));
            break;
        case TCODE_WRITE_BLOCK_REQUEST:
            code = model.WriteBlock(request.offset, payload.data(), request.length);
            break;
        case TCODE_READ_QUADLET_REQUEST: {
            std::uint32_t value = 0;
            code = model.ReadQuadlet(request.offset, value);
            data = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                    static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
            break;
        }
        case TCODE_READ_BLOCK_REQUEST: {
            data.resize(request.length);
            std::uint32_t length = request.length;
            code = model.ReadBlock(request.offset, data.data(), length);
            data.resize(length);
            break;
        }
        default:
            break;
    }
    if (code != fw::ResponseCode::kComplete) data.clear();
    return static_cast<std::uint32_t>(code);
}

// A response event as core-cdev.c builds it for a client of ABI below 6 (FW_CDEV_EVENT_RESPONSE):
// init_request() sets `length` to the request's length and copies a write's payload to `data`;
// complete_transaction() cuts `length` to what the response carried, copies the response's data
// only for RCODE_COMPLETE, and queues the structure followed by `length` bytes from `data`. The
// structure's size (24 on LP64) lies beyond `data` (at 20), so a long response is followed by 4
// stale bytes, and for a response of at most 4 bytes the kernel appends a second copy of its data
// at sizeof(struct fw_cdev_event_response), for clients built before 2.6.27 that read it there.
std::vector<std::uint8_t> BuildResponseEvent(std::uint64_t closure, std::uint32_t rcode,
                                             const std::vector<std::uint8_t>& payload,
                                             std::uint32_t requestLength,
                                             const std::vector<std::uint8_t>& responseData) {
    constexpr std::size_t kDataAt = offsetof(fw_cdev_event_response, data);
    constexpr std::size_t kSize = sizeof(fw_cdev_event_response);
    // The event's memory: header, then the request's length of data and whatever follows.
    std::vector<std::uint8_t> memory(kSize + std::max<std::size_t>(requestLength, 4) + 4,
                                     kStaleByte);
    fw_cdev_event_response header{};
    header.closure = closure;
    header.type = FW_CDEV_EVENT_RESPONSE;
    header.rcode = rcode;
    header.length = std::min<std::uint32_t>(requestLength, responseData.size());
    std::memcpy(memory.data(), &header, kDataAt);
    std::copy(payload.begin(), payload.end(), memory.begin() + kDataAt);
    if (rcode == RCODE_COMPLETE) {
        std::copy_n(responseData.begin(), header.length, memory.begin() + kDataAt);
    }
    std::vector<std::uint8_t> event(memory.begin(), memory.begin() + kSize + header.length);
    if (header.length <= kSize - kDataAt) {
        std::copy_n(memory.begin() + kDataAt, header.length, event.begin() + kSize);
    }
    return event;
}

// The GUID as sysfs prints it: "0x%08x%08x\n" of the ROM's quadlets 3 and 4.
std::string GuidAttribute(std::uint64_t guid) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08x%08x\n", static_cast<std::uint32_t>(guid >> 32),
                  static_cast<std::uint32_t>(guid));
    return text;
}

// The CRC of a configuration ROM's block (IEEE 1212: CRC-16, polynomial 0x1021, over the
// quadlets big-endian).
std::uint32_t BlockCrc(const std::vector<std::uint32_t>& rom, std::size_t from, std::size_t count) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = from; i < from + count; ++i) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(rom[i] >> shift & 0xFF);
    }
    return sim::Crc16Xmodem(bytes.data(), bytes.size());
}

// A node's configuration ROM as the kernel keeps it, quadlets in the CPU's byte order: the bus
// information block (its length 4 and the CRC over the rest of the ROM, "1394", capabilities
// with max_rec 512 bytes at S400, the GUID) and a root directory with the module vendor ID.
std::vector<std::uint32_t> ConfigRom(std::uint64_t guid) {
    std::vector<std::uint32_t> rom = {0,
                                      0x31333934,
                                      0x00008002,
                                      static_cast<std::uint32_t>(guid >> 32),
                                      static_cast<std::uint32_t>(guid),
                                      0,
                                      0x03000000 | sim::kUnitSpecifierId};
    rom[5] = 1u << 16 | BlockCrc(rom, 6, 1);
    rom[0] = 4u << 24 | static_cast<std::uint32_t>(rom.size() - 1) << 16 |
             BlockCrc(rom, 1, rom.size() - 1);
    return rom;
}

}  // namespace

Emulator::Emulator() : settler_([this] { SettleResets(); }) {
    testbed_ = umockdev_testbed_new();
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&Emulator::OnIoctl), this);
    g_signal_connect(handler_, "handle-read", G_CALLBACK(&Emulator::OnRead), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(&Emulator::OnConnected), this);
}

Emulator::~Emulator() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    resetBegun_.notify_all();
    settler_.join();
    g_object_unref(testbed_);  // detaches the handler and removes the fake tree
    std::lock_guard lock(mutex_);
    for (auto& [client, state] : clients_) g_object_unref(client);
    for (auto& [name, node] : nodes_) {
        if (node.slave >= 0) ::close(node.slave);
    }
    g_object_unref(handler_);
}

bool Emulator::Preloaded() {
    return umockdev_in_mock_environment();
}

std::string Emulator::AddNode(unsigned card, unsigned index, std::uint16_t nodeId) {
    std::lock_guard lock(mutex_);
    const std::string cardPath = CardSyspath(card);
    std::string description;
    if (cards_.count(card) == 0) {
        cards_[card] = Card{};
        description += "P: " + cardPath.substr(4) + "\nE: SUBSYSTEM=pci\n\n";
    }
    const std::string name = "fw" + std::to_string(index);
    const std::string syspath = cardPath + "/" + name;
    const std::uint64_t guid = kFirstGuid + index;
    std::string guidText = GuidAttribute(guid);
    guidText.pop_back();  // the description's line end stands for it
    description += "P: " + syspath.substr(4) + "\nN: " + name +
                   "\nE: SUBSYSTEM=firewire\nE: DEVNAME=/dev/" + name +
                   "\nA: dev=244:" + std::to_string(index) + "\nA: guid=" + guidText + "\n";
    GError* error = nullptr;
    BRIM_CHECK(umockdev_testbed_add_from_string(testbed_, description.c_str(), &error));

    const std::string deviceNode = "/dev/" + name;
    Node& node = nodes_[deviceNode];
    node.syspath = syspath;
    node.deviceNode = deviceNode;
    node.card = card;
    node.nodeId = nodeId;
    node.guid = guid;
    node.master = umockdev_testbed_get_dev_fd(testbed_, deviceNode.c_str());
    BRIM_CHECK(node.master >= 0);

    // poll() is not emulated: it sees the pty behind the node. We keep one byte in it while
    // events wait, and take it out again through our own handle on the client side, in raw mode
    // so that a single byte makes it readable.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::string link = std::string(root) + deviceNode;
    g_free(root);
    char pty[256] = {};
    BRIM_CHECK(::readlink(link.c_str(), pty, sizeof pty - 1) > 0);
    node.pty = pty;
    node.slave = ::open(pty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    BRIM_CHECK(node.slave >= 0);
    termios mode{};
    BRIM_CHECK(::tcgetattr(node.slave, &mode) == 0);
    ::cfmakeraw(&mode);
    BRIM_CHECK(::tcsetattr(node.slave, TCSANOW, &mode) == 0);

    BRIM_CHECK(umockdev_testbed_attach_ioctl(testbed_, deviceNode.c_str(), handler_, &error));
    return syspath;
}

std::string Emulator::AddUnit(unsigned index, unsigned unit, std::uint32_t specifierId,
                              std::uint32_t version) {
    std::lock_guard lock(mutex_);
    const std::string nodeName = "fw" + std::to_string(index);
    Node& node = NodeFor("/dev/" + nodeName);
    const std::string name = nodeName + "." + std::to_string(unit);
    gchar* syspath = umockdev_testbed_add_device(
        testbed_, "firewire", name.c_str(), node.syspath.c_str(), "specifier_id",
        KeyText(specifierId).c_str(), "version", KeyText(version).c_str(), nullptr, nullptr);
    BRIM_CHECK(syspath != nullptr);
    std::string result = syspath;
    g_free(syspath);
    node.units.push_back(result);
    return result;
}

void Emulator::ChangeUnitKeys(const std::string& unit, std::uint32_t specifierId,
                              std::uint32_t version, bool announced) {
    std::lock_guard lock(mutex_);
    umockdev_testbed_set_attribute(testbed_, unit.c_str(), "specifier_id",
                                   KeyText(specifierId).c_str());
    umockdev_testbed_set_attribute(testbed_, unit.c_str(), "version", KeyText(version).c_str());
    if (announced) umockdev_testbed_uevent(testbed_, unit.c_str(), "change");
}

std::string Emulator::AddUpdateUnitNode(unsigned card, unsigned index, std::uint16_t nodeId) {
    AddNode(card, index, nodeId);
    return AddUnit(index, 0, sim::kUnitSpecifierId, sim::kUnitSwVersion);
}

void Emulator::Configure(const std::string& deviceNode,
                         const std::function<void(sim::UpdateUnitModel&, NodeFaults&)>& change) {
    std::lock_guard lock(mutex_);
    Node& node = NodeFor(deviceNode);
    const unsigned changeAtOpen = node.faults.changeAtOpen;
    change(node.model, node.faults);
    if (node.faults.changeAtOpen != changeAtOpen) node.opens = 0;
}

const sim::UpdateUnitModel& Emulator::Model(const std::string& deviceNode) {
    std::lock_guard lock(mutex_);
    return NodeFor(deviceNode).model;
}

void Emulator::SetKernelAbi(std::uint32_t version) {
    std::lock_guard lock(mutex_);
    kernelAbi_ = version;
}

void Emulator::BusReset(unsigned card, Milliseconds settle) {
    std::lock_guard lock(mutex_);
    ResetLocked(card, settle);
}

std::uint32_t Emulator::Generation(unsigned card) {
    std::lock_guard lock(mutex_);
    return cards_[card].generation;
}

void Emulator::Unplug(const std::string& deviceNode) {
    std::lock_guard lock(mutex_);
    UnplugLocked(NodeFor(deviceNode));
}

void Emulator::UnplugLocked(Node& node) {
    if (!node.gone) {
        node.gone = true;
        UpdateReadable(node);
    }
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const bool inSysfs =
        g_file_test((std::string(root) + node.syspath).c_str(), G_FILE_TEST_IS_DIR);
    g_free(root);
    if (!inSysfs) return;
    // As the kernel takes a node away: its units first, then the node, each announced while it is
    // still in sysfs (device_del sends KOBJ_REMOVE before the device leaves it). umockdev
    // announces the devices it adds, but not those it removes.
    for (const std::string& unit : node.units) {
        umockdev_testbed_uevent(testbed_, unit.c_str(), "remove");
    }
    umockdev_testbed_uevent(testbed_, node.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, node.syspath.c_str());
}

void Emulator::Swap(const std::string& deviceNode, std::uint64_t guid) {
    std::lock_guard lock(mutex_);
    SwapLocked(NodeFor(deviceNode), guid);
}

void Emulator::SwapLocked(Node& node, std::uint64_t guid) {
    const std::string& deviceNode = node.deviceNode;
    ++node.incarnation;
    node.guid = guid;
    node.model = sim::UpdateUnitModel{};
    node.faults = NodeFaults{};
    node.requests = 0;
    for (auto& [client, state] : clients_) {
        if (state.deviceNode == deviceNode && state.incarnation != node.incarnation) {
            state.events.clear();  // the old device's events go with it
        }
    }
    UpdateReadable(node);
    umockdev_testbed_set_attribute(testbed_, node.syspath.c_str(), "guid",
                                   GuidAttribute(guid).c_str());
}

std::uint64_t Emulator::Guid(const std::string& deviceNode) {
    std::lock_guard lock(mutex_);
    return NodeFor(deviceNode).guid;
}

void Emulator::DenyAccess(const std::string& deviceNode) {
    std::lock_guard lock(mutex_);
    BRIM_CHECK(::chmod(NodeFor(deviceNode).pty.c_str(), 0) == 0);
}

void Emulator::SetProperty(const std::string& deviceNode, const std::string& name,
                           const std::string& value) {
    std::lock_guard lock(mutex_);
    umockdev_testbed_set_property(testbed_, NodeFor(deviceNode).syspath.c_str(), name.c_str(),
                                  value.c_str());
}

std::vector<Request> Emulator::Log() {
    std::lock_guard lock(mutex_);
    return log_;
}

void Emulator::ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

void Emulator::OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto& emulator = *static_cast<Emulator*>(self);
    std::lock_guard lock(emulator.mutex_);
    // Keep the client alive so its address is not reused while we still hold its state.
    g_object_ref(client);
    Client state;
    state.deviceNode = umockdev_ioctl_client_get_devnode(client);
    state.number = ++emulator.clientsConnected_;
    Node& node = emulator.NodeFor(state.deviceNode);
    if (++node.opens == node.faults.changeAtOpen) {
        if (node.faults.swapGuid) {
            emulator.SwapLocked(node, *node.faults.swapGuid);
        } else {
            emulator.UnplugLocked(node);
        }
    }
    state.incarnation = node.incarnation;
    emulator.clients_[client] = std::move(state);
}

gboolean Emulator::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto& emulator = *static_cast<Emulator*>(self);
    std::lock_guard lock(emulator.mutex_);
    Client& state = emulator.clients_.at(client);
    Node& node = emulator.NodeFor(state.deviceNode);
    if (node.gone || state.incarnation != node.incarnation) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (umockdev_ioctl_client_get_request(client)) {
        case FW_CDEV_IOC_GET_INFO:
            emulator.GetInfo(client, state, node);
            break;
        case FW_CDEV_IOC_SEND_REQUEST:
            emulator.SendRequest(client, state, node);
            break;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            break;
    }
    return TRUE;
}

gboolean Emulator::OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto& emulator = *static_cast<Emulator*>(self);
    std::lock_guard lock(emulator.mutex_);
    Client& state = emulator.clients_.at(client);
    Node& node = emulator.NodeFor(state.deviceNode);
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    if (node.gone || state.incarnation != node.incarnation) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
    } else if (state.events.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);  // the file is non-blocking
    } else {
        // Like the kernel: one event per read, cut to the buffer.
        const std::vector<std::uint8_t> event = std::move(state.events.front());
        state.events.pop_front();
        const std::size_t count = std::min<std::size_t>(event.size(), buffer->data_len);
        std::memcpy(buffer->data, event.data(), count);
        umockdev_ioctl_client_complete(client, static_cast<glong>(count), 0);
    }
    emulator.UpdateReadable(node);
    return TRUE;
}

void Emulator::GetInfo(UMockdevIoctlClient* client, Client& state, Node& node) {
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(fw_cdev_get_info), &error);
    if (data == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* info = reinterpret_cast<fw_cdev_get_info*>(data->data);
    // Like ioctl_get_info(): the ROM's first `rom_length` bytes at most are copied and its whole
    // size reported; the first call registers the client for bus-reset events, and the event it
    // copies carries the generation the node has as of now (the old one while a reset is
    // settling).
    const std::vector<std::uint32_t> rom = ConfigRom(node.guid);
    const std::size_t romSize = rom.size() * sizeof rom[0];
    if (const std::size_t copied = std::min<std::size_t>(info->rom_length, romSize);
        info->rom != 0 && copied > 0) {
        UMockdevIoctlData* target =
            umockdev_ioctl_data_resolve(data, offsetof(fw_cdev_get_info, rom), copied, &error);
        BRIM_CHECK(target != nullptr);
        std::memcpy(target->data, rom.data(), copied);
        g_object_unref(target);
    }
    info->rom_length = static_cast<std::uint32_t>(romSize);
    state.busResetEvents = true;
    state.busResetClosure = info->bus_reset_closure;
    if (info->bus_reset != 0) {
        UMockdevIoctlData* target = umockdev_ioctl_data_resolve(
            data, offsetof(fw_cdev_get_info, bus_reset), kBusResetInfoSize, &error);
        BRIM_CHECK(target != nullptr);
        const fw_cdev_event_bus_reset reset = BusResetEvent(state, node);
        std::memcpy(target->data, &reset, kBusResetInfoSize);
        g_object_unref(target);
    }
    info->version = kernelAbi_;
    info->card = node.card;
    g_object_unref(data);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void Emulator::SendRequest(UMockdevIoctlClient* client, Client& state, Node& node) {
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(fw_cdev_send_request), &error);
    if (data == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    fw_cdev_send_request request{};
    std::memcpy(&request, data->data, sizeof request);

    Request entry;
    entry.deviceNode = state.deviceNode;
    entry.client = state.number;
    entry.tcode = request.tcode;
    entry.offset = request.offset;
    entry.length = request.length;
    entry.generation = request.generation;
    const bool write =
        request.tcode == TCODE_WRITE_QUADLET_REQUEST || request.tcode == TCODE_WRITE_BLOCK_REQUEST;
    if (write && request.length > 0) {
        UMockdevIoctlData* payload = umockdev_ioctl_data_resolve(
            data, offsetof(fw_cdev_send_request, data), request.length, &error);
        BRIM_CHECK(payload != nullptr);
        entry.payload.assign(payload->data, payload->data + request.length);
        g_object_unref(payload);
    }
    g_object_unref(data);

    const unsigned nth = ++node.requests;
    if (const auto reset = node.faults.busResetBeforeRequest.find(nth);
        reset != node.faults.busResetBeforeRequest.end()) {
        ResetLocked(node.card, reset->second);
    }
    if (node.faults.unplugAtRequest == nth) {
        node.gone = true;
        UpdateReadable(node);
    }
    if (node.gone || node.faults.noResponse) {
        entry.answered = false;
    } else {
        const Card& card = cards_[node.card];
        std::vector<std::uint8_t> response;
        if (card.resetting || request.generation != card.generation) {
            entry.rcode = RCODE_GENERATION;  // never sent: the controller drops it
        } else if (!node.faults.rcodes.empty()) {
            entry.rcode = node.faults.rcodes.front();
            node.faults.rcodes.pop_front();
        } else {
            entry.rcode = AskModel(node.model, request, entry.payload, response);
        }
        QueueEvent(state, BuildResponseEvent(request.closure, entry.rcode, entry.payload,
                                             request.length, response));
        UpdateReadable(node);
    }
    log_.push_back(std::move(entry));
    umockdev_ioctl_client_complete(client, 0, 0);
}

fw_cdev_event_bus_reset Emulator::BusResetEvent(const Client& client, const Node& node) {
    fw_cdev_event_bus_reset reset{};
    reset.closure = client.busResetClosure;
    reset.type = FW_CDEV_EVENT_BUS_RESET;
    reset.node_id = node.nodeId;
    reset.local_node_id = kLocalNodeId;
    reset.bm_node_id = kLocalNodeId;
    reset.irm_node_id = kLocalNodeId;
    reset.root_node_id = kLocalNodeId;
    reset.generation = cards_[node.card].generation;
    return reset;
}

void Emulator::ResetLocked(unsigned card, Milliseconds settle) {
    Card& state = cards_[card];
    const Clock::time_point settlesAt =
        settle == kNeverSettles ? Clock::time_point::max() : Clock::now() + settle;
    if (settle == Milliseconds{0} && !state.resetting) {
        state.resetting = true;
        SettleLocked(card);
        return;
    }
    state.settlesAt = state.resetting ? std::max(state.settlesAt, settlesAt) : settlesAt;
    state.resetting = true;
    resetBegun_.notify_all();
}

void Emulator::SettleLocked(unsigned card) {
    Card& settled = cards_[card];
    settled.resetting = false;
    ++settled.generation;
    std::set<std::string> touched;
    for (auto& [handle, client] : clients_) {
        Node& node = NodeFor(client.deviceNode);
        if (node.card != card || node.gone || !client.busResetEvents) continue;
        // read() delivers the whole structure, its padding zeroed (the kernel kzalloc()s it).
        const fw_cdev_event_bus_reset reset = BusResetEvent(client, node);
        std::vector<std::uint8_t> event(sizeof reset);
        std::memcpy(event.data(), &reset, sizeof reset);
        QueueEvent(client, std::move(event));
        touched.insert(client.deviceNode);
    }
    for (const std::string& deviceNode : touched) UpdateReadable(NodeFor(deviceNode));
}

void Emulator::SettleResets() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        Clock::time_point next = Clock::time_point::max();
        for (auto& [card, state] : cards_) {
            if (!state.resetting) continue;
            if (state.settlesAt <= Clock::now()) {
                SettleLocked(card);
            } else {
                next = std::min(next, state.settlesAt);
            }
        }
        if (next == Clock::time_point::max()) {
            resetBegun_.wait(lock);
        } else {
            resetBegun_.wait_until(lock, next);
        }
    }
}

void Emulator::QueueEvent(Client& client, std::vector<std::uint8_t> event) {
    client.events.push_back(std::move(event));
}

void Emulator::UpdateReadable(Node& node) {
    bool wanted = node.gone;
    for (auto& [client, state] : clients_) {
        // A closed file's events are never read; they must not keep the node readable.
        if (!umockdev_ioctl_client_get_connected(client)) state.events.clear();
        if (state.deviceNode == node.deviceNode && !state.events.empty()) wanted = true;
    }
    if (wanted && !node.readable) {
        BRIM_CHECK(::write(node.master, "e", 1) == 1);
        node.readable = true;
    } else if (!wanted && node.readable) {
        char drained[64];
        BRIM_CHECK(::read(node.slave, drained, sizeof drained) >= 1);
        node.readable = false;
    }
}

Emulator::Node& Emulator::NodeFor(const std::string& deviceNode) {
    const auto found = nodes_.find(deviceNode);
    BRIM_CHECK(found != nodes_.end());
    return found->second;
}

}  // namespace cdevemu
