// Finding and identifying the unit, and the texts and decisions the window takes from it.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "SimulatedBus.h"
#include "UnitLookup.h"
#include "orlofirmwareupdate.h"

namespace {

using Brim::PTA::COrloFirmwareUpdate;
using sim::Transaction;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class IdentificationTest : public testing::Test {
  protected:
    IdentificationTest() {
        CaptureStdout();
        CaptureStderr();
        controller = std::make_unique<COrloFirmwareUpdate>(bus);
        EXPECT_EQ(GetCapturedStdout(), "Ctor OrloFirmwareUpdate\n");
        EXPECT_EQ(GetCapturedStderr(), "Test CERR\n");
    }

    // One window tick's identification, with what it wrote to standard output.
    bool Found() {
        CaptureStdout();
        CaptureStderr();
        const bool found = controller->IsFound();
        out = GetCapturedStdout();
        err = GetCapturedStderr();
        return found;
    }
    UInt32 AddUnit(UInt32 softwareVersion, UInt32 productRevision = 0x00020000) {
        const UInt32 unit = bus.AddUnit();
        bus.Model(unit).softwareVersion = softwareVersion;
        bus.Model(unit).productRevision = productRevision;
        bus.Model(unit).serialNumber = {'O', 'R', '1', '2', '3', '4', '5', '6'};
        return unit;
    }
    std::string Current() {
        std::string text = "unchanged";
        controller->GetCurrentFirmwareVersionString(text);
        return text;
    }
    std::string Serial() {
        std::string text;
        controller->GetSerialNumberString(text);
        return text;
    }
    // The unit is neither held open nor referenced: another client can open it at once.
    void ExpectUnitReleased() {
        std::unique_ptr<fw::PlugIn> plugIn;
        std::unique_ptr<fw::DeviceInterface> device;
        const fw::UnitHandle handle =
            FindFirstUnit(bus, sim::kUnitSpecifierId, sim::kUnitSwVersion);
        if (!handle) return;
        ASSERT_EQ(bus.CreatePlugIn(handle, plugIn), kIOReturnSuccess);
        ASSERT_EQ(plugIn->QueryInterface(device), kIOReturnSuccess);
        EXPECT_EQ(device->Open(), kIOReturnSuccess);
        device->Close();
    }
    ~IdentificationTest() override {
        CaptureStdout();
        controller.reset();
        GetCapturedStdout();
    }

    sim::SimulatedBus bus;
    std::unique_ptr<COrloFirmwareUpdate> controller;
    std::string out, err;
};

TEST_F(IdentificationTest, VersionTextsAndUpgradeDecisions) {
    struct Case {
        UInt32 softwareVersion;
        const char* current;
        const char* serial;
        bool downgrade;
    } cases[] = {
        {0x00010003, "1-3", "OR123456", false},  // same as the embedded images: an upgrade
        {0x00010002, "1-2", "OR123456", false},
        {0x00000005, "0-5", "Not Available", true},  // FPGA newer although M-CORE older
        {0x00020000, "2-0", "OR123456", true},
        {0x00000000, "0-0", "Not Available", false},
    };
    UInt32 unit = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.current);
        if (unit == 0) unit = AddUnit(c.softwareVersion);
        bus.Model(unit).softwareVersion = c.softwareVersion;
        ASSERT_TRUE(Found());
        EXPECT_EQ(Current(), c.current);
        EXPECT_EQ(Serial(), c.serial);
        EXPECT_EQ(controller->IsDowngrade(), c.downgrade);
    }
}

