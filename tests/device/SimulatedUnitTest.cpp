// The simulated unit's own behaviour: the update protocol as the model answers it on the bus, the
// registry, and each fault setting.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "SimulatedBus.h"
#include "UnitLookup.h"

namespace {

using fw::ResponseCode;
using sim::Image;
using sim::UpdateUnitModel;
using State = sim::UpdateUnitModel::State;

// CRC-16/XMODEM check value for the ASCII digits "123456789": 0x31C3, as listed in the
// "Catalogue of parametrised CRC algorithms" (reveng.sourceforge.io/crc-catalogue, CRC-16/XMODEM).
TEST(Crc16XmodemTest, MatchesCatalogueCheckValue) {
    const char* digits = "123456789";
    EXPECT_EQ(sim::Crc16Xmodem(reinterpret_cast<const std::uint8_t*>(digits), 9), 0x31C3);
    // Continuing from a partial CRC gives the same result as one pass.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(digits);
    EXPECT_EQ(sim::Crc16Xmodem(bytes + 4, 5, sim::Crc16Xmodem(bytes, 4)), 0x31C3);
}

std::vector<std::uint8_t> Header(std::uint32_t size, std::uint16_t valid = 0xFFFF,
                                 std::uint16_t version = 1) {
    std::vector<std::uint8_t> header(20, 0xFF);
    header[0] = valid >> 8;
    header[1] = valid & 0xFF;
    header[2] = version >> 8;
    header[3] = version & 0xFF;
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
    return header;
}

class ModelTest : public testing::Test {
protected:
    ResponseCode Write(std::uint64_t offset, std::uint32_t value) {
        return model.WriteQuadlet(offset, value);
    }
    std::uint32_t Read(std::uint64_t offset) {
        std::uint32_t value = 0xEEEEEEEE;
        EXPECT_EQ(model.ReadQuadlet(offset, value), ResponseCode::kComplete);
        return value;
    }
    // Update mode, erase, until the status reads 1.
    void EraseFor(Image image) {
        ASSERT_EQ(Write(sim::kUpdateControl, 1), ResponseCode::kComplete);
        ASSERT_EQ(Read(sim::kStatus), 1u);
        ASSERT_EQ(Write(sim::kUpdateCommand, static_cast<std::uint32_t>(image)),
                  ResponseCode::kComplete);
        ASSERT_EQ(Read(sim::kStatus), 1u);
    }
    // Header and data in blocks of up to 128 bytes, the last padded to a quadlet.
    void Send(const std::vector<std::uint8_t>& header, std::vector<std::uint8_t> data) {
        ASSERT_EQ(model.WriteBlock(sim::kUpdateData, header.data(), 20), ResponseCode::kComplete);
        data.resize((data.size() + 3) / 4 * 4, 0);
        for (std::size_t at = 0; at < data.size(); at += 128) {
            const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(128, data.size() - at));
            ASSERT_EQ(model.WriteBlock(sim::kUpdateData, data.data() + at, length),
                      ResponseCode::kComplete);
        }
    }

    UpdateUnitModel model;
};

TEST_F(ModelTest, FullImageIsVerifiedAndKept) {
    std::vector<std::uint8_t> image(1000);
    std::iota(image.begin(), image.end(), 0);
    EXPECT_EQ(Read(sim::kStatus), 0u);  // not in update mode
    EraseFor(Image::kMcore);
    Send(Header(1000), image);
    EXPECT_EQ(Write(sim::kCrc, sim::Crc16Xmodem(image.data(), image.size())), ResponseCode::kComplete);
    EXPECT_EQ(model.state(), State::kVerified);
    EXPECT_EQ(model.Programmed(Image::kMcore), image);
    EXPECT_EQ(model.VerifiedCount(Image::kMcore), 1u);
    EXPECT_EQ(model.VerifiedCount(Image::kFpga), 0u);
    EXPECT_EQ(model.Header(Image::kMcore), Header(1000));
}

