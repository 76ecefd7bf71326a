#include <gtest/gtest.h>

#include <exception>
#include <functional>

#include "DownloadUnit.h"
#include "SimulatedBus.h"
#include "UnitLookup.h"

namespace {

using sim::Transaction;
using Kind = sim::Transaction::Kind;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class DownloadUnitTest : public testing::Test {
protected:
    DownloadUnitTest() {
        CaptureStdout();
        unit = std::make_unique<DownloadUnit>(
            FindFirstUnit(bus, DownloadUnit::kFirmwareUpdateUnitSpecID,
                         DownloadUnit::kFirmwareUpdateUnitSWVersion));
        GetCapturedStdout();
        bus.ClearLog();
    }

    sim::UpdateUnitModel& Model() { return bus.Model(handle); }

    // The register transfers only (no GetDevice lookups).
    std::vector<Transaction> Transfers() {
        std::vector<Transaction> transfers;
        for (const Transaction& entry : bus.Log()) {
            if (entry.kind == Kind::kReadQuadlet || entry.kind == Kind::kWriteQuadlet ||
                entry.kind == Kind::kRead || entry.kind == Kind::kWrite) {
                transfers.push_back(entry);
            }
        }
        return transfers;
    }

    sim::SimulatedBus bus;
    UInt32 handle = bus.AddUnit();
    std::unique_ptr<DownloadUnit> unit;
    UInt32 generation = 7;
};

TEST(DownloadUnitLifeTest, TracesConstructionAndDestruction) {
    sim::SimulatedBus bus;
    bus.AddUnit();
    CaptureStdout();
    {
        DownloadUnit unit(FindFirstUnit(bus, DownloadUnit::kFirmwareUpdateUnitSpecID,
                                       DownloadUnit::kFirmwareUpdateUnitSWVersion));
    }
    EXPECT_EQ(GetCapturedStdout(), "Ctor DownloadUnit\nDtor DownloadUnit\n");
}

TEST(DownloadUnitLifeTest, FailedConstructionPrintsNoTraceAndThrows) {
    sim::SimulatedBus bus;
    bus.Faults(bus.AddUnit()).plugInFails = kIOReturnNoDevice;
    CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_THROW(DownloadUnit unit(FindFirstUnit(bus, DownloadUnit::kFirmwareUpdateUnitSpecID,
                                                DownloadUnit::kFirmwareUpdateUnitSWVersion)),
                 std::exception);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Couldn't create plug in interface\n");
}

// Each operation makes one access to its register, device-relative, failOnReset false.
struct RegisterCase {
    const char* name;
    std::function<IOReturn(DownloadUnit&, UInt32&)> call;
    Kind kind;
    std::uint64_t offset;
    UInt32 value;       // quadlet written (writes only)
    bool usesGeneration;  // false: the identity reads pass generation 0
};

TEST_F(DownloadUnitTest, EachOperationAccessesItsRegister) {
    std::uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const RegisterCase cases[] = {
        {"BeginUpdate", [](DownloadUnit& u, UInt32& g) { return u.BeginUpdate(g); },
         Kind::kWriteQuadlet, 0xFFFFF0430000, 1, true},
        {"SetUpdateCommand",
         [](DownloadUnit& u, UInt32& g) { UInt32 type = 1; return u.SetUpdateCommand(g, type); },
         Kind::kWriteQuadlet, 0xFFFFF043000C, 1, true},
        {"SendCRCAndVerify", [](DownloadUnit& u, UInt32& g) { return u.SendCRCAndVerify(0x31C3, g); },
         Kind::kWriteQuadlet, 0xFFFFF0430010, 0x31C3, true},
        {"SendBlock", [&](DownloadUnit& u, UInt32& g) { return u.SendBlock(block, 8, 0, g); },
         Kind::kWrite, 0xFFFFF0430020, 0, true},
        {"SendBlock at another offset",
         [&](DownloadUnit& u, UInt32& g) { return u.SendBlock(block, 8, 4096, g); }, Kind::kWrite,
         0xFFFFF0430020, 0, true},
        {"ReadStatusRegister",
         [](DownloadUnit& u, UInt32& g) { UInt32 v; return u.ReadStatusRegister(v, g); },
         Kind::kReadQuadlet, 0xFFFFF0430014, 0, true},
        {"ReadUpdateControl",
         [](DownloadUnit& u, UInt32& g) { UInt32 v; return u.ReadUpdateControl(v, g); },
         Kind::kReadQuadlet, 0xFFFFF0430000, 0, true},
        {"WriteUpdateControl", [](DownloadUnit& u, UInt32& g) { return u.WriteUpdateControl(2, g); },
         Kind::kWriteQuadlet, 0xFFFFF0430000, 2, true},
        {"WriteUpdateCommand", [](DownloadUnit& u, UInt32& g) { return u.WriteUpdateCommand(0, g); },
         Kind::kWriteQuadlet, 0xFFFFF043000C, 0, true},
        {"WriteCRCReg", [](DownloadUnit& u, UInt32& g) { return u.WriteCRCReg(0xBEEF, g); },
         Kind::kWriteQuadlet, 0xFFFFF0430010, 0xBEEF, true},
        {"GetSoftwareVersion",
         [](DownloadUnit& u, UInt32&) { UInt32 v; return u.GetSoftwareVersion(v); },
         Kind::kReadQuadlet, 0xFFFFF0430004, 0, false},
        {"GetProductRevision",
         [](DownloadUnit& u, UInt32&) { UInt32 v; return u.GetProductRevision(v); },
         Kind::kReadQuadlet, 0xFFFFF0430008, 0, false},
        {"GetProductSerNum",
         [](DownloadUnit& u, UInt32&) { std::string s; return u.GetProductSerNum(s); },
         Kind::kRead, 0xFFFFF0430220, 0, false},
    };
    for (const RegisterCase& c : cases) {
        SCOPED_TRACE(c.name);
        bus.ClearLog();
        UInt32 passed = generation;
        c.call(*unit, passed);
        EXPECT_EQ(passed, generation);  // never changed through the reference
        const auto transfers = Transfers();
        ASSERT_EQ(transfers.size(), 1u);
        const Transaction& t = transfers[0];
        EXPECT_EQ(t.kind, c.kind);
        EXPECT_EQ(t.offset, c.offset);
        EXPECT_NE(t.device, 0u);  // device-relative
        EXPECT_FALSE(t.failOnReset);
        EXPECT_EQ(t.generation, c.usesGeneration ? generation : 0u);
        if (c.kind == Kind::kWriteQuadlet) {
            EXPECT_EQ(t.value, c.value);
        } else if (c.kind == Kind::kWrite) {
            EXPECT_EQ(t.bytes, std::vector<std::uint8_t>(block, block + 8));
        } else if (c.kind == Kind::kRead) {
            EXPECT_EQ(t.length, 8u);
        }
    }
}

TEST_F(DownloadUnitTest, IdentityReadsReturnWholeRegisters) {
    Model().softwareVersion = 0x00010003;
    Model().productRevision = 0x0002ABCD;
    UInt32 version = 0, revision = 0;
    EXPECT_EQ(unit->GetSoftwareVersion(version), kIOReturnSuccess);
    EXPECT_EQ(unit->GetProductRevision(revision), kIOReturnSuccess);
    EXPECT_EQ(version, 0x00010003u);
    EXPECT_EQ(revision, 0x0002ABCDu);
}

TEST_F(DownloadUnitTest, SerialNumberEndsAtNulOrShortReadOrIsEmptyAfterFailure) {
    std::string serial;
    Model().serialNumber = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    ASSERT_EQ(unit->GetProductSerNum(serial), kIOReturnSuccess);
    EXPECT_EQ(serial, "ABCDEFGH");

    Model().serialNumber = {'D', 'E', 'M', '\0', 'X', 'X', 'X', 'X'};
    ASSERT_EQ(unit->GetProductSerNum(serial), kIOReturnSuccess);
    EXPECT_EQ(serial, "DEM");

    Model().serialNumber = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    Model().settings.serialReadLength = 3;
    ASSERT_EQ(unit->GetProductSerNum(serial), kIOReturnSuccess);
    EXPECT_EQ(serial, "ABC");

    Model().settings.silent = true;
    EXPECT_EQ(unit->GetProductSerNum(serial), kIOFireWireCancelled);
    EXPECT_EQ(serial, "");
}

TEST_F(DownloadUnitTest, FixedAnswersNeedNoUnit) {
    Model().settings.silent = true;
    EXPECT_EQ(unit->RestoreNormalOperation(generation), kIOReturnSuccess);
    EXPECT_EQ(unit->DownloadDataWait(), kIOReturnSuccess);
    EXPECT_EQ(unit->MaxDownloadBlockSize(), 128u);
    EXPECT_TRUE(Transfers().empty());
}

TEST_F(DownloadUnitTest, CancelWaitsForBusyBitToClear) {
    Model().settings.cancelBusyReads = 3;
    EXPECT_EQ(unit->CancelTransfer(generation), kIOReturnSuccess);
    const auto transfers = Transfers();
    ASSERT_EQ(transfers.size(), 5u);  // the write of 2, then three busy reads and a clear one
    EXPECT_EQ(transfers[0].kind, Kind::kWriteQuadlet);
    EXPECT_EQ(transfers[0].value, 2u);
    EXPECT_EQ(transfers[4].value, 0u);
}

TEST_F(DownloadUnitTest, CancelReportsTheReadNotAFailedWrite) {
    bus.Faults(handle).accessFaults.push_back({0xFFFFF0430000, 1, kIOFireWireBusy});
    EXPECT_EQ(unit->CancelTransfer(generation), kIOReturnSuccess);
    EXPECT_EQ(Transfers().size(), 2u);
}

TEST_F(DownloadUnitTest, CancelEndsAtTheFirstFailedRead) {
    bus.Faults(handle).accessFaults.push_back({0xFFFFF0430000, 3, kIOReturnTimeout});
    Model().settings.cancelBusyReads = 10;
    EXPECT_EQ(unit->CancelTransfer(generation), kIOReturnTimeout);
    EXPECT_EQ(Transfers().size(), 3u);
}

TEST_F(DownloadUnitTest, CancelIsBoundedWhenBusyBitNeverClears) {
    Model().settings.cancelBusyReads = std::nullopt;
    EXPECT_EQ(unit->CancelTransfer(generation), kIOReturnTimeout);
    EXPECT_EQ(Transfers().size(), 1u + DownloadUnit::kCancelPollLimit);
}

}  // namespace
