// The Linux FireWire stack against an emulated kernel: libudev reads a faked sysfs, and every
// ioctl()/read() on the faked /dev/fwN reaches CdevEmulator, which answers from the update unit's
// model. Run under umockdev-wrapper; without its preload library the tests are skipped (77).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef CLI_PROGRAM
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#endif

#include "CdevEmulator.h"
#include "ChildProcess.h"
#include "DownloadUnit.h"
#include "Downloader.h"
#include "LinuxFireWireStack.h"
#include "OrloXilinx.h"
#include "Orlo_MCORE.h"
#include "UnitDiagnosis.h"
#include "UnitLookup.h"
#include "orlofirmwareupdate.h"

namespace {

using std::chrono::milliseconds;
using Result = Brim::PTA::UpdateOutcome::Result;

// The test binary run with this argument is a second instance of the utility on the same
// emulated bus (see SecondInstance).
constexpr char kSecondInstance[] = "--second-instance";
// Its exit statuses.
enum SecondInstanceStatus {
    kFoundTheUnit = 10,    // identification took the unit: it must not while an update runs
    kRefusedAsInUse = 11,  // its update was refused with "in use", nothing sent
    kOtherOutcome = 12,
};

// Identification, then an update, as a second instance of the utility would try them.
int SecondInstance() {
    linuxfw::LinuxFireWireStack stack;
    Brim::PTA::COrloFirmwareUpdate controller(stack);
    if (controller.IsFound()) return kFoundTheUnit;
    controller.DoUpdate();
    while (!controller.GetDoneStatus()) std::this_thread::sleep_for(milliseconds{1});
    return controller.GetUpdateOutcome().result == Result::kInUse ? kRefusedAsInUse : kOtherOutcome;
}

// Runs this binary as a second instance (it inherits the emulator's environment, so its
// /dev/fw1 is ours) and returns its exit status.
int RunSecondInstance() {
    ChildProcess second({"/proc/self/exe", kSecondInstance});
    return second.Wait(std::chrono::seconds(30)).value_or(-1);
}
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kUnitNodeId = 0xFFC1;
const std::string kUnitNode = "/dev/fw1";

// Register addresses as the unit's model lays them out.
FWAddressStruct At(std::uint64_t offset) {
    return FWAddressStruct(static_cast<UInt16>(offset >> 32), static_cast<UInt32>(offset));
}

std::vector<std::uint8_t> Quadlet(UInt32 value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// The layouts the stack and the emulator rely on, as linux/firewire-cdev.h gives them on LP64.
static_assert(offsetof(fw_cdev_event_response, rcode) == 12);
static_assert(offsetof(fw_cdev_event_response, length) == 16);
static_assert(offsetof(fw_cdev_event_response, data) == 20);
static_assert(sizeof(fw_cdev_event_response) == 24, "the data start inside the padding");
static_assert(offsetof(fw_cdev_event_bus_reset, generation) == 32);
static_assert(sizeof(fw_cdev_event_bus_reset) == 40, "GET_INFO copies 36 of them");
static_assert(offsetof(fw_cdev_get_info, bus_reset) == 16 && sizeof(fw_cdev_get_info) == 40);
static_assert(offsetof(fw_cdev_send_request, generation) == 32);

// A /dev/fwN used the way a client of the kernel uses it, with no stack in between: what the
// emulator delivers is what the test sees.
class RawNode {
  public:
    explicit RawNode(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~RawNode() { ::close(fd_); }

    bool GetInfo(std::uint8_t* busReset, std::uint64_t closure) {
        fw_cdev_get_info info{};
        info.version = 4;
        info.bus_reset = reinterpret_cast<std::uint64_t>(busReset);
        info.bus_reset_closure = closure;
        return ::ioctl(fd_, FW_CDEV_IOC_GET_INFO, &info) == 0;
    }
    // GET_INFO asking for `length` bytes of the ROM into `rom`; `length` gets the ROM's size.
    bool GetRom(std::uint32_t* rom, std::uint32_t& length) {
        fw_cdev_get_info info{};
        info.version = 4;
        info.rom = reinterpret_cast<std::uint64_t>(rom);
        info.rom_length = length;
        if (::ioctl(fd_, FW_CDEV_IOC_GET_INFO, &info) != 0) return false;
        length = info.rom_length;
        return true;
    }
    bool Send(std::uint32_t tcode, std::uint64_t offset, std::uint32_t length,
              const std::vector<std::uint8_t>& payload, std::uint64_t closure,
              std::uint32_t generation) {
        fw_cdev_send_request request{};
        request.tcode = tcode;
        request.length = length;
        request.offset = offset;
        request.closure = closure;
        request.data = payload.empty() ? 0 : reinterpret_cast<std::uint64_t>(payload.data());
        request.generation = generation;
        return ::ioctl(fd_, FW_CDEV_IOC_SEND_REQUEST, &request) == 0;
    }
    // The next event, as read() delivers it into a buffer with room for any.
    std::vector<std::uint8_t> Next() {
        pollfd watch{fd_, POLLIN, 0};
        if (::poll(&watch, 1, 1000) != 1) return {};
        std::vector<std::uint8_t> event(8192);
        const ssize_t got = ::read(fd_, event.data(), event.size());
        event.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return event;
    }

  private:
    int fd_;
};

template <typename T>
T At(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

class LinuxStackTest : public ::testing::Test {
  public:
    static constexpr milliseconds kTimeout{1000};

    LinuxStackTest() : stack(linuxfw::StackOptions{kTimeout}) {
        emulator.AddUpdateUnitNode(0, 1, kUnitNodeId);
    }

    std::unique_ptr<DownloadUnit> MakeUnit() {
        const fw::UnitHandle handle = FindFirstUnit(stack, DownloadUnit::kFirmwareUpdateUnitSpecID,
                                                    DownloadUnit::kFirmwareUpdateUnitSWVersion);
        EXPECT_TRUE(handle);
        return std::make_unique<DownloadUnit>(handle);
    }

    // Changes go through the emulator's lock, which orders them before the next transfer.
    void SetModel(const std::function<void(sim::UpdateUnitModel&)>& change,
                  const std::string& node = kUnitNode) {
        emulator.Configure(
            node, [&](sim::UpdateUnitModel& model, cdevemu::NodeFaults&) { change(model); });
    }
    void SetFaults(const std::function<void(cdevemu::NodeFaults&)>& change) {
        emulator.Configure(
            kUnitNode, [&](sim::UpdateUnitModel&, cdevemu::NodeFaults& faults) { change(faults); });
    }

    UInt32 Generation(DownloadUnit& unit) {
        UInt32 generation = 0;
        EXPECT_EQ(kIOReturnSuccess, unit.GetBusGeneration(generation));
        return generation;
    }

    // Declared first: outlives the stack and every unit a test makes.
    cdevemu::Emulator emulator;
    linuxfw::LinuxFireWireStack stack;
};

// Discovery -------------------------------------------------------------------------------------

TEST_F(LinuxStackTest, FindsTheUnitWithBothKeysAndNotItsDecoys) {
    // fw0 sorts first and carries the same specifier ID with another version; fw2 the right
    // version under another specifier ID.
    emulator.AddNode(0, 0, 0xFFC0);
    emulator.AddUnit(0, 0, sim::kUnitSpecifierId, 0x12);
    emulator.AddNode(0, 2, 0xFFC2);
    emulator.AddUnit(2, 0, 0x00A02D, sim::kUnitSwVersion);

    const fw::UnitHandle handle = FindFirstUnit(stack, sim::kUnitSpecifierId, sim::kUnitSwVersion);
    ASSERT_TRUE(handle);
    EXPECT_EQ(kUnitNode, stack.DeviceNode(handle));
    EXPECT_EQ("/dev/fw0", stack.DeviceNode(FindFirstUnit(stack, sim::kUnitSpecifierId, 0x12)));

    // Polling finds the same unit under the same handle.
    EXPECT_EQ(handle.unit, FindFirstUnit(stack, sim::kUnitSpecifierId, sim::kUnitSwVersion).unit);
    EXPECT_FALSE(FindFirstUnit(stack, sim::kUnitSpecifierId, 0x13));
    EXPECT_FALSE(FindFirstUnit(stack, 0x0A4F53, sim::kUnitSwVersion));
}

// The seat is what udev says of the node (its rules put ID_SEAT there, from the node or a parent
// attached to a seat), seat0 where it says nothing.
TEST_F(LinuxStackTest, TheUnitsSeatIsItsNodesUdevSeat) {
    emulator.AddUpdateUnitNode(1, 2, 0xFFC2);
    emulator.SetProperty("/dev/fw2", "ID_SEAT", "seat-pci-0000_0a_00_0");
    std::vector<fw::UnitHandle> units;
    ASSERT_EQ(kIOReturnSuccess, stack.FindUnits(sim::kUnitSpecifierId, sim::kUnitSwVersion, units));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(stack.Facts(units[0]).seat, "seat0");
    EXPECT_EQ(stack.Facts(units[1]).node, "/dev/fw2");
    EXPECT_EQ(stack.Facts(units[1]).seat, "seat-pci-0000_0a_00_0");
    EXPECT_EQ(stack.Facts({}).seat, "");
}

TEST_F(LinuxStackTest, UnpluggedUnitIsNoLongerFoundAndItsHandleIsRefused) {
    const fw::UnitHandle handle = FindFirstUnit(stack, sim::kUnitSpecifierId, sim::kUnitSwVersion);
    ASSERT_TRUE(handle);
    emulator.Unplug(kUnitNode);

    EXPECT_FALSE(FindFirstUnit(stack, sim::kUnitSpecifierId, sim::kUnitSwVersion));
    std::unique_ptr<fw::PlugIn> plugIn;
    EXPECT_EQ(kIOReturnNoDevice, stack.CreatePlugIn(handle, plugIn));
    EXPECT_EQ(nullptr, plugIn);
    EXPECT_THROW(DownloadUnit{handle}, std::exception);
}

// What happens on the bus between two polls, and what the second one finds.
struct BusChange {
    const char* name;
    std::function<void(cdevemu::Emulator&)> between;
    bool announced;                      // udev says so: the descriptor polls readable
    std::vector<std::string> foundAfter;  // the update units' device files
};

void PrintTo(const BusChange& change, std::ostream* out) {
    *out << change.name;
}

class BusChangeTest : public LinuxStackTest, public ::testing::WithParamInterface<BusChange> {};

bool Readable(int descriptor) {
    pollfd waiting{descriptor, POLLIN, 0};
    return ::poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN) != 0;
}

TEST_P(BusChangeTest, TheNextLookupSeesTheBusAsItIsAndReadsTheRegistryOnlyWhenTold) {
    const auto lookup = [this] {
        std::vector<fw::UnitHandle> units;
        EXPECT_EQ(kIOReturnSuccess,
                  stack.FindUnits(sim::kUnitSpecifierId, sim::kUnitSwVersion, units));
        std::vector<std::string> nodes;
        for (const fw::UnitHandle& unit : units) nodes.push_back(stack.DeviceNode(unit));
        return nodes;
    };
    const int changes = stack.BusChangeDescriptor();
    ASSERT_GE(changes, 0);
    EXPECT_EQ(lookup(), std::vector<std::string>{kUnitNode});
    EXPECT_FALSE(Readable(changes));

    GetParam().between(emulator);
    EXPECT_EQ(Readable(changes), GetParam().announced);
    EXPECT_EQ(lookup(), GetParam().foundAfter);
    EXPECT_FALSE(Readable(changes));
}

const std::string kUnitSyspath = "/sys/devices/pci0000:00/0000:00:00.0/fw1/fw1.0";

INSTANTIATE_TEST_SUITE_P(
    BetweenTwoPolls, BusChangeTest,
    ::testing::Values(
        BusChange{"AnotherOrloPluggedIn",
                  [](cdevemu::Emulator& bus) { bus.AddUpdateUnitNode(0, 3, 0xFFC3); }, true,
                  {kUnitNode, "/dev/fw3"}},
        BusChange{"TheOrloUnplugged", [](cdevemu::Emulator& bus) { bus.Unplug(kUnitNode); },
                  true, {}},
        BusChange{"AnOrloPluggedInAndOutAgain",
                  [](cdevemu::Emulator& bus) {
                      bus.AddUpdateUnitNode(0, 3, 0xFFC3);
                      bus.Unplug("/dev/fw3");
                  },
                  true, {kUnitNode}},
        BusChange{"TheOrloReplacedByAnother",
                  [](cdevemu::Emulator& bus) {
                      bus.Unplug(kUnitNode);
                      bus.AddUpdateUnitNode(0, 4, 0xFFC1);
                  },
                  true, {"/dev/fw4"}},
        BusChange{"ItsUnitNoLongerAnUpdateUnit",
                  [](cdevemu::Emulator& bus) {
                      bus.ChangeUnitKeys(kUnitSyspath, sim::kUnitSpecifierId, 0x12);
                  },
                  true, {}},
        // Unannounced, the change is not seen: the registry was not read again.
        BusChange{"ItsKeysChangedUnannounced",
                  [](cdevemu::Emulator& bus) {
                      bus.ChangeUnitKeys(kUnitSyspath, sim::kUnitSpecifierId, 0x12, false);
                  },
                  false, {kUnitNode}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinuxStackTest, KernelWithTooOldAbiIsRefusedAtQueryInterface) {
    emulator.SetKernelAbi(3);
    std::unique_ptr<fw::PlugIn> plugIn;
    ASSERT_EQ(kIOReturnSuccess,
              stack.CreatePlugIn(FindFirstUnit(stack, sim::kUnitSpecifierId, sim::kUnitSwVersion),
                                 plugIn));
    std::unique_ptr<fw::DeviceInterface> device;
    EXPECT_EQ(kIOReturnUnsupported, plugIn->QueryInterface(device));
    EXPECT_EQ(nullptr, device);
}

// The GUID, as sysfs shows it for the unit's node ("0x%08x%08x" of ROM quadlets 3 and 4).
UInt64 SysfsGuid() {
    std::ifstream attribute("/sys/devices/pci0000:00/0000:00:00.0/fw1/guid");
    std::string text;
    attribute >> text;
    return std::strtoull(text.c_str(), nullptr, 16);
}

TEST_F(LinuxStackTest, TheGuidComesFromTheNodesConfigRomAndNamesTheDevice) {
    // GET_INFO as core-cdev.c answers it: at most rom_length bytes of the ROM copied, quadlets in
    // the CPU's byte order, and the ROM's whole size reported.
    RawNode raw(kUnitNode);
    std::array<std::uint32_t, 4> rom{0, 0, 0xAAAAAAAA, 0xAAAAAAAA};
    std::uint32_t length = 8;
    ASSERT_TRUE(raw.GetRom(rom.data(), length));
    EXPECT_EQ(0x31333934u, rom[1]);  // "1394"
    EXPECT_EQ(0xAAAAAAAAu, rom[2]);
    EXPECT_GE(length, 20u);

    auto unit = MakeUnit();
    UInt64 guid = 0;
    ASSERT_EQ(kIOReturnSuccess, unit->GetGUID(guid));
    EXPECT_EQ(emulator.Guid(kUnitNode), guid);
    EXPECT_EQ(SysfsGuid(), guid);

    // Another Orlo given the same node file: the old file is dead, a new one names the newcomer.
    emulator.Swap(kUnitNode, 0x0011223344556677);
    EXPECT_EQ(kIOReturnNoDevice, unit->GetGUID(guid));
    ASSERT_EQ(kIOReturnSuccess, MakeUnit()->GetGUID(guid));
    EXPECT_EQ(0x0011223344556677u, guid);
    EXPECT_EQ(SysfsGuid(), guid);
}

// The kernel's event layout ---------------------------------------------------------------------

TEST_F(LinuxStackTest, EventsAreLaidOutAsTheKernelLaysThemOut) {
    SetModel([](sim::UpdateUnitModel& model) {
        model.softwareVersion = 0x0001'0003;
        model.serialNumber = {'O', 'R', 'L', '1', '2', '3', '4', '5'};
    });
    RawNode node(kUnitNode);

    // GET_INFO copies the bus-reset event without its padding.
    std::array<std::uint8_t, sizeof(fw_cdev_event_bus_reset)> reset;
    reset.fill(0xAB);
    ASSERT_TRUE(node.GetInfo(reset.data(), 77));
    const std::vector<std::uint8_t> copied(reset.begin(), reset.end());
    EXPECT_EQ(77u, At<std::uint64_t>(copied, offsetof(fw_cdev_event_bus_reset, closure)));
    EXPECT_EQ(unsigned{FW_CDEV_EVENT_BUS_RESET},
              At<std::uint32_t>(copied, offsetof(fw_cdev_event_bus_reset, type)));
    EXPECT_EQ(kUnitNodeId, At<std::uint32_t>(copied, offsetof(fw_cdev_event_bus_reset, node_id)));
    const std::uint32_t generation =
        At<std::uint32_t>(copied, offsetof(fw_cdev_event_bus_reset, generation));
    EXPECT_EQ(emulator.Generation(), generation);
    EXPECT_EQ(0xABABABABu, At<std::uint32_t>(copied, 36));

    constexpr std::size_t kDataAt = offsetof(fw_cdev_event_response, data);
    constexpr std::size_t kSize = sizeof(fw_cdev_event_response);
    const struct {
        const char* what;
        std::uint32_t tcode;
        std::uint64_t offset;
        std::uint32_t length;
        std::vector<std::uint8_t> payload;
        std::uint32_t rcode;
        std::vector<std::uint8_t> data;
    } cases[] = {
        {"quadlet read",
         TCODE_READ_QUADLET_REQUEST,
         sim::kSoftwareVersion,
         4,
         {},
         RCODE_COMPLETE,
         Quadlet(0x0001'0003)},
        {"8-byte block read",
         TCODE_READ_BLOCK_REQUEST,
         sim::kSerialNumber,
         8,
         {},
         RCODE_COMPLETE,
         Bytes("ORL12345")},
        {"quadlet write",
         TCODE_WRITE_QUADLET_REQUEST,
         sim::kUpdateControl,
         4,
         Quadlet(1),
         RCODE_COMPLETE,
         {}},
        {"refused read",
         TCODE_READ_QUADLET_REQUEST,
         0xFFFFF0440000,
         4,
         {},
         RCODE_ADDRESS_ERROR,
         {}},
    };
    std::uint64_t closure = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(node.Send(c.tcode, c.offset, c.length, c.payload, ++closure, generation));
        const std::vector<std::uint8_t> event = node.Next();
        // The structure, then the data from `data` on: a second copy at its end for short ones.
        ASSERT_EQ(kSize + c.data.size(), event.size());
        EXPECT_EQ(closure, At<std::uint64_t>(event, offsetof(fw_cdev_event_response, closure)));
        EXPECT_EQ(unsigned{FW_CDEV_EVENT_RESPONSE},
                  At<std::uint32_t>(event, offsetof(fw_cdev_event_response, type)));
        EXPECT_EQ(c.rcode, At<std::uint32_t>(event, offsetof(fw_cdev_event_response, rcode)));
        EXPECT_EQ(c.data.size(),
                  At<std::uint32_t>(event, offsetof(fw_cdev_event_response, length)));
        EXPECT_EQ(c.data, std::vector<std::uint8_t>(event.begin() + kDataAt,
                                                    event.begin() + kDataAt + c.data.size()));
        if (!c.data.empty() && c.data.size() <= kSize - kDataAt) {
            EXPECT_EQ(c.data, std::vector<std::uint8_t>(event.begin() + kSize, event.end()));
        }
    }

    // read() delivers the whole bus-reset structure, its padding zeroed.
    emulator.BusReset();
    const std::vector<std::uint8_t> event = node.Next();
    ASSERT_EQ(sizeof(fw_cdev_event_bus_reset), event.size());
    EXPECT_EQ(generation + 1,
              At<std::uint32_t>(event, offsetof(fw_cdev_event_bus_reset, generation)));
    EXPECT_EQ(0u, At<std::uint32_t>(event, 36));
}

// Transfers -------------------------------------------------------------------------------------

TEST_F(LinuxStackTest, EachTransferKindPutsItsBytesOnTheBus) {
    auto unit = MakeUnit();
    const UInt32 generation = Generation(*unit);
    EXPECT_EQ(emulator.Generation(), generation);
    SetModel([](sim::UpdateUnitModel& model) {
        model.softwareVersion = 0x0001'0003;
        model.serialNumber = {'O', 'R', 'L', '1', '2', '3', '4', '5'};
    });

    // Quadlet write: big-endian on the bus.
    ASSERT_EQ(kIOReturnSuccess, unit->WriteQuadlet(At(sim::kUpdateControl), 1, false, false, 0));
    // Quadlet read: the first byte on the bus is the most significant.
    UInt32 value = 0;
    ASSERT_EQ(kIOReturnSuccess,
              unit->ReadQuadlet(At(sim::kSoftwareVersion), value, false, false, 0));
    EXPECT_EQ(0x0001'0003u, value);
    // Block write, after an erase so that the data port takes it: bytes in buffer order.
    ASSERT_EQ(kIOReturnSuccess, unit->WriteUpdateCommand(0, generation));
    ASSERT_EQ(kIOReturnSuccess, unit->ReadStatusRegister(value, generation));
    const std::vector<std::uint8_t> block{0xFF, 0xFF, 0x00, 0x01, 0x12, 0x34, 0x56, 0x78};
    UInt32 size = block.size();
    ASSERT_EQ(kIOReturnSuccess,
              unit->Write(At(sim::kUpdateData), block.data(), size, false, false, 0));
    EXPECT_EQ(block.size(), size);
    EXPECT_EQ(block, emulator.Model(kUnitNode).Header(sim::Image::kFpga));
    // Block read: all 8 bytes, from where the kernel puts them.
    char serial[8] = {};
    size = sizeof serial;
    ASSERT_EQ(kIOReturnSuccess, unit->Read(At(sim::kSerialNumber), serial, size, false, false, 0));
    EXPECT_EQ(8u, size);
    EXPECT_EQ("ORL12345", std::string(serial, 8));

    const std::vector<cdevemu::Request> log = emulator.Log();
    ASSERT_EQ(6u, log.size());
    EXPECT_EQ(TCODE_WRITE_QUADLET_REQUEST, log[0].tcode);
    EXPECT_EQ(sim::kUpdateControl, log[0].offset);
    EXPECT_EQ(4u, log[0].length);
    EXPECT_EQ(Quadlet(1), log[0].payload);
    EXPECT_EQ(TCODE_READ_QUADLET_REQUEST, log[1].tcode);
    EXPECT_EQ(sim::kSoftwareVersion, log[1].offset);
    EXPECT_EQ(TCODE_WRITE_BLOCK_REQUEST, log[4].tcode);
    EXPECT_EQ(sim::kUpdateData, log[4].offset);
    EXPECT_EQ(block, log[4].payload);
    EXPECT_EQ(TCODE_READ_BLOCK_REQUEST, log[5].tcode);
    EXPECT_EQ(sim::kSerialNumber, log[5].offset);
    EXPECT_EQ(8u, log[5].length);
    for (const cdevemu::Request& request : log) {
        EXPECT_EQ(kUnitNode, request.deviceNode);
        EXPECT_EQ(generation, request.generation);  // failOnReset false: the current one
        EXPECT_EQ(unsigned{RCODE_COMPLETE}, request.rcode);
    }
}

TEST_F(LinuxStackTest, SerialNumberReadsRight) {
    auto unit = MakeUnit();
    SetModel([](sim::UpdateUnitModel& model) {
        model.serialNumber = {'O', 'R', 'L', '1', '2', '3', '4', '5'};
    });
    std::string serial;
    ASSERT_EQ(kIOReturnSuccess, unit->GetProductSerNum(serial));
    EXPECT_EQ("ORL12345", serial);
}

TEST_F(LinuxStackTest, ShortBlockReadLeavesTheSmallerCount) {
    auto unit = MakeUnit();
    SetModel([](sim::UpdateUnitModel& model) { model.settings.serialReadLength = 5; });
    std::string serial;
    ASSERT_EQ(kIOReturnSuccess, unit->GetProductSerNum(serial));
    EXPECT_EQ("00000", serial);
}

TEST_F(LinuxStackTest, EveryResponseCodeGivesItsOwnStatus) {
    auto unit = MakeUnit();
    const UInt32 generation = Generation(*unit);
    const std::vector<UInt32> codes{RCODE_CONFLICT_ERROR, RCODE_DATA_ERROR, RCODE_TYPE_ERROR,
                                    RCODE_ADDRESS_ERROR,  RCODE_SEND_ERROR, RCODE_CANCELLED,
                                    RCODE_BUSY,           RCODE_GENERATION, RCODE_NO_ACK};
    std::set<IOReturn> statuses;
    for (const UInt32 code : codes) {
        SetFaults([&](cdevemu::NodeFaults& faults) { faults.rcodes.push_back(code); });
        UInt32 value = 0;
        // failOnReset true: a stale-generation answer is reported, not resent.
        const IOReturn status = unit->ReadQuadlet(At(sim::kStatus), value, false, true, generation);
        EXPECT_EQ(fw::StatusFromResponseCode(code), status) << "rcode " << code;
        EXPECT_NE(kIOReturnSuccess, status);
        statuses.insert(status);
    }
    EXPECT_EQ(codes.size(), statuses.size());

    // The unit's own refusals come back the same way.
    UInt32 value = 0;
    EXPECT_EQ(kIOFireWireAddressError,
              unit->ReadQuadlet(At(0xFFFFF0440000), value, false, false, 0));
    EXPECT_EQ(kIOFireWireTypeError, unit->ReadQuadlet(At(sim::kCrc), value, false, false, 0));
}

TEST(LinuxStackErrno, SystemErrorsMapToDistinctStatuses) {
    EXPECT_EQ(kIOReturnNoDevice, linuxfw::StatusFromErrno(ENODEV));
    EXPECT_EQ(kIOReturnNoDevice, linuxfw::StatusFromErrno(ENOENT));
    EXPECT_EQ(kIOReturnNotPermitted, linuxfw::StatusFromErrno(EACCES));
    EXPECT_EQ(kIOReturnNotPermitted, linuxfw::StatusFromErrno(EPERM));
    EXPECT_EQ(kIOReturnTimeout, linuxfw::StatusFromErrno(ETIMEDOUT));
    EXPECT_EQ(kIOReturnIOError, linuxfw::StatusFromErrno(EIO));
    EXPECT_EQ(kIOReturnSuccess, linuxfw::StatusFromErrno(0));
}

// Faults ----------------------------------------------------------------------------------------

TEST_F(LinuxStackTest, SilentNodeFailsWithTimeoutWithinTheBound) {
    auto unit = MakeUnit();
    SetFaults([](cdevemu::NodeFaults& faults) { faults.noResponse = true; });
    UInt32 value = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(kIOReturnTimeout, unit->ReadQuadlet(At(sim::kStatus), value, false, false, 0));
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    EXPECT_GE(waited, kTimeout);
    EXPECT_LT(waited, kTimeout * 10);

    // The node answers again: the next transfer is not confused by the lost one.
    SetFaults([](cdevemu::NodeFaults& faults) { faults.noResponse = false; });
    EXPECT_EQ(kIOReturnSuccess,
              unit->ReadQuadlet(At(sim::kSoftwareVersion), value, false, false, 0));
    EXPECT_EQ(emulator.Model(kUnitNode).softwareVersion, value);
}

TEST_F(LinuxStackTest, UnitThatNeverAnswersIsReportedAsTheKernelCancelsIt) {
    auto unit = MakeUnit();
    // The kernel reports a split timeout.
    SetModel([](sim::UpdateUnitModel& model) { model.settings.silent = true; });
    UInt32 value = 0;
    EXPECT_EQ(kIOFireWireCancelled, unit->ReadQuadlet(At(sim::kStatus), value, false, false, 0));
}

TEST_F(LinuxStackTest, BusResetIsTakenWhenTheCallerDoesNotCareAndReportedWhenItDoes) {
    auto unit = MakeUnit();
    const UInt32 before = Generation(*unit);
    emulator.BusReset();
    EXPECT_EQ(before + 1, Generation(*unit));  // no Open needed

    emulator.BusReset();
    UInt32 value = 0;
    EXPECT_EQ(kIOFireWireBusReset,
              unit->ReadQuadlet(At(sim::kSoftwareVersion), value, false, true, before + 1));
    EXPECT_EQ(kIOReturnSuccess,
              unit->ReadQuadlet(At(sim::kSoftwareVersion), value, false, false, before + 1));
    const std::vector<cdevemu::Request> log = emulator.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(before + 2, log.back().generation);
    EXPECT_EQ(unsigned{RCODE_COMPLETE}, log.back().rcode);
}

// A request the kernel answers with RCODE_GENERATION was never sent: it goes again, whole.
TEST_F(LinuxStackTest, RequestsFlushedByABusResetAreSentAgainWithTheirData) {
    SetModel([](sim::UpdateUnitModel& model) {
        model.softwareVersion = 0x0001'0003;
        model.serialNumber = {'O', 'R', 'L', '1', '2', '3', '4', '5'};
    });
    auto unit = MakeUnit();
    const struct {
        const char* what;
        std::function<IOReturn(std::string& got)> transfer;
        std::string expected;
    } cases[] = {
        {"quadlet read",
         [&](std::string& got) {
             UInt32 value = 0;
             const IOReturn status =
                 unit->ReadQuadlet(At(sim::kSoftwareVersion), value, false, false, 0);
             got = std::to_string(value);
             return status;
         },
         std::to_string(0x0001'0003)},
        {"block read",
         [&](std::string& got) {
             got.assign(8, '\0');
             UInt32 size = 8;
             const IOReturn status =
                 unit->Read(At(sim::kSerialNumber), got.data(), size, false, false, 0);
             got.resize(size);
             return status;
         },
         "ORL12345"},
        {"quadlet write",
         [&](std::string& got) {
             const IOReturn status =
                 unit->WriteQuadlet(At(sim::kUpdateControl), 1, false, false, 0);
             got = emulator.Model(kUnitNode).state() == sim::UpdateUnitModel::State::kUpdateMode
                       ? "update mode"
                       : "idle";
             return status;
         },
         "update mode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const unsigned next = static_cast<unsigned>(emulator.Log().size()) + 1;
        SetFaults([&](cdevemu::NodeFaults& faults) {
            faults.busResetBeforeRequest = {{next, milliseconds{20}}};
        });
        std::string got;
        ASSERT_EQ(kIOReturnSuccess, c.transfer(got));
        EXPECT_EQ(c.expected, got);
        const std::vector<cdevemu::Request> log = emulator.Log();
        ASSERT_EQ(next + 1, log.size());
        const cdevemu::Request& flushed = log[next - 1];
        const cdevemu::Request& resent = log[next];
        EXPECT_EQ(unsigned{RCODE_GENERATION}, flushed.rcode);
        EXPECT_EQ(unsigned{RCODE_COMPLETE}, resent.rcode);
        EXPECT_EQ(flushed.generation + 1, resent.generation);
        EXPECT_EQ(flushed.tcode, resent.tcode);
        EXPECT_EQ(flushed.length, resent.length);
        EXPECT_EQ(flushed.payload, resent.payload);
    }
}

// A transfer bound to its generation is not held up by a reset: it fails at once.
TEST_F(LinuxStackTest, ATransferBoundToItsGenerationFailsAtOnceWhileTheBusResets) {
    auto unit = MakeUnit();
    const UInt32 generation = Generation(*unit);
    emulator.BusReset(0, cdevemu::kNeverSettles);
    UInt32 value = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(kIOFireWireBusReset,
              unit->ReadQuadlet(At(sim::kStatus), value, false, true, generation));
    EXPECT_LT(Clock::now() - start, milliseconds{100});
    EXPECT_EQ(1u, emulator.Log().size());
}

// Bus resets that never settle fail a transfer cleanly within its bound, without flooding the bus.
struct Storm {
    const char* name;
    std::function<void(LinuxStackTest&)> start;
};
void PrintTo(const Storm& storm, std::ostream* out) {
    *out << storm.name;
}

class BusResetStormTest : public LinuxStackTest, public ::testing::WithParamInterface<Storm> {};

TEST_P(BusResetStormTest, FailsTheTransferWithinItsBound) {
    auto unit = MakeUnit();
    GetParam().start(*this);
    UInt32 value = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(kIOFireWireBusReset, unit->ReadQuadlet(At(sim::kStatus), value, false, false, 0));
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    EXPECT_GE(took, kTimeout);
    EXPECT_LT(took, kTimeout + milliseconds{500});
    const std::size_t sent = emulator.Log().size();
    EXPECT_LE(sent, 110u);
    std::printf("%s: failed after %lld ms, %zu requests\n", GetParam().name,
                static_cast<long long>(took.count()), sent);
}

INSTANTIATE_TEST_SUITE_P(
    , BusResetStormTest,
    ::testing::Values(Storm{"NeverSettles",
                            [](LinuxStackTest& test) {
                                test.emulator.BusReset(0, cdevemu::kNeverSettles);
                            }},
                      Storm{"A10msResetBeforeEveryRequest",
                            [](LinuxStackTest& test) {
                                test.SetFaults([](cdevemu::NodeFaults& faults) {
                                    for (unsigned n = 1; n <= 1000; ++n)
                                        faults.busResetBeforeRequest[n] = milliseconds{10};
                                });
                            }},
                      Storm{"GenerationAnswersButNoNewGeneration",
                            [](LinuxStackTest& test) {
                                test.SetFaults([](cdevemu::NodeFaults& faults) {
                                    faults.rcodes.assign(1000, RCODE_GENERATION);
                                });
                            }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinuxStackTest, OpenIsExclusiveUntilClosed) {
    auto first = MakeUnit();
    auto second = MakeUnit();
    ASSERT_EQ(kIOReturnSuccess, first->Open());
    EXPECT_EQ(kIOReturnExclusiveAccess, second->Open());
    EXPECT_EQ(kIOReturnSuccess, first->Open());  // the holder may open again
    first->Close();
    ASSERT_EQ(kIOReturnSuccess, second->Open());
    // Releasing an open unit drops its claim, as closing the file does.
    second.reset();
    EXPECT_EQ(kIOReturnSuccess, first->Open());
    first->Close();

    // So does releasing the interface alone, while its plug-in (and so the file) lives on.
    std::unique_ptr<fw::PlugIn> plugIn;
    ASSERT_EQ(kIOReturnSuccess,
              stack.CreatePlugIn(FindFirstUnit(stack, sim::kUnitSpecifierId, sim::kUnitSwVersion),
                                 plugIn));
    std::unique_ptr<fw::DeviceInterface> device;
    ASSERT_EQ(kIOReturnSuccess, plugIn->QueryInterface(device));
    ASSERT_EQ(kIOReturnSuccess, device->Open());
    EXPECT_EQ(kIOReturnExclusiveAccess, first->Open());
    device.reset();
    EXPECT_EQ(kIOReturnSuccess, first->Open());
    first->Close();
}

// Two processes on one node: a second instance, identifying and starting its own update while
// the first one's update runs (in the FPGA image, between the images, in the M-CORE image),
// never takes the unit and sends nothing.
TEST_F(LinuxStackTest, ASecondProcessNeitherTakesTheUnitNorWritesDuringAnUpdate) {
    Brim::PTA::COrloFirmwareUpdate controller(stack);
    ASSERT_TRUE(controller.IsFound());
    const std::set<std::size_t> when = {100, 2635,
                                        3000};  // pauses: FPGA data, after its CRC, M-CORE data
    std::size_t pauses = 0;
    std::vector<int> second;
    SetDownloadPause([&](UInt32) {
        if (when.count(pauses++) != 0) second.push_back(RunSecondInstance());
    });
    struct RealPauses {
        ~RealPauses() { SetDownloadPause(nullptr); }
    } restore;
    emulator.ClearLog();
    controller.DoUpdate();
    while (!controller.GetDoneStatus()) std::this_thread::sleep_for(milliseconds{1});

    EXPECT_EQ(Result::kSucceeded, controller.GetUpdateOutcome().result);
    EXPECT_EQ(std::vector<int>(when.size(), kRefusedAsInUse), second);
    const std::vector<cdevemu::Request> log = emulator.Log();
    std::set<unsigned> clients;
    for (const cdevemu::Request& request : log) clients.insert(request.client);
    EXPECT_EQ(1u, clients.size());
    EXPECT_EQ(1u, emulator.Model(kUnitNode).VerifiedCount(sim::Image::kMcore));
    // The claim is given back: the second instance now finds the unit.
    EXPECT_EQ(kFoundTheUnit, RunSecondInstance());
}

// Two Orlos on one card, the first identified as the window's tick identifies it; then, before the
// run, another Orlo is given the first one's node, or the first leaves the bus. The run writes
// nothing to either: the second Orlo was never identified, the newcomer is not the Orlo shown.
TEST_F(LinuxStackTest, TheRunWritesTheOrloIdentifiedOrNothing) {
    emulator.AddUpdateUnitNode(0, 5, 0xFFC5);
    const struct {
        const char* what;
        std::function<void()> between;
    } cases[] = {
        {"another Orlo in its place", [&] { emulator.Swap(kUnitNode, 0x0011223344556677); }},
        {"it leaves the bus", [&] { emulator.Unplug(kUnitNode); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Brim::PTA::COrloFirmwareUpdate controller(stack);
        ASSERT_TRUE(controller.IsFound());
        EXPECT_EQ(2u, controller.GetUnitsFound());
        EXPECT_EQ(emulator.Guid(kUnitNode), controller.GetOrloInfo().guid);
        c.between();
        emulator.ClearLog();
        controller.DoUpdate();
        controller.WaitForRun();
        EXPECT_EQ(Result::kChanged, controller.GetUpdateOutcome().result);
        for (const cdevemu::Request& request : emulator.Log()) {
            EXPECT_TRUE(request.tcode == TCODE_READ_QUADLET_REQUEST ||
                        request.tcode == TCODE_READ_BLOCK_REQUEST)
                << request.deviceNode;
        }
    }
}

TEST_F(LinuxStackTest, AbsoluteAddressingReachesTheNodeWithThatId) {
    emulator.AddNode(0, 2, 0xFFC2);
    SetModel([](sim::UpdateUnitModel& model) { model.softwareVersion = 0x0009'0009; }, "/dev/fw2");
    emulator.AddNode(1, 3, 0xFFC3);  // another card: never a candidate
    auto unit = MakeUnit();

    FWAddressStruct other = At(sim::kSoftwareVersion);
    other.nodeID = 0xFFC2;
    UInt32 value = 0;
    ASSERT_EQ(kIOReturnSuccess, unit->ReadQuadlet(other, value, true, false, 0));
    EXPECT_EQ(0x0009'0009u, value);
    // Device-relative addressing ignores nodeID.
    ASSERT_EQ(kIOReturnSuccess, unit->ReadQuadlet(other, value, false, false, 0));
    EXPECT_EQ(emulator.Model(kUnitNode).softwareVersion, value);
    // Our own node by ID, and nobody.
    FWAddressStruct own = At(sim::kSoftwareVersion);
    own.nodeID = kUnitNodeId;
    ASSERT_EQ(kIOReturnSuccess, unit->ReadQuadlet(own, value, true, false, 0));
    FWAddressStruct nobody = At(sim::kSoftwareVersion);
    nobody.nodeID = 0xFFC3;  // exists, but on the other card
    EXPECT_EQ(kIOFireWireNoAck, unit->ReadQuadlet(nobody, value, true, false, 0));

    const std::vector<cdevemu::Request> log = emulator.Log();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("/dev/fw2", log[0].deviceNode);
    EXPECT_EQ(kUnitNode, log[1].deviceNode);
    EXPECT_EQ(kUnitNode, log[2].deviceNode);
}

// Why no Orlo
// ---------------------------------------------------------------------------------------

// Root may open any file: for as long as this lives, the calling thread may not (its effective
// capabilities lose the override of file permissions), as a user at the seat could not.
class WithoutFilePermissionOverride {
  public:
    WithoutFilePermissionOverride() {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &header_, reduced);
    }
    ~WithoutFilePermissionOverride() { syscall(SYS_capset, &header_, saved_); }

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
};

struct DiagnosisCase {
    const char* name;
    std::function<void(LinuxStackTest&)> arrange;
    NoOrloDiagnosis::Cause cause;
    std::string details;  // a part of what it tells besides the cause (see Details)
};
void PrintTo(const DiagnosisCase& c, std::ostream* out) {
    *out << c.name;
}

class DiagnosisTest : public LinuxStackTest, public ::testing::WithParamInterface<DiagnosisCase> {};

TEST_P(DiagnosisTest, NamesTheFirstObstacle) {
    std::unique_ptr<DownloadUnit> holder;  // another program's claim, for the case that needs one
    GetParam().arrange(*this);
    if (std::string(GetParam().name) == "InUse") {
        holder = MakeUnit();
        ASSERT_EQ(kIOReturnSuccess, holder->Open());
    }
    NoOrloDiagnosis diagnosis;
    {
        WithoutFilePermissionOverride asAUser;
        diagnosis = DiagnoseNoOrlo(stack);
    }
    EXPECT_EQ(GetParam().cause, diagnosis.cause);
    const std::string details = "node=" + diagnosis.node + " holder=" + diagnosis.holder +
                                " status=" + std::to_string(diagnosis.status) +
                                " product=" + std::to_string(diagnosis.productVersion);
    EXPECT_NE(std::string::npos, details.find(GetParam().details)) << details;
    std::printf("%s: %s\n", GetParam().name, details.c_str());
    // It wrote nothing to the unit.
    for (const cdevemu::Request& request : emulator.Log()) {
        EXPECT_TRUE(request.tcode == TCODE_READ_QUADLET_REQUEST ||
                    request.tcode == TCODE_READ_BLOCK_REQUEST);
    }
}

using Cause = NoOrloDiagnosis::Cause;
INSTANTIATE_TEST_SUITE_P(
    , DiagnosisTest,
    ::testing::Values(
        DiagnosisCase{"AnOrloAnswers", [](LinuxStackTest&) {}, Cause::kNone, "status=0 "},
        DiagnosisCase{"NoController", [](LinuxStackTest& test) { test.emulator.Unplug(kUnitNode); },
                      Cause::kNoController, ""},
        DiagnosisCase{"NoUnit",
                      [](LinuxStackTest& test) {
                          test.emulator.AddNode(0, 0, 0xFFC0);  // the controller's own node
                          test.emulator.Unplug(kUnitNode);
                      },
                      Cause::kNoUnit, ""},
        DiagnosisCase{"NoPermission",
                      [](LinuxStackTest& test) { test.emulator.DenyAccess(kUnitNode); },
                      Cause::kNoPermission, "node=/dev/fw1 "},
        DiagnosisCase{"InUse", [](LinuxStackTest&) {}, Cause::kInUse,
                      "holder=pid " + std::to_string(::getpid()) + ", "},
        DiagnosisCase{"NotAnswering",
                      [](LinuxStackTest& test) {
                          test.SetModel(
                              [](sim::UpdateUnitModel& model) { model.settings.silent = true; });
                      },
                      Cause::kNotAnswering, "status=" + std::to_string(kIOFireWireCancelled) + " "},
        DiagnosisCase{"NotAnOrlo",
                      [](LinuxStackTest& test) {
                          test.SetModel([](sim::UpdateUnitModel& model) {
                              model.productRevision = 0x00010000;
                          });
                      },
                      Cause::kNotAnOrlo, "product=1"}),
    [](const auto& info) { return std::string(info.param.name); });

// The diagnosis names the rule this project ships, where its package puts it: never a copy in
// /etc, which would hide the packaged rule's later versions.
TEST(UdevRule, TheDiagnosisNamesThePackagedRule) {
    EXPECT_EQ(std::filesystem::path(kUdevRulePath).filename(),
              std::filesystem::path(UDEV_RULE_FILE).filename());
}

// The command-line twin over the emulated kernel --------------------------------------------------
#ifdef CLI_PROGRAM

struct CliRun {
    int status = -1;
    std::string out, err;
};

// A file of this test process's own under the temporary directory: ctest runs tests in parallel.
std::string ScratchFile(const std::string& name) {
    return ::testing::TempDir() + name + "." + std::to_string(::getpid());
}

// Runs orlo-firmware-update on this process's emulated bus (it inherits the emulator's
// environment), without a terminal, with `prefix` before it (a wrapper such as setpriv).
CliRun RunCli(std::vector<std::string> arguments, std::vector<std::string> prefix = {}) {
    ChildFiles files;
    files.out = ScratchFile("cli_out");
    files.err = ScratchFile("cli_err");
    arguments.insert(arguments.begin(), CLI_PROGRAM);
    arguments.insert(arguments.begin(), prefix.begin(), prefix.end());
    ChildProcess cli(arguments,
                     {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent"}, {"LANGUAGE", "en"}},
                     files);
    CliRun run;
    run.status = cli.Wait(std::chrono::seconds(60)).value_or(-1);
    run.out = ReadFile(files.out);
    run.err = ReadFile(files.err);
    std::remove(files.out.c_str());
    std::remove(files.err.c_str());
    return run;
}

QJsonObject Json(const std::string& out) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
}

TEST_F(LinuxStackTest, CliListsAndIdentifiesTheOrloOnItsNode) {
    SetModel([](sim::UpdateUnitModel& model) {
        model.serialNumber = {'O', 'R', 'L', '1', '2', '3', '4', '5'};
    });
    CliRun run = RunCli({"--json", "list"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("/dev/fw1", Json(run.out)["units"].toArray().at(0).toObject()["node"].toString());

    run = RunCli({"--json", "info"});
    EXPECT_EQ(0, run.status) << run.err;
    const QJsonObject info = Json(run.out);
    EXPECT_EQ("/dev/fw1", info["node"].toString());
    EXPECT_EQ("1-2", info["firmware"].toString());
    EXPECT_EQ("ORL12345", info["serial"].toString());
    EXPECT_EQ("upgrade", info["action"].toString());
    for (const cdevemu::Request& request : emulator.Log()) {  // identification only reads
        EXPECT_TRUE(request.tcode == TCODE_READ_QUADLET_REQUEST ||
                    request.tcode == TCODE_READ_BLOCK_REQUEST);
    }
}

// Each way the twin ends short of an update, with its exit status and what it says.
TEST_F(LinuxStackTest, CliExitStatuses) {
    std::unique_ptr<DownloadUnit> holder;
    const struct {
        const char* what;
        std::function<void()> arrange;
        std::vector<std::string> arguments;
        int status;
        std::string says;  // in the JSON document's message, or on standard error
        std::vector<std::string> prefix;
    } cases[] = {
        {"downgrade without a terminal",
         [&] { SetModel([](sim::UpdateUnitModel& model) { model.softwareVersion = 0x00020000; }); },
         {"update"},
         5,
         "give --allow-downgrade",
         {}},
        {"unit failing its erase",
         [&] {
             SetModel([](sim::UpdateUnitModel& model) {
                 model.softwareVersion = 0x00010002;
                 model.settings.eraseFailureStatus = 2;
             });
         },
         {"--json", "update"},
         6,
         "the FPGA image failed",
         {}},
        {"held by another program",
         [&] {
             holder = MakeUnit();
             ASSERT_EQ(kIOReturnSuccess, holder->Open());
         },
         {"--json", "update"},
         4,
         "pid " + std::to_string(::getpid()),
         {}},
        {"no access to the node",
         [&] {
             holder.reset();
             emulator.DenyAccess(kUnitNode);
         },
         {"--json", "info"},
         7,
         kUdevRulePath,
         {"setpriv", "--bounding-set", "-dac_override,-dac_read_search"}},
        {"no Orlo",
         [&] { emulator.Unplug(kUnitNode); },
         {"--json", "info"},
         3,
         "no FireWire controller",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        const CliRun run = RunCli(c.arguments, c.prefix);
        EXPECT_EQ(c.status, run.status) << run.out << run.err;
        const QJsonObject document = Json(run.out);
        const QString message = document.contains("error")
                                    ? document["error"].toObject()["message"].toString()
                                    : document["message"].toString();
        const std::string said = message.isEmpty() ? run.err : message.toStdString();
        EXPECT_NE(std::string::npos, said.find(c.says)) << said;
    }
    EXPECT_EQ(0u, emulator.Model(kUnitNode).VerifiedCount(sim::Image::kFpga));
}

std::string GuidText(std::uint64_t guid) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(guid));
    return text;
}

// Two Orlos on one card, as edit suites chain them: list shows both, update will not guess which,
// an Orlo that changes between identification and the run gets nothing (as does the other), and
// --device updates the one it names.
TEST_F(LinuxStackTest, CliWithTwoOrlos) {
    const std::string second = "/dev/fw5";
    emulator.AddUpdateUnitNode(0, 5, 0xFFC5);
    SetModel([](sim::UpdateUnitModel& model) { model.serialNumber = {'O', 'R', 'L', '0', '0', '0', '0', '5'}; },
             second);
    CliRun run = RunCli({"--json", "list"});
    EXPECT_EQ(0, run.status) << run.err;
    const QJsonArray units = Json(run.out)["units"].toArray();
    ASSERT_EQ(2, units.size());
    EXPECT_EQ(QString::fromStdString(GuidText(emulator.Guid(kUnitNode))),
              units[0].toObject()["guid"].toString());
    EXPECT_EQ(second, units[1].toObject()["node"].toString().toStdString());
    EXPECT_EQ("ORL00005", units[1].toObject()["serial"].toString().toStdString());
    EXPECT_EQ(2, RunCli({"--json", "--force", "update"}).status);

    const struct {
        const char* what;
        std::function<void(cdevemu::NodeFaults&)> fault;
    } changes[] = {
        // As the run opens the node's file, the second opened: identification's was the first.
        {"another Orlo given its node",
         [](cdevemu::NodeFaults& faults) {
             faults.changeAtOpen = 2;
             faults.swapGuid = 0x0011223344556677;
         }},
        {"it leaves the bus", [](cdevemu::NodeFaults& faults) { faults.changeAtOpen = 2; }},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.what);
        SetFaults(change.fault);
        run = RunCli({"--json", "--force", "--device", kUnitNode, "update"});
        EXPECT_EQ(3, run.status) << run.out << run.err;
        EXPECT_EQ("changed", Json(run.out)["result"].toString().toStdString()) << run.out;
    }
    for (const cdevemu::Request& request : emulator.Log()) {
        ASSERT_TRUE(request.tcode == TCODE_READ_QUADLET_REQUEST ||
                    request.tcode == TCODE_READ_BLOCK_REQUEST)
            << request.deviceNode;
    }

    emulator.ClearLog();
    run = RunCli({"--json", "--device", GuidText(emulator.Guid(second)), "update"});
    EXPECT_EQ(0, run.status) << run.out << run.err;
    for (const cdevemu::Request& request : emulator.Log()) EXPECT_NE(kUnitNode, request.deviceNode);
    EXPECT_EQ(1u, emulator.Model(second).VerifiedCount(sim::Image::kMcore));
}

// The claim's holder is the process whose open node holds the lock: here the one flock(1) took
// it for and left it to, not flock(1) itself, which /proc/locks names and which has exited. Its
// name reaches the seam as it is, and the terminal escaped, as a serial number is.
TEST_F(LinuxStackTest, TheHolderNamedIsTheProcessWhoseOpenNodeHoldsTheClaim) {
    const std::string program = ScratchFile("\x1b[2J");  // clears the screen, printed raw
    const std::string name = std::filesystem::path(program).filename().string().substr(0, 15);
    std::filesystem::copy_file("/bin/sleep", program);
    ChildProcess holder(
        {"sh", "-c", "exec 3>>" + kUnitNode + "; flock -x 3; exec \"$0\" 30", program});
    const std::string pid = std::to_string(holder.pid());
    ASSERT_TRUE(WaitFor([&] {
        return ReadFile("/proc/" + pid + "/comm") == name + "\n" &&
               ReadFile("/proc/locks").find("FLOCK") != std::string::npos;
    }));
    const fw::UnitHandle unit = FindFirstUnit(stack, sim::kUnitSpecifierId, sim::kUnitSwVersion);
    EXPECT_EQ(stack.Facts(unit).holder, "pid " + pid + ", " + name);
    const CliRun run = RunCli({"info"});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err, "The Orlo is in use by another program (pid " + pid + ", \\x1B" +
                           name.substr(1) + ").\n");
    holder.Signal(SIGKILL);
    holder.Wait(std::chrono::seconds(5));
    std::remove(program.c_str());
}

// A downgrade is confirmed by typing "yes" at the prompt of an interactive run, on a terminal.
TEST_F(LinuxStackTest, CliDowngradeIsConfirmedAtAPrompt) {
    SetModel([](sim::UpdateUnitModel& model) { model.softwareVersion = 0x00020000; });
    for (const std::string answer : {"no", "yes"}) {
        SCOPED_TRACE(answer);
        const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal, 0);
        ASSERT_EQ(0, ::grantpt(terminal));
        ASSERT_EQ(0, ::unlockpt(terminal));
        ChildFiles files;
        files.in = files.out = ::ptsname(terminal);
        files.err = ScratchFile("cli_err");
        std::thread drain([terminal] {  // the progress redrawn on the terminal
            char buffer[4096];
            while (::read(terminal, buffer, sizeof buffer) > 0) {
            }
        });
        std::optional<ChildProcess> cli;
        cli.emplace(std::vector<std::string>{CLI_PROGRAM, "update"},
                    std::map<std::string, std::string>{
                        {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent"}, {"LANGUAGE", "en"}},
                    files);
        // Slow under the sanitizers on a busy machine: identification comes first.
        const bool prompted = WaitFor(
            [&] { return ReadFile(files.err).find("Type yes to go on: ") != std::string::npos; },
            std::chrono::seconds(60));
        EXPECT_TRUE(prompted) << ReadFile(files.err);
        int status = -1;
        if (prompted) {
            EXPECT_NE(std::string::npos, ReadFile(files.err).find(
                                             "the Orlo has firmware 2-0, this program brings 1-3"));
            const std::string typed = answer + "\n";
            EXPECT_EQ(static_cast<ssize_t>(typed.size()),
                      ::write(terminal, typed.data(), typed.size()));
            status = cli->Wait(std::chrono::seconds(60)).value_or(-1);
        }
        cli.reset();  // one that never asked is ended here
        ::close(terminal);
        drain.join();
        if (!prompted) break;
        EXPECT_EQ(answer == "yes" ? 0 : 5, status) << ReadFile(files.err);
        EXPECT_EQ(answer == "yes" ? 1u : 0u,
                  emulator.Model(kUnitNode).VerifiedCount(sim::Image::kMcore));
        std::remove(files.err.c_str());
    }
}
#endif  // CLI_PROGRAM

// Whole updates ---------------------------------------------------------------------------------

// One image through the unit's registers, as the download sequence drives them: update mode,
// erase and its poll, the 20-byte header, the data in 128-byte blocks (the last one filled to a
// quadlet), the CRC. Returns the first failure.
IOReturn DownloadImage(DownloadUnit& unit, sim::Image image,
                       const std::vector<std::uint8_t>& bytes) {
    UInt32 generation = 0;
    IOReturn status = unit.GetBusGeneration(generation);
    if (status == kIOReturnSuccess) status = unit.Open();
    if (status != kIOReturnSuccess) return status;
    struct Closer {
        DownloadUnit& unit;
        ~Closer() { unit.Close(); }
    } closer{unit};

    UInt32 value = 0;
    if ((status = unit.BeginUpdate(generation)) != kIOReturnSuccess) return status;
    if ((status = unit.ReadStatusRegister(value, generation)) != kIOReturnSuccess) return status;
    UInt32 command = static_cast<UInt32>(image);
    if ((status = unit.SetUpdateCommand(generation, command)) != kIOReturnSuccess) return status;
    do {
        if ((status = unit.ReadStatusRegister(value, generation)) != kIOReturnSuccess)
            return status;
    } while (value == 0);

    const UInt32 size = static_cast<UInt32>(bytes.size());
    std::vector<std::uint8_t> header(sim::kHeaderSize, 0);
    header[0] = header[1] = 0xFF;
    header[3] = 1;
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
    if ((status = unit.SendBlock(header.data(), sim::kHeaderSize, 0, generation)) !=
        kIOReturnSuccess) {
        return status;
    }
    std::uint16_t crc = 0;
    for (UInt32 offset = 0; offset < size; offset += unit.MaxDownloadBlockSize()) {
        std::vector<std::uint8_t> block(
            bytes.begin() + offset,
            bytes.begin() + std::min(size, offset + unit.MaxDownloadBlockSize()));
        block.resize((block.size() + 3) / 4 * 4, 0);
        crc = sim::Crc16Xmodem(block.data(), block.size(), crc);
        status =
            unit.SendBlock(block.data(), static_cast<unsigned>(block.size()), offset, generation);
        if (status != kIOReturnSuccess) return status;
    }
    return unit.SendCRCAndVerify(crc, generation);
}

std::vector<std::uint8_t> Image(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

// The sizes of the two embedded images: the FPGA configuration data and the M-CORE S-records.
const std::vector<std::uint8_t> kFpgaImage = Image(336'680, 0x5A);
const std::vector<std::uint8_t> kMcoreImage = Image(67'988, 0x11);

TEST_F(LinuxStackTest, FullUpdateOfBothImagesThroughTheKernelInterface) {
    auto unit = MakeUnit();
    SetModel([](sim::UpdateUnitModel& model) { model.settings.erasePolls = 3; });
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(kIOReturnSuccess, DownloadImage(*unit, sim::Image::kFpga, kFpgaImage));
    ASSERT_EQ(kIOReturnSuccess, DownloadImage(*unit, sim::Image::kMcore, kMcoreImage));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    const sim::UpdateUnitModel& model = emulator.Model(kUnitNode);
    EXPECT_EQ(kFpgaImage, model.Programmed(sim::Image::kFpga));
    EXPECT_EQ(kMcoreImage, model.Programmed(sim::Image::kMcore));
    EXPECT_EQ(1u, model.VerifiedCount(sim::Image::kFpga));
    EXPECT_EQ(1u, model.VerifiedCount(sim::Image::kMcore));
    const std::size_t requests = emulator.Log().size();
    std::printf("two images, %zu requests over the emulated /dev/fw1 in %.2f s (%.0f per second)\n",
                requests, seconds, requests / seconds);
}

// The bytes of an embedded image, in file order (the words hold them most significant first).
std::vector<std::uint8_t> EmbeddedBytes(const UInt32* words, UInt32 size, UInt32 from) {
    std::vector<std::uint8_t> bytes;
    for (UInt32 i = from; i < size; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(words[i / 4] >> (24 - 8 * (i % 4))));
    }
    return bytes;
}

// Each image programmed once and verified, byte for byte what the program embeds. The FPGA
// configuration data start at the sync pattern, offset 74 of the bitstream file.
void ExpectBothEmbeddedImagesProgrammed(const sim::UpdateUnitModel& model) {
    EXPECT_EQ(EmbeddedBytes(OrloXilinxData, OrloXilinxDataSizeBytes, 74),
              model.Programmed(sim::Image::kFpga));
    EXPECT_EQ(EmbeddedBytes(OrloMCORE06data, OrloMCORE06dataSize, 0),
              model.Programmed(sim::Image::kMcore));
    EXPECT_EQ(1u, model.VerifiedCount(sim::Image::kFpga));
    EXPECT_EQ(1u, model.VerifiedCount(sim::Image::kMcore));
}

TEST_F(LinuxStackTest, DownloaderProgramsBothEmbeddedImagesThroughTheKernelInterface) {
    auto unit = MakeUnit();
    SetModel([](sim::UpdateUnitModel& model) { model.settings.erasePolls = 2; });
    Downloader downloader;  // with its real pauses, as the utility runs it
    const Clock::time_point start = Clock::now();
    downloader.DoDownload(unit.get(), fileXILINX);
    ASSERT_EQ(kIOReturnSuccess, downloader.GetError());
    downloader.DoDownload(unit.get(), fileMCORE);
    ASSERT_EQ(kIOReturnSuccess, downloader.GetError());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    ExpectBothEmbeddedImagesProgrammed(emulator.Model(kUnitNode));
    std::printf("Downloader, both images over the emulated /dev/fw1: %zu requests in %.2f s\n",
                emulator.Log().size(), seconds);
}

TEST_F(LinuxStackTest, DownloaderRidesOutA200msResetInTheEraseWaitAndTheDataOfEachImage) {
    auto unit = MakeUnit();
    SetModel([](sim::UpdateUnitModel& model) { model.settings.erasePolls = 2; });
    // Requests, each flushed one counted: FPGA from 1, its erase polls from 4, data from 8; after
    // its two resends the M-CORE image from 2642, its polls from 2645, data from 2649.
    SetFaults([](cdevemu::NodeFaults& faults) {
        faults.busResetBeforeRequest = {{5, milliseconds{200}},
                                        {1000, milliseconds{200}},
                                        {2646, milliseconds{200}},
                                        {2900, milliseconds{200}}};
    });
    // The resets take their real time; the unit's pauses need not.
    SetDownloadPause([](UInt32) {});
    struct RealPauses {
        ~RealPauses() { SetDownloadPause(nullptr); }
    } restore;

    Downloader downloader;
    const Clock::time_point start = Clock::now();
    downloader.DoDownload(unit.get(), fileXILINX);
    EXPECT_EQ(kIOReturnSuccess, downloader.GetError());
    downloader.DoDownload(unit.get(), fileMCORE);
    EXPECT_EQ(kIOReturnSuccess, downloader.GetError());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    ExpectBothEmbeddedImagesProgrammed(emulator.Model(kUnitNode));
    const std::vector<cdevemu::Request> log = emulator.Log();
    std::vector<std::size_t> flushed;
    for (std::size_t i = 0; i + 1 < log.size(); ++i) {
        if (log[i].rcode != RCODE_GENERATION) continue;
        flushed.push_back(i + 1);
        EXPECT_EQ(log[i].payload, log[i + 1].payload);
        EXPECT_EQ(unsigned{RCODE_COMPLETE}, log[i + 1].rcode);
    }
    EXPECT_EQ((std::vector<std::size_t>{5, 1000, 2646, 2900}), flushed);
    std::printf("two images through four 200 ms bus resets: %zu requests in %.2f s\n", log.size(),
                seconds);
}

TEST_F(LinuxStackTest, BusResetMidDownloadIsRiddenOutAndTheDataGoOnce) {
    auto unit = MakeUnit();
    const UInt32 before = emulator.Generation();
    // Well inside the data blocks.
    SetFaults([](cdevemu::NodeFaults& faults) {
        faults.busResetBeforeRequest = {{200, milliseconds{0}}};
    });
    ASSERT_EQ(kIOReturnSuccess, DownloadImage(*unit, sim::Image::kMcore, kMcoreImage));
    EXPECT_EQ(kMcoreImage, emulator.Model(kUnitNode).Programmed(sim::Image::kMcore));
    EXPECT_EQ(before + 1, emulator.Generation());

    const std::vector<cdevemu::Request> log = emulator.Log();
    ASSERT_GT(log.size(), 201u);
    EXPECT_EQ(before, log[199].generation);
    EXPECT_EQ(unsigned{RCODE_GENERATION}, log[199].rcode);
    // The same request again, under the new generation.
    EXPECT_EQ(log[199].offset, log[200].offset);
    EXPECT_EQ(log[199].payload, log[200].payload);
    EXPECT_EQ(before + 1, log[200].generation);
    EXPECT_EQ(unsigned{RCODE_COMPLETE}, log[200].rcode);
}

TEST_F(LinuxStackTest, BusResetMidDownloadFailsATransferBoundToTheOldGeneration) {
    auto unit = MakeUnit();
    const UInt32 generation = Generation(*unit);
    SetFaults([](cdevemu::NodeFaults& faults) {
        faults.busResetBeforeRequest = {{2, milliseconds{0}}};
    });
    UInt32 value = 0;
    EXPECT_EQ(kIOReturnSuccess,
              unit->ReadQuadlet(At(sim::kStatus), value, false, true, generation));
    EXPECT_EQ(kIOFireWireBusReset,
              unit->ReadQuadlet(At(sim::kStatus), value, false, true, generation));
    EXPECT_EQ(2u, emulator.Log().size());  // reported, not resent
}

TEST_F(LinuxStackTest, UnplugMidDownloadEndsItWithNoDevice) {
    auto unit = MakeUnit();
    SetFaults([](cdevemu::NodeFaults& faults) { faults.unplugAtRequest = 100; });
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(kIOReturnNoDevice, DownloadImage(*unit, sim::Image::kMcore, kMcoreImage));
    // Reported as soon as the node goes, not after the transfer bound.
    EXPECT_LT(Clock::now() - start, kTimeout * 10);
    EXPECT_EQ(100u, emulator.Log().size());
    EXPECT_EQ(0u, emulator.Model(kUnitNode).VerifiedCount(sim::Image::kMcore));

    UInt32 generation = 0;
    EXPECT_EQ(kIOReturnNoDevice, unit->GetBusGeneration(generation));
    UInt32 value = 0;
    EXPECT_EQ(kIOReturnNoDevice, unit->ReadQuadlet(At(sim::kStatus), value, false, false, 0));
    emulator.Unplug(kUnitNode);
    EXPECT_FALSE(FindFirstUnit(stack, sim::kUnitSpecifierId, sim::kUnitSwVersion));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == kSecondInstance) return SecondInstance();
    ::testing::InitGoogleTest(&argc, argv);
    if (!::testing::GTEST_FLAG(list_tests)) {
        // umockdev answers "preloaded?" once, so a testbed must exist before the question.
        cdevemu::Emulator probe;
        if (!cdevemu::Emulator::Preloaded()) {
            std::fprintf(stderr, "not run under umockdev-wrapper: skipped\n");
            return 77;
        }
    }
    return RUN_ALL_TESTS();
}