TEST_F(ModelTest, ZeroFillOfLastQuadletIsPartOfTheCrc) {
    std::vector<std::uint8_t> image(130, 0x5A);
    EraseFor(Image::kFpga);
    Send(Header(130), image);
    std::vector<std::uint8_t> sent = image;
    sent.resize(132, 0);
    EXPECT_EQ(model.Data(Image::kFpga).size(), 132u);
    EXPECT_EQ(Write(sim::kCrc, sim::Crc16Xmodem(sent.data(), sent.size())), ResponseCode::kComplete);
    EXPECT_EQ(model.Programmed(Image::kFpga), image);
}

TEST_F(ModelTest, WrongCrcOrHeaderIsRefused) {
    const std::vector<std::uint8_t> image(64, 0x11);
    const std::uint16_t crc = sim::Crc16Xmodem(image.data(), image.size());
    struct Case {
        const char* name;
        std::vector<std::uint8_t> header;
        std::uint32_t crc;
    } cases[] = {
        {"wrong crc", Header(64), crc ^ 1u},
        {"crc with upper bits", Header(64), crc | 0x10000u},
        {"invalid marker", Header(64, 0x7FFF), crc},
        {"wrong version", Header(64, 0xFFFF, 2), crc},
        {"size larger than data", Header(68), crc},
        {"size too small", Header(60), crc},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EraseFor(Image::kFpga);
        Send(c.header, image);
        EXPECT_EQ(Write(sim::kCrc, c.crc), ResponseCode::kDataError);
        EXPECT_EQ(model.state(), State::kRejected);
        EXPECT_TRUE(model.Programmed(Image::kFpga).empty());
    }
    EraseFor(Image::kFpga);
    Send(Header(64), image);
    model.settings.rejectCrc = true;
    EXPECT_EQ(Write(sim::kCrc, crc), ResponseCode::kDataError);
}

TEST_F(ModelTest, ProtocolOrderIsEnforced) {
    const std::uint8_t block[4] = {};
    EXPECT_EQ(Write(sim::kUpdateCommand, 0), ResponseCode::kConflictError);  // before BeginUpdate
    EXPECT_EQ(model.WriteBlock(sim::kUpdateData, block, 4), ResponseCode::kConflictError);
    EXPECT_EQ(Write(sim::kCrc, 0), ResponseCode::kConflictError);
    ASSERT_EQ(Write(sim::kUpdateControl, 1), ResponseCode::kComplete);
    EXPECT_EQ(Write(sim::kUpdateCommand, 2), ResponseCode::kDataError);
    EXPECT_EQ(Write(sim::kUpdateControl, 3), ResponseCode::kDataError);
    ASSERT_EQ(Write(sim::kUpdateCommand, 0), ResponseCode::kComplete);
    ASSERT_EQ(Read(sim::kStatus), 1u);
    std::uint8_t big[132] = {};
    EXPECT_EQ(model.WriteBlock(sim::kUpdateData, big, 132), ResponseCode::kTypeError);
    EXPECT_EQ(model.WriteBlock(sim::kUpdateData, big, 6), ResponseCode::kTypeError);
    std::uint32_t value = 0;
    EXPECT_EQ(model.ReadQuadlet(sim::kCrc, value), ResponseCode::kTypeError);
    EXPECT_EQ(model.ReadQuadlet(sim::kRegisterBase + 0x40, value), ResponseCode::kAddressError);
    EXPECT_EQ(Write(sim::kSoftwareVersion, 1), ResponseCode::kTypeError);
}

TEST_F(ModelTest, EraseSettings) {
    model.settings.erasePolls = 3;
    ASSERT_EQ(Write(sim::kUpdateControl, 1), ResponseCode::kComplete);
    ASSERT_EQ(Write(sim::kUpdateCommand, 1), ResponseCode::kComplete);
    EXPECT_EQ(Read(sim::kStatus), 0u);
    EXPECT_EQ(Read(sim::kStatus), 0u);
    EXPECT_EQ(Read(sim::kStatus), 0u);
    EXPECT_EQ(Read(sim::kStatus), 1u);

    model.settings.eraseNeverFinishes = true;
    ASSERT_EQ(Write(sim::kUpdateControl, 1), ResponseCode::kComplete);
    ASSERT_EQ(Write(sim::kUpdateCommand, 1), ResponseCode::kComplete);
    for (int poll = 0; poll < 100; ++poll) ASSERT_EQ(Read(sim::kStatus), 0u);

    model.settings.eraseFailureStatus = 2;
    EXPECT_EQ(Read(sim::kStatus), 2u);
}

