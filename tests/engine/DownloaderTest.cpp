// Whole downloads of both embedded images against the simulated unit, and every way one fails.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "DownloadProgress.h"
#include "Downloader.h"
#include "SimulatedBus.h"
#include "UnitLookup.h"

namespace {

using sim::Image;
using sim::Transaction;
using Kind = sim::Transaction::Kind;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

std::vector<std::uint8_t> FileBytes(const char* name, std::size_t from = 0) {
    std::ifstream file(std::string(ORLO_FIRMWARE_DIR) + "/" + name, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(from));
    return bytes;
}

// updateCRC16 works on whole big-endian words; the simulated unit's byte-wise CRC-16/XMODEM is
// pinned to the catalogue's check value 0x31C3 for "123456789" (see the device tests), so the two
// must agree on any whole number of words, also when the CRC is continued across calls.
TEST(UpdateCrc16Test, AgreesWithCrc16XmodemOverWholeWords) {
    std::vector<std::uint8_t> bytes(4 * 300);
    std::uint32_t state = 12345;
    for (std::uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    alignas(UInt32) std::uint8_t words[4 * 300];
    std::copy(bytes.begin(), bytes.end(), words);
    const auto* quads = reinterpret_cast<const UInt32*>(words);
    for (UInt32 count : {0u, 1u, 2u, 3u, 32u, 300u}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(Downloader::updateCRC16(0, quads, count), sim::Crc16Xmodem(bytes.data(), 4 * count));
    }
    const UInt16 firstHalf = Downloader::updateCRC16(0, quads, 150);
    EXPECT_EQ(Downloader::updateCRC16(firstHalf, quads + 150, 150),
              sim::Crc16Xmodem(bytes.data(), bytes.size()));
    const char digits[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    alignas(UInt32) char aligned[8];
    std::copy(digits, digits + 8, aligned);
    EXPECT_EQ(Downloader::updateCRC16(0, reinterpret_cast<const UInt32*>(aligned), 2),
              sim::Crc16Xmodem(reinterpret_cast<const std::uint8_t*>(digits), 8));
}

class DownloaderTest : public testing::Test {
public:
    DownloaderTest() {
        CaptureStdout();
        unit = std::make_unique<DownloadUnit>(FindFirstUnit(bus, DownloadUnit::kFirmwareUpdateUnitSpecID,
                                                           DownloadUnit::kFirmwareUpdateUnitSWVersion));
        downloader = std::make_unique<Downloader>();
        GetCapturedStdout();
        bus.ClearLog();
        // Pauses cost nothing here; each leaves a note in the bus log and a progress sample.
        SetDownloadPause([this](UInt32 microseconds) {
            pauses.push_back(microseconds);
            progressAtPause.push_back(gDownloadProgress.Get());
            bus.Note("pause " + std::to_string(microseconds));
        });
    }
    ~DownloaderTest() override {
        SetDownloadPause(nullptr);
        CaptureStdout();
        downloader.reset();
        unit.reset();
        GetCapturedStdout();
    }

    void Download(DOWNLOADTYPE type, DL_DEVICE_TYPE part) {
        gDownloadProgress.SetDeviceType(part);
        CaptureStdout();
        CaptureStderr();
        downloader->DoDownload(unit.get(), type);
        out = GetCapturedStdout();
        err = GetCapturedStderr();
    }

    sim::UpdateUnitModel& Model() { return bus.Model(handle); }
    sim::UnitFaults& Faults() { return bus.Faults(handle); }

    std::vector<Transaction> Entries(Kind kind, std::uint64_t offset = 0) {
        std::vector<Transaction> found;
        for (const Transaction& entry : bus.Log()) {
            if (entry.kind == kind && (offset == 0 || entry.offset == offset)) found.push_back(entry);
        }
        return found;
    }
    bool Sent(Kind kind, std::uint64_t offset) { return !Entries(kind, offset).empty(); }
    // The device was closed as the last thing on the bus.
    bool ClosedLast() {
        const auto log = bus.Log();
        for (auto it = log.rbegin(); it != log.rend(); ++it) {
            if (it->kind != Kind::kNote) return it->kind == Kind::kClose;
        }
        return false;
    }

    // The log as one word per entry: W<offset> / R<offset> for quadlets, B<offset> for blocks,
    // P<microseconds> for pauses, O and C for open and close.
    std::vector<std::string> Trace() {
        std::vector<std::string> trace;
        for (const Transaction& entry : bus.Log()) {
            const std::string at = [&] {
                char text[8];
                std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(entry.offset & 0xFFF));
                return std::string(text);
            }();
            switch (entry.kind) {
                case Kind::kWriteQuadlet: trace.push_back("W" + at + "=" + std::to_string(entry.value)); break;
                case Kind::kReadQuadlet: trace.push_back("R" + at); break;
                case Kind::kWrite: trace.push_back("B" + at); break;
                case Kind::kNote: trace.push_back("P" + entry.note.substr(6)); break;
                case Kind::kOpen: trace.push_back("O"); break;
                case Kind::kClose: trace.push_back("C"); break;
                default: break;
            }
        }
        return trace;
    }

    sim::SimulatedBus bus;
    UInt32 handle = bus.AddUnit();
    std::unique_ptr<DownloadUnit> unit;
    std::unique_ptr<Downloader> downloader;
    std::vector<UInt32> pauses;
    std::vector<UInt32> progressAtPause;
    std::string out, err;
};

TEST_F(DownloaderTest, FpgaImageGoesOutExactlyFromTheSyncWord) {
    Download(fileXILINX, Xilinx);
    EXPECT_EQ(downloader->GetError(), kIOReturnSuccess);
    EXPECT_EQ(out, "Opening Xilinx data file\nBusGen 1\nFWDL::Open\nErasing Xilinx Image\n"
                   "Sending Data...\nUpdate successful.\n\rFWDL::Close\n");
    EXPECT_EQ(err, "");

    const std::vector<std::uint8_t> image = FileBytes("OrloXilinx.bit", 74);
    EXPECT_EQ(Model().Programmed(Image::kFpga), image);
    EXPECT_EQ(Model().Data(Image::kFpga), image);  // no zero fill needed
    const std::vector<std::uint8_t> header = {0xFF, 0xFF, 0x00, 0x01, 0x00, 0x05, 0x23, 0x28, 0xFF, 0xFF,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(Model().Header(Image::kFpga), header);  // sizeB 336,680

    const auto blocks = Entries(Kind::kWrite, sim::kUpdateData);
    ASSERT_EQ(blocks.size(), 1u + 2631u);
    EXPECT_EQ(blocks.front().bytes, header);  // the header is the first write to the data port
    EXPECT_EQ(blocks[1].length, 128u);
    EXPECT_EQ(blocks.back().length, 40u);
    const auto crc = Entries(Kind::kWriteQuadlet, sim::kCrc);
    ASSERT_EQ(crc.size(), 1u);
    EXPECT_EQ(crc[0].value, sim::Crc16Xmodem(image.data(), image.size()));
    EXPECT_TRUE(ClosedLast());
}

TEST_F(DownloaderTest, McoreImageGoesOutWholeWithPausesInTheirPlaces) {
    Model().settings.erasePolls = 3;
    Download(fileMCORE, MCORE);
    EXPECT_EQ(downloader->GetError(), kIOReturnSuccess);
    EXPECT_EQ(out, "Opening MCORE 06 file\nBusGen 1\nFWDL::Open\nErasing MCORE image\n"
                   "Sending Data...\nUpdate successful.\n\rFWDL::Close\n");
    EXPECT_EQ(err, "Erasing Flash\nErasing Flash\nErasing Flash\n");

    const std::vector<std::uint8_t> image = FileBytes("Orlo_MCORE.s19");
    EXPECT_EQ(Model().Programmed(Image::kMcore), image);
    EXPECT_EQ(Model().Header(Image::kMcore)[7], 67988 & 0xFF);
    EXPECT_EQ(Entries(Kind::kWriteQuadlet, sim::kCrc).at(0).value,
              sim::Crc16Xmodem(image.data(), image.size()));

    const std::vector<std::string> trace = Trace();
    const std::vector<std::string> start(trace.begin(), trace.begin() + 16);
    EXPECT_EQ(start, (std::vector<std::string>{
                         "O", "W0=1", "P1000", "R14", "P1000", "WC=1", "P1000",
                         "R14", "P1000000", "R14", "P1000000", "R14", "P1000000", "R14",  // erase polls
                         "B20", "P1000"}));  // the header
    const std::vector<std::string> end(trace.end() - 5, trace.end());
    const std::string crc = std::to_string(sim::Crc16Xmodem(image.data(), image.size()));
    EXPECT_EQ(end, (std::vector<std::string>{"B20", "P1000", "W10=" + crc, "P1000", "C"}));

    // 1 ms after each step and block, 1 s after each busy poll: nothing else.
    std::uint64_t total = 0;
    for (UInt32 pause : pauses) total += pause;
    EXPECT_EQ(pauses.size(), 3u + 3u + 1u + 532u + 1u);
    EXPECT_EQ(total, 3000000u + (3u + 1u + 532u + 1u) * 1000u);
}

TEST_F(DownloaderTest, ProgressClimbsThroughTheBandOfEachPart) {
    Download(fileXILINX, Xilinx);
    // Sampled at each pause: begin, status, erase command, header, then one per block.
    ASSERT_EQ(progressAtPause.size(), 4u + 2631u + 1u);
    EXPECT_EQ(progressAtPause[0], 0u);
    EXPECT_EQ(progressAtPause[1], 0u);
    EXPECT_EQ(progressAtPause[2], 40u);  // SetErase comes after the ready check
    EXPECT_EQ(progressAtPause[3], 40u);
    // Each block's pause comes before its progress update, so it shows the blocks before it.
    for (std::size_t block = 1; block <= 2631; ++block) {
        const float sent = 74.0f + 128.0f * static_cast<float>(block - 1);
        EXPECT_EQ(progressAtPause[3 + block], static_cast<UInt32>(40.0f + 20.0f * (sent / 336754.0f)));
    }
    EXPECT_EQ(gDownloadProgress.Get(), 60u);

    progressAtPause.clear();
    Download(fileMCORE, MCORE);
    EXPECT_EQ(progressAtPause.front(), 0u);  // Reset at the start of the download
    EXPECT_EQ(progressAtPause[2], 80u);
    EXPECT_EQ(gDownloadProgress.Get(), 100u);
}

TEST_F(DownloaderTest, AFailedOpenAloneDoesNotEndTheDownload) {
    Faults().openRefused = kIOReturnNotPermitted;
    Download(fileMCORE, MCORE);
    EXPECT_EQ(err, "Could not open device\n\r");
    EXPECT_EQ(downloader->GetError(), kIOReturnSuccess);
    EXPECT_EQ(Model().VerifiedCount(Image::kMcore), 1u);
}

TEST_F(DownloaderTest, NothingIsSentToAUnitHeldElsewhereOrGone) {
    for (const IOReturn refusal : {kIOReturnExclusiveAccess, kIOReturnNoDevice}) {
        SCOPED_TRACE(refusal);
        bus.ClearLog();
        Faults().openRefused = refusal;
        Download(fileMCORE, MCORE);
        EXPECT_EQ(err, "Could not open device\n\r");
        EXPECT_EQ(downloader->GetError(), refusal);
        for (const Transaction& entry : bus.Log()) {
            EXPECT_TRUE(entry.kind != Kind::kWrite && entry.kind != Kind::kWriteQuadlet &&
                        entry.kind != Kind::kRead && entry.kind != Kind::kReadQuadlet);
        }
        EXPECT_TRUE(ClosedLast());
    }
}

TEST_F(DownloaderTest, EraseFinishingOnTheSixtiethPollSucceeds) {
    Model().settings.erasePolls = 59;
    Download(fileMCORE, MCORE);
    EXPECT_EQ(downloader->GetError(), kIOReturnSuccess);
    EXPECT_EQ(Entries(Kind::kReadQuadlet, sim::kStatus).size(), 1u + 60u);
}

// One row per way a download fails: what is written, what is left in mError, what reached the unit.
struct FailureCase {
    const char* name;
    std::function<void(DownloaderTest&)> inject;
    std::string err;
    IOReturn error;
    std::uint64_t lastSent;  // the last register write tried, or 0 when none was
    bool headerSent;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

constexpr IOReturn kInjected = kIOFireWireBusy;

class DownloadFailureTest : public DownloaderTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(DownloadFailureTest, EndsWithTheMessageAndStatusAndClosesTheDevice) {
    const FailureCase& c = GetParam();
    c.inject(*this);
    Download(fileMCORE, MCORE);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(downloader->GetError(), c.error);
    EXPECT_EQ(Sent(Kind::kWrite, sim::kUpdateData), c.headerSent);
    EXPECT_FALSE(Sent(Kind::kWriteQuadlet, sim::kCrc) && c.lastSent != sim::kCrc);
    if (c.lastSent != 0) {
        std::uint64_t last = 0;
        for (const Transaction& entry : bus.Log()) {
            if (entry.kind == Kind::kWriteQuadlet) last = entry.offset;
        }
        EXPECT_EQ(last, c.lastSent);
    }
    EXPECT_EQ(Model().VerifiedCount(Image::kMcore), 0u);
    EXPECT_TRUE(ClosedLast());
    // Nothing follows a transfer that failed, but the ready check after a failed BeginUpdate.
    bool failed = false;
    for (const Transaction& entry : bus.Log()) {
        const bool transfer = entry.kind == Kind::kWrite || entry.kind == Kind::kWriteQuadlet ||
                              entry.kind == Kind::kRead || entry.kind == Kind::kReadQuadlet;
        EXPECT_FALSE(failed && transfer);
        failed = failed || (transfer && entry.status != kIOReturnSuccess &&
                            entry.offset != sim::kUpdateControl);
    }
    EXPECT_EQ(out.find("Update successful"), std::string::npos);
    EXPECT_GE(gDownloadProgress.Get(), 80u);  // the band's bottom is shown whatever happened
}

const std::string kNotReady = "Device not ready - Could not prepare device for update.\n\r";

INSTANTIATE_TEST_SUITE_P(
    EveryFailure, DownloadFailureTest,
    testing::Values(
        // The ready check decides: a unit that never took the request is not ready.
        FailureCase{"BeginUpdateRefused",
                    [](DownloaderTest& t) { t.Faults().accessFaults.push_back({sim::kUpdateControl, 1, kInjected}); },
                    kNotReady + kNotReady, kDownloadFailed, sim::kUpdateControl, false},
        FailureCase{"StatusReadFails",
                    [](DownloaderTest& t) { t.Faults().accessFaults.push_back({sim::kStatus, 1, kInjected}); },
                    kNotReady, kInjected, sim::kUpdateControl, false},
        FailureCase{"EraseCommandRefused",
                    [](DownloaderTest& t) { t.Faults().accessFaults.push_back({sim::kUpdateCommand, 1, kInjected}); },
                    "Device not ready. Could not prepare device for update.\n\r", kInjected,
                    sim::kUpdateCommand, false},
        FailureCase{"StatusReadFailsDuringErase",
                    [](DownloaderTest& t) { t.Faults().accessFaults.push_back({sim::kStatus, 3, kInjected});
                                            t.Model().settings.erasePolls = 2; },
                    "Erasing Flash\n", kInjected, sim::kUpdateCommand, false},
        FailureCase{"EraseReportsFailure",
                    [](DownloaderTest& t) { t.Model().settings.eraseFailureStatus = 2; },
                    "Device failed - Could not erase flash.\n\r", kDownloadFailed, sim::kUpdateCommand, false},
        FailureCase{"EraseNeverFinishes",
                    [](DownloaderTest& t) { t.Model().settings.eraseNeverFinishes = true; },
                    [] { std::string e; for (int i = 0; i < 60; ++i) e += "Erasing Flash\n";
                         return e + "Device timed out. -Could not erase flash.\n\r"; }(),
                    kDownloadFailed, sim::kUpdateCommand, false},
        FailureCase{"HeaderWriteFails",
                    [](DownloaderTest& t) { t.Faults().accessFaults.push_back({sim::kUpdateData, 1, kInjected}); },
                    "Download has failed.Tried to send FirmwareHeader, got error\n\r" + std::to_string(kInjected),
                    kInjected, sim::kUpdateCommand, true},
        FailureCase{"ThirdBlockWriteFails",
                    [](DownloaderTest& t) { t.Faults().accessFaults.push_back({sim::kUpdateData, 4, kInjected}); },
                    "Download has failed\n\rTried to send128bytes at256, got error" + std::to_string(kInjected) + "\n\r",
                    kInjected, sim::kUpdateCommand, true},
        FailureCase{"UnitRejectsTheCrc",
                    [](DownloaderTest& t) { t.Model().settings.rejectCrc = true; },
                    "Firmware validation failed- CRC was invalid.\n\r", kIOFireWireDataError, sim::kCrc, true}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// A BeginUpdate that the unit took, though its answer was lost, is no failure: the ready check
// finds the unit ready.
TEST_F(DownloaderTest, ABeginUpdateWhoseAnswerWasLostDoesNotEndTheDownload) {
    Faults().accessFaults.push_back(
        {sim::kUpdateControl, 1, kInjected, sim::UnitFaults::AccessFault::Kind::kLostAnswer});
    Download(fileMCORE, MCORE);
    EXPECT_EQ(err, kNotReady);
    EXPECT_EQ(downloader->GetError(), kIOReturnSuccess);
    EXPECT_EQ(Model().VerifiedCount(Image::kMcore), 1u);
}

TEST_F(DownloaderTest, AFailedBlockIsNeitherCountedNorFollowedByTheCrc) {
    Faults().accessFaults.push_back({sim::kUpdateData, 4, kInjected});
    Download(fileMCORE, MCORE);
    EXPECT_EQ(Entries(Kind::kWrite, sim::kUpdateData).size(), 4u);
    EXPECT_EQ(Model().Data(Image::kMcore).size(), 256u);  // two blocks arrived
    EXPECT_FALSE(Sent(Kind::kWriteQuadlet, sim::kCrc));
    // Progress was still updated after the failed block, at the offset that did arrive.
    EXPECT_EQ(progressAtPause.back(), static_cast<UInt32>(80.0f + 20.0f * (256.0f / 67988.0f)));
}

TEST_F(DownloaderTest, AnUnreadableBusGenerationEndsTheDownloadBeforeTheDeviceIsTouched) {
    bus.SetPresent(handle, false);
    Download(fileXILINX, Xilinx);
    EXPECT_EQ(err, "Could not read the bus generation - Could not prepare device for update.\n\r");
    EXPECT_EQ(downloader->GetError(), kIOReturnNoDevice);
    EXPECT_EQ(out, "Opening Xilinx data file\nFWDL::Close\n");
    EXPECT_TRUE(Entries(Kind::kOpen).empty());
    EXPECT_TRUE(ClosedLast());
}

TEST_F(DownloaderTest, AnInvalidImageTypeSendsNothing) {
    Download(static_cast<DOWNLOADTYPE>(2), Xilinx);
    EXPECT_EQ(err, "Read Image : Invalid file type\n\r");
    EXPECT_EQ(downloader->GetError(), kDownloadFailed);
    EXPECT_EQ(out, "FWDL::Close\n");
    const auto log = bus.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, Kind::kClose);
}

TEST_F(DownloaderTest, AnUnplugMidDownloadFailsWithNoDevice) {
    Faults().unplugAfter = 100;
    Download(fileXILINX, Xilinx);
    EXPECT_EQ(downloader->GetError(), kIOReturnNoDevice);
    EXPECT_NE(err.find("Download has failed\n\r"), std::string::npos);
    EXPECT_EQ(Model().VerifiedCount(Image::kFpga), 0u);
}

TEST_F(DownloaderTest, ABusResetMidDownloadDoesNotStopIt) {
    Faults().busResetAfter = 50;
    Download(fileXILINX, Xilinx);
    EXPECT_EQ(downloader->GetError(), kIOReturnSuccess);
    EXPECT_EQ(bus.Generation(), 2u);
    EXPECT_EQ(Model().VerifiedCount(Image::kFpga), 1u);
}

TEST_F(DownloaderTest, CancellingStopsTheBlocksAndTheUnitRefusesThePartialImage) {
    SetDownloadPause([this](UInt32) {
        if (Entries(Kind::kWrite, sim::kUpdateData).size() == 10) downloader->Cancel();
    });
    Download(fileMCORE, MCORE);
    EXPECT_EQ(Entries(Kind::kWrite, sim::kUpdateData).size(), 10u);
    EXPECT_EQ(err, "Firmware validation failed- CRC was invalid.\n\r");
    EXPECT_EQ(downloader->GetError(), kIOFireWireDataError);
}

}  // namespace