// Only printable text reaches the window, whatever bytes the unit sends.
TEST_F(IdentificationTest, SerialNumberTexts) {
    const UInt32 unit = AddUnit(0x00010002);
    const struct {
        std::array<std::uint8_t, 8> field;
        const char* text;
    } cases[] = {
        {{'O', 'R', 'L', '1', '2', '3', '4', '5'}, "ORL12345"},
        {{'O', 'R', 'L', 0, '2', '3', '4', '5'}, "ORL"},  // ends at the first NUL
        {{0, 'R', 'L', '1', '2', '3', '4', '5'}, "Not Available"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "Not Available"},  // erased
        {{'A', '\n', 'B', 0x01, 0xE9, 0x7F, ' ', '~'}, "A\\x0AB\\x01\\xE9\\x7F ~"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        bus.Model(unit).serialNumber = c.field;
        ASSERT_TRUE(Found());
        EXPECT_EQ(Serial(), c.text);
    }
}

TEST_F(IdentificationTest, EmbeddedVersionNeedsNoDevice) {
    std::string text;
    controller->GetUpdateFirmwareVersionString(text);
    EXPECT_EQ(text, "1-3");
    EXPECT_EQ(text.size(), 3u);
}

TEST_F(IdentificationTest, ASuccessfulIdentificationTracesItsStepsAndKeepsNoUnit) {
    AddUnit(0x00010002);
    ASSERT_TRUE(Found());
    EXPECT_EQ(
        out,
        "Open Orlo\nCtor DownloadUnit\nFWDL::Open\nFWDL::Close\nClose Orlo\nDtor DownloadUnit\n");
    EXPECT_EQ(err, "");
    ExpectUnitReleased();
    // The serial number is read twice; the second reading is kept.
    int serialReads = 0;
    for (const Transaction& entry : bus.Log()) serialReads += entry.offset == sim::kSerialNumber;
    EXPECT_EQ(serialReads, 2);
}

TEST_F(IdentificationTest, OnlyProductVersionsTwoAndZeroAreThisDevice) {
    const UInt32 unit = AddUnit(0x00010002);
    for (UInt32 productVersion : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE(productVersion);
        bus.Model(unit).productRevision = productVersion << 16 | 0x1234;
        EXPECT_EQ(Found(), productVersion == 0 || productVersion == 2);
        // Whatever the verdict, the device was closed and the unit object released.
        EXPECT_NE(out.find("FWDL::Close\nClose Orlo\nDtor DownloadUnit\n"), std::string::npos);
        ExpectUnitReleased();
    }
}

TEST_F(IdentificationTest, NoUnitWritesOnlyTheSearchLine) {
    for (int tick = 0; tick < 3; ++tick) {
        EXPECT_FALSE(Found());
        EXPECT_EQ(out, "Open Orlo\n");
    }
    // A decoy with the same specifier ID and another version is not the update unit.
    bus.AddUnit(sim::kUnitSpecifierId, 0x12);
    EXPECT_FALSE(Found());
    // A unit plugged in later is found at the next tick, and one unplugged is gone at the next.
    const UInt32 unit = AddUnit(0x00010002);
    EXPECT_TRUE(Found());
    bus.SetPresent(unit, false);
    EXPECT_FALSE(Found());
}

TEST_F(IdentificationTest, ADeviceHeldElsewhereIsNotFoundAndNotKept) {
    const UInt32 unit = AddUnit(0x00010002);
    bus.Faults(unit).openRefused = kIOReturnExclusiveAccess;
    for (int tick = 0; tick < 2; ++tick) {
        EXPECT_FALSE(Found());
        EXPECT_EQ(out, "Open Orlo\nCtor DownloadUnit\nFWDL::Open\nClose Orlo\nDtor DownloadUnit\n");
    }
}

TEST_F(IdentificationTest, UnitsThatCannotBeReachedOrReadAreNotFound) {
    const UInt32 unit = AddUnit(0x00010002);
    sim::UnitFaults& faults = bus.Faults(unit);

    faults.plugInFails = kIOReturnNotPermitted;  // e.g. no access to the device node
    EXPECT_FALSE(Found());
    EXPECT_EQ(err, "Couldn't create plug in interface\n");
    faults.plugInFails = kIOReturnSuccess;

    faults.queryInterfaceFails = kIOReturnUnsupported;
    EXPECT_FALSE(Found());
    faults.queryInterfaceFails = kIOReturnSuccess;

    faults.busGenerationFails = kIOReturnNoDevice;
    EXPECT_FALSE(Found());
    EXPECT_EQ(out, "Open Orlo\nCtor DownloadUnit\nClose Orlo\nDtor DownloadUnit\n");
    faults.busGenerationFails = kIOReturnSuccess;

    faults.accessFaults.push_back({sim::kSoftwareVersion, 1, kIOReturnTimeout});
    EXPECT_FALSE(Found());
    EXPECT_NE(out.find("FWDL::Close\n"), std::string::npos);

    // The serial number that counts is the second reading.
    faults.accessFaults.push_back({sim::kSerialNumber, 4, kIOReturnNoDevice});
    EXPECT_FALSE(Found());
    EXPECT_NE(out.find("FWDL::Close\n"), std::string::npos);

    // A registry that cannot be read is not an empty bus.
    bus.SetRegistryFailure(kIOReturnNotPermitted);
    EXPECT_FALSE(Found());
    EXPECT_EQ(out, "Open Orlo\n");
    EXPECT_EQ(err, "Problem with MasterPort\n");
    bus.SetRegistryFailure(kIOReturnSuccess);

    EXPECT_TRUE(Found());  // each tick tries again
}

TEST(IdentificationDeathTest, TextsNeedAnIdentifiedUnit) {
    sim::SimulatedBus bus;
    COrloFirmwareUpdate controller(bus);
    std::string text;
    EXPECT_DEATH(controller.GetSerialNumberString(text),
                 "failed assertion `true == _orloInfo.valid'");
    EXPECT_DEATH(controller.GetCurrentFirmwareVersionString(text),
                 "failed assertion `true == _orloInfo.valid'");
    EXPECT_DEATH(controller.IsDowngrade(), "failed assertion `true == _orloInfo.valid'");
}

}  // namespace