TEST_F(ModelTest, SilentUnitAnswersNothing) {
    model.settings.silent = true;
    std::uint32_t value = 0;
    std::uint8_t bytes[8];
    std::uint32_t length = 8;
    EXPECT_EQ(model.ReadQuadlet(sim::kStatus, value), ResponseCode::kCancelled);
    EXPECT_EQ(model.WriteQuadlet(sim::kUpdateControl, 1), ResponseCode::kCancelled);
    EXPECT_EQ(model.ReadBlock(sim::kSerialNumber, bytes, length), ResponseCode::kCancelled);
    EXPECT_EQ(model.WriteBlock(sim::kUpdateData, bytes, 8), ResponseCode::kCancelled);
    EXPECT_EQ(model.state(), State::kIdle);
}

class BusTest : public testing::Test {
protected:
    // A device interface on the first unit the registry finds.
    std::unique_ptr<fw::DeviceInterface> Interface() {
        std::unique_ptr<fw::PlugIn> plugIn;
        std::unique_ptr<fw::DeviceInterface> device;
        const fw::UnitHandle handle = FindFirstUnit(bus, sim::kUnitSpecifierId, sim::kUnitSwVersion);
        EXPECT_EQ(bus.CreatePlugIn(handle, plugIn), kIOReturnSuccess);
        EXPECT_EQ(plugIn->QueryInterface(device), kIOReturnSuccess);
        return device;
    }
    IOReturn ReadVersion(fw::DeviceInterface& device, UInt32& value) {
        return device.ReadQuadlet(device.GetDevice(), FWAddressStruct(0xFFFF, 0xF0430004), value,
                                  false, 0);
    }

    sim::SimulatedBus bus;
};

TEST_F(BusTest, RegistryMatchesBothKeysAndSkipsUnpluggedUnits) {
    EXPECT_FALSE(FindFirstUnit(bus, sim::kUnitSpecifierId, sim::kUnitSwVersion));
    const UInt32 decoy = bus.AddUnit(sim::kUnitSpecifierId, 0x12);
    bus.AddUnit(0x00A02D, sim::kUnitSwVersion);
    EXPECT_FALSE(FindFirstUnit(bus, sim::kUnitSpecifierId, sim::kUnitSwVersion));
    const UInt32 first = bus.AddUnit();
    const UInt32 second = bus.AddUnit();
    EXPECT_EQ(FindFirstUnit(bus, sim::kUnitSpecifierId, sim::kUnitSwVersion).unit, first);
    bus.SetPresent(first, false);
    EXPECT_EQ(FindFirstUnit(bus, sim::kUnitSpecifierId, sim::kUnitSwVersion).unit, second);
    EXPECT_EQ(FindFirstUnit(bus, sim::kUnitSpecifierId, 0x12).unit, decoy);

    std::unique_ptr<fw::PlugIn> plugIn;
    EXPECT_EQ(bus.CreatePlugIn(fw::UnitHandle{&bus, first}, plugIn), kIOReturnNoDevice);
    EXPECT_EQ(plugIn, nullptr);
}

TEST_F(BusTest, FailsTheChosenAccessWithTheChosenStatus) {
    const UInt32 unit = bus.AddUnit();
    bus.Faults(unit).accessFaults.push_back({sim::kSoftwareVersion, 2, kIOFireWireBusy});
    auto device = Interface();
    UInt32 value = 0;
    EXPECT_EQ(ReadVersion(*device, value), kIOReturnSuccess);
    EXPECT_EQ(ReadVersion(*device, value), kIOFireWireBusy);
    EXPECT_EQ(ReadVersion(*device, value), kIOReturnSuccess);
    EXPECT_EQ(bus.Log().back().status, kIOReturnSuccess);
}

TEST_F(BusTest, BusResetAfterAccessesRaisesTheGeneration) {
    const UInt32 unit = bus.AddUnit();
    bus.Faults(unit).busResetAfter = 2;
    auto device = Interface();
    const UInt32 before = bus.Generation();
    UInt32 value = 0;
    EXPECT_EQ(ReadVersion(*device, value), kIOReturnSuccess);
    EXPECT_EQ(bus.Generation(), before);
    EXPECT_EQ(ReadVersion(*device, value), kIOReturnSuccess);
    EXPECT_EQ(bus.Generation(), before + 1);
    EXPECT_EQ(bus.Log().back().kind, sim::Transaction::Kind::kBusReset);
    UInt32 generation = 0;
    EXPECT_EQ(device->GetBusGeneration(generation), kIOReturnSuccess);
    EXPECT_EQ(generation, before + 1);
}

