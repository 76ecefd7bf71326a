#include <gtest/gtest.h>

#include <exception>
#include <regex>

#include "FWLib_Device.h"
#include "SimulatedBus.h"
#include "UnitLookup.h"

namespace {

using sim::Transaction;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(FWAddressStructTest, ConstructorsSetFillerOrNodeZero) {
    const FWAddressStruct unset;
    EXPECT_EQ(unset.nodeID, 0);
    EXPECT_EQ(unset.addressHi, 0xDEAD);
    EXPECT_EQ(unset.addressLo, 0xCAFEBABEu);

    const FWAddressStruct reg(0xFFFF, 0xF0430014);
    EXPECT_EQ(reg.nodeID, 0);
    EXPECT_EQ(reg.Offset(), 0xFFFFF0430014u);
}

class DeviceTest : public testing::Test {
protected:
    sim::SimulatedBus bus;
    UInt32 unit = bus.AddUnit();

    io_service_t Handle() { return FindFirstUnit(bus, sim::kUnitSpecifierId, sim::kUnitSwVersion); }

    std::vector<Transaction> Entries(Transaction::Kind kind) {
        std::vector<Transaction> found;
        for (const Transaction& entry : bus.Log()) {
            if (entry.kind == kind) found.push_back(entry);
        }
        return found;
    }
};

TEST_F(DeviceTest, PlugInFailureWritesItsLineAndThrows) {
    bus.Faults(unit).plugInFails = kIOReturnNotPermitted;
    CaptureStderr();
    EXPECT_THROW(FWLib::Device device(Handle()), std::exception);
    EXPECT_EQ(GetCapturedStderr(), "Couldn't create plug in interface\n");
    EXPECT_TRUE(Entries(Transaction::Kind::kQueryInterface).empty());
}

TEST_F(DeviceTest, EmptyHandleFailsLikeAnUnreachableUnit) {
    CaptureStderr();
    EXPECT_THROW(FWLib::Device device(io_service_t{}), std::exception);
    EXPECT_EQ(GetCapturedStderr(), "Couldn't create plug in interface\n");
}

TEST_F(DeviceTest, InterfaceQueryFailureWritesLocatedLineAndThrows) {
    bus.Faults(unit).queryInterfaceFails = kIOReturnUnsupported;
    CaptureStderr();
    EXPECT_THROW(FWLib::Device device(Handle()), std::exception);
    const std::string err = GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        err, std::regex("FWLib_Device\\.cpp:[0-9]+ CFPlugInInterface->QueryInterface returned error\n")))
        << err;
}

TEST_F(DeviceTest, OpenAndCloseAreTracedAndReachTheUnit) {
    FWLib::Device device(Handle());
    CaptureStdout();
    EXPECT_EQ(device.Open(), kIOReturnSuccess);
    device.Close();
    EXPECT_EQ(GetCapturedStdout(), "FWDL::Open\nFWDL::Close\n");
    EXPECT_EQ(Entries(Transaction::Kind::kOpen).size(), 1u);
    EXPECT_EQ(Entries(Transaction::Kind::kClose).size(), 1u);
}

TEST_F(DeviceTest, OpenIsExclusiveUntilClosedOrReleased) {
    FWLib::Device first(Handle());
    FWLib::Device second(Handle());
    CaptureStdout();
    ASSERT_EQ(first.Open(), kIOReturnSuccess);
    EXPECT_EQ(second.Open(), kIOReturnExclusiveAccess);
    first.Close();
    EXPECT_EQ(second.Open(), kIOReturnSuccess);
    {
        FWLib::Device third(Handle());
        EXPECT_EQ(third.Open(), kIOReturnExclusiveAccess);
    }
    second.Close();
    GetCapturedStdout();

    bus.Faults(unit).openRefused = kIOReturnExclusiveAccess;  // another program holds it
    CaptureStdout();
    EXPECT_EQ(first.Open(), kIOReturnExclusiveAccess);
    GetCapturedStdout();
}

TEST_F(DeviceTest, BusGenerationAnswersWithoutOpenAndFollowsResets) {
    FWLib::Device device(Handle());
    UInt32 generation = 0;
    ASSERT_EQ(device.GetBusGeneration(generation), kIOReturnSuccess);
    EXPECT_EQ(generation, bus.Generation());
    bus.BusReset();
    ASSERT_EQ(device.GetBusGeneration(generation), kIOReturnSuccess);
    EXPECT_EQ(generation, bus.Generation());
    EXPECT_TRUE(Entries(Transaction::Kind::kOpen).empty());
}

TEST_F(DeviceTest, RelativeTransfersIgnoreNodeIdAndAbsoluteOnesUseIt) {
    const UInt32 other = bus.AddUnit();
    bus.Model(other).softwareVersion = 0x00050006;
    FWLib::Device device(Handle());

    FWAddressStruct addr(0xFFFF, 0xF0430004);
    addr.nodeID = bus.NodeId(other);  // must not matter for a relative transfer
    UInt32 value = 0;
    ASSERT_EQ(device.ReadQuadlet(addr, value, false, false, 0), kIOReturnSuccess);
    EXPECT_EQ(value, bus.Model(unit).softwareVersion);
    EXPECT_EQ(Entries(Transaction::Kind::kGetDevice).size(), 1u);

    bus.ClearLog();
    ASSERT_EQ(device.ReadQuadlet(addr, value, true, false, 0), kIOReturnSuccess);
    EXPECT_EQ(value, 0x00050006u);
    EXPECT_TRUE(Entries(Transaction::Kind::kGetDevice).empty());
    const auto reads = Entries(Transaction::Kind::kReadQuadlet);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].device, 0u);
    EXPECT_EQ(reads[0].nodeID, bus.NodeId(other));

    addr.nodeID = 0xFFC9;  // nobody there
    EXPECT_EQ(device.ReadQuadlet(addr, value, true, false, 0), kIOFireWireNoAck);
}

TEST_F(DeviceTest, ShortBlockReadLeavesTheSmallerCount) {
    bus.Model(unit).settings.serialReadLength = 5;
    FWLib::Device device(Handle());
    char buffer[8] = {};
    UInt32 size = sizeof buffer;
    ASSERT_EQ(device.Read(FWAddressStruct(0xFFFF, 0xF0430220), buffer, size, false, false, 0),
              kIOReturnSuccess);
    EXPECT_EQ(size, 5u);
}

TEST_F(DeviceTest, FailOnResetRefusesAStaleGenerationOnly) {
    FWLib::Device device(Handle());
    const UInt32 stale = bus.Generation();
    bus.BusReset();
    const FWAddressStruct version(0xFFFF, 0xF0430004);
    UInt32 value = 0;
    EXPECT_EQ(device.ReadQuadlet(version, value, false, true, stale), kIOFireWireBusReset);
    EXPECT_EQ(device.ReadQuadlet(version, value, false, true, bus.Generation()), kIOReturnSuccess);
    EXPECT_EQ(device.ReadQuadlet(version, value, false, false, stale), kIOReturnSuccess);
}

}  // namespace