TEST_F(BusTest, UnplugAfterAccessesEndsTransfersAndDiscovery) {
    const UInt32 unit = bus.AddUnit();
    bus.Faults(unit).unplugAfter = 1;
    auto device = Interface();
    UInt32 value = 0;
    EXPECT_EQ(ReadVersion(*device, value), kIOReturnSuccess);
    EXPECT_EQ(ReadVersion(*device, value), kIOReturnNoDevice);
    EXPECT_EQ(device->GetBusGeneration(value), kIOReturnNoDevice);
    EXPECT_EQ(device->Open(), kIOReturnNoDevice);
    EXPECT_FALSE(FindFirstUnit(bus, sim::kUnitSpecifierId, sim::kUnitSwVersion));
}

// A handle names a place on the bus; the GUID names the device in it. After a swap the handle
// reaches the newcomer, and nothing built on the device before reaches anything.
TEST_F(BusTest, EachUnitHasItsGuidAndASwapPutsAnotherDeviceBehindTheHandle) {
    const UInt32 first = bus.AddUnit();
    const UInt32 second = bus.AddUnit();
    EXPECT_NE(bus.Guid(first), bus.Guid(second));
    auto before = Interface();
    UInt64 guid = 0;
    ASSERT_EQ(before->GetGUID(guid), kIOReturnSuccess);
    EXPECT_EQ(guid, bus.Guid(first));
    ASSERT_EQ(before->Open(), kIOReturnSuccess);
    std::unique_ptr<fw::PlugIn> plugIn;  // built on the first device, queried after the swap
    ASSERT_EQ(bus.CreatePlugIn({&bus, first}, plugIn), kIOReturnSuccess);

    bus.Model(first).softwareVersion = 0x00010002;
    bus.SwapUnit(first, 0x0011223344556677);
    bus.Model(first).softwareVersion = 0x00090009;
    UInt32 value = 0;
    EXPECT_EQ(before->GetGUID(guid), kIOReturnNoDevice);
    EXPECT_EQ(ReadVersion(*before, value), kIOReturnNoDevice);
    EXPECT_EQ(before->Open(), kIOReturnNoDevice);
    std::unique_ptr<fw::DeviceInterface> stale;
    EXPECT_EQ(plugIn->QueryInterface(stale), kIOReturnNoDevice);
    EXPECT_EQ(bus.ClaimHolder(first), 0u);  // the claim went with the device

    auto after = Interface();
    ASSERT_EQ(after->GetGUID(guid), kIOReturnSuccess);
    EXPECT_EQ(guid, 0x0011223344556677u);
    ASSERT_EQ(ReadVersion(*after, value), kIOReturnSuccess);
    EXPECT_EQ(value, 0x00090009u);
    EXPECT_EQ(after->Open(), kIOReturnSuccess);
}

TEST_F(BusTest, LogRecordsTransfersAndNotesInOrder) {
    bus.AddUnit();
    auto device = Interface();
    bus.ClearLog();
    const std::uint8_t bytes[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    UInt32 size = 4;
    device->Write(device->GetDevice(), FWAddressStruct(0xFFFF, 0xF0430020), bytes, size, false, 3);
    bus.Note("pause 1000");
    const auto log = bus.Log();
    ASSERT_EQ(log.size(), 3u);  // GetDevice, the write, the note
    EXPECT_EQ(log[1].kind, sim::Transaction::Kind::kWrite);
    EXPECT_EQ(log[1].offset, sim::kUpdateData);
    EXPECT_EQ(log[1].generation, 3u);
    EXPECT_EQ(log[1].bytes, std::vector<std::uint8_t>(bytes, bytes + 4));
    EXPECT_EQ(log[1].status, kIOFireWireConflictError);  // not in update mode
    EXPECT_EQ(log[2].note, "pause 1000");
}

}  // namespace
