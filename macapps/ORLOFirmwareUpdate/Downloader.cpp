#include "Downloader.h"

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>

#include "Brim_Check.h"
#include "Brim_PTA_Synchronizable.h"
#include "DownloadProgress.h"
#include "OrloXilinx.h"
#include "Orlo_MCORE.h"

namespace {

// The unit needs these pauses to keep up; they set the pace of the whole update.
constexpr UInt32 kStepPause = 1000;        // after each command, the header and each block (1 ms)
constexpr UInt32 kErasePollPause = 1000000;  // between erase polls that find the erase running (1 s)
constexpr int kErasePolls = 60;

constexpr UInt32 kStatusBusy = 0;
constexpr UInt32 kStatusReady = 1;

// The FPGA configuration data begin with the dummy word and the sync word.
constexpr unsigned char kSignature[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
constexpr int kSignatureSearchEnd = 144;  // positions 0..143 are tried

DownloadPauseFunction& PauseHook() {
    static DownloadPauseFunction hook;
    return hook;
}

void Pause(UInt32 microseconds) {
    if (PauseHook()) {
        PauseHook()(microseconds);
    } else {
        SleepPrecisely(microseconds);
    }
}

// Byte `index` of an image whose words hold its bytes most significant first.
unsigned char ImageByte(const UInt32* words, UInt32 index) {
    return static_cast<unsigned char>(words[index / 4] >> (24 - 8 * (index % 4)));
}

void PutBigEndian16(unsigned char* at, UInt16 value) {
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

void PutBigEndian32(unsigned char* at, UInt32 value) {
    PutBigEndian16(at, static_cast<UInt16>(value >> 16));
    PutBigEndian16(at + 2, static_cast<UInt16>(value));
}

}  // namespace

void SetDownloadPause(DownloadPauseFunction pause) { PauseHook() = std::move(pause); }

void SleepPrecisely(UInt32 microseconds) {
    // Linux lets a sleep run late by the thread's timer slack (50 us by default); ask for none.
    // Even so a wake-up comes tens of microseconds late, which over three thousand 1 ms pauses
    // adds several percent to an update. So learn how late this thread's wake-ups come, aim that
    // much early, and spin the few microseconds that remain: never shorter than asked, rarely
    // much longer, at a small cost in CPU.
    thread_local const bool slackSet = prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    thread_local std::int64_t expectedLateness = 50000;
    constexpr std::int64_t kMaxLateness = 200000;  // a late outlier must not turn pauses into spins
    (void)slackSet;

    const auto now = [] { return static_cast<std::int64_t>(Brim::PTA::MonotonicNanoseconds()); };
    const std::int64_t deadline = now() + std::int64_t{microseconds} * 1000;
    const std::int64_t wakeAt = deadline - expectedLateness;
    if (wakeAt > now()) {
        const timespec target{static_cast<time_t>(wakeAt / 1000000000),
                              static_cast<long>(wakeAt % 1000000000)};
        // An absolute deadline makes an interrupted sleep resume for the remainder only.
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) != 0) {
        }
        // Track a high quantile of the lateness rather than its mean: step up four times as far
        // on a wake-up past the deadline as down on an early one, so about four in five
        // wake-ups come early and only spin.
        const bool late = now() > deadline;
        expectedLateness = std::clamp<std::int64_t>(expectedLateness + (late ? 4000 : -1000), 0,
                                                    kMaxLateness);
    }
    while (now() < deadline) {
    }
}

Downloader::Downloader() { std::cout << "Ctor Downloader\n"; }

Downloader::~Downloader() { std::cout << "Dtor Downloader\n"; }

void Downloader::DoDownload(DownloadUnit* unit, DOWNLOADTYPE type) {
    int fileCount = 0;
    int offset = 0;
    int numBytes = 0;
    UInt32 crc = 0;
    IOReturn error = kIOReturnSuccess;

    _Unit = unit;
    gDownloadProgress.Reset();

    switch (type) {
        case fileXILINX:
            std::cout << "Opening Xilinx data file\n";
            ParseBit(offset, numBytes);
            fileCount = static_cast<int>(OrloXilinxDataSizeBytes);
            break;
        case fileMCORE:
            std::cout << "Opening MCORE 06 file\n";
            offset = 0;
            fileCount = static_cast<int>(OrloMCORE06dataSize);
            break;
        default:
            // Nothing is sent for an image we do not have.
            std::cerr << "Read Image : Invalid file type\n\r";
            error = kDownloadFailed;
            break;
    }

    UInt32 generation = 0;
    if (error == kIOReturnSuccess) {
        error = _Unit->GetBusGeneration(generation);
        if (error != kIOReturnSuccess) {
            // Without a generation no transfer can be addressed safely: give up before the
            // device is touched, and say so instead of carrying on with a made-up one.
            std::cerr << "Could not read the bus generation - Could not prepare device for update.\n\r";
        } else {
            std::cout << "BusGen " << generation << "\n";
            error = PrepareUnit(generation);
        }
    }

    gDownloadProgress.SetErase();

    if (error == kIOReturnSuccess) {
        UInt32 command;
        if (type == fileXILINX) {
            std::cout << "Erasing Xilinx Image\n";
            command = Xilinx;
        } else {
            std::cout << "Erasing MCORE image\n";
            command = MCORE;
        }
        error = _Unit->SetUpdateCommand(generation, command);
        Pause(kStepPause);
        if (error != kIOReturnSuccess) {
            std::cerr << "Device not ready. Could not prepare device for update.\n\r";
        }
    }

    if (error == kIOReturnSuccess) error = WaitForErase(generation);

    gDownloadProgress.SetPgm();

    if (error == kIOReturnSuccess) error = SendImage(type, offset, fileCount, generation, crc);

    if (error == kIOReturnSuccess) {
        error = _Unit->SendCRCAndVerify(crc, generation);
        Pause(kStepPause);
        if (error != kIOReturnSuccess) std::cerr << "Firmware validation failed- CRC was invalid.\n\r";
    }

    if (error == kIOReturnSuccess) {
        error = _Unit->RestoreNormalOperation(generation);
        if (error != kIOReturnSuccess) std::cerr << "Could not restore normal operation.\n\r";
    }

    if (error == kIOReturnSuccess) std::cout << "Update successful.\n\r";

    _Unit->Close();
    mError = error;
}

// Opens the device, puts the unit into update mode and checks that it is ready. An open that
// another program's claim or the unit's absence refuses is final; the rest is for the ready
// check to decide.
IOReturn Downloader::PrepareUnit(UInt32 generation) {
    IOReturn error = _Unit->Open();
    if (error != kIOReturnSuccess) {
        std::cerr << "Could not open device\n\r";
        // Another program has the unit, or it is gone: nothing may be sent to it. Any other
        // failed open alone is not fatal: the unit may still take the request.
        if (error == kIOReturnExclusiveAccess || error == kIOReturnNoDevice) return error;
    }

    error = _Unit->BeginUpdate(generation);
    Pause(kStepPause);
    if (error != kIOReturnSuccess) {
        // Not final: the unit may have taken the request and only its answer been lost. The ready
        // check decides: a unit that is not in update mode does not read ready.
        std::cerr << "Device not ready - Could not prepare device for update.\n\r";
    }

    UInt32 value = 0;
    error = _Unit->ReadStatusRegister(value, generation);
    Pause(kStepPause);
    if (error != kIOReturnSuccess || value != kStatusReady) {
        if (error == kIOReturnSuccess) error = kDownloadFailed;
        std::cerr << "Device not ready - Could not prepare device for update.\n\r";
    }
    return error;
}

// The status reads 0 while the erase runs and 1 once it has finished; anything else is a failure.
IOReturn Downloader::WaitForErase(UInt32 generation) {
    for (int towait = kErasePolls; towait > 0; --towait) {
        UInt32 value = 0;
        const IOReturn error = _Unit->ReadStatusRegister(value, generation);
        if (error != kIOReturnSuccess || value == kStatusReady) return error;
        if (value != kStatusBusy) {
            std::cerr << "Device failed - Could not erase flash.\n\r";
            return kDownloadFailed;
        }
        Pause(kErasePollPause);
        std::cerr << "Erasing Flash\n";
    }
    std::cerr << "Device timed out. -Could not erase flash.\n\r";
    return kDownloadFailed;
}

// The header, then the image from `offset` to its end in blocks of MaxDownloadBlockSize bytes,
// the last one zero-filled to a whole quadlet. `crc` covers exactly the data bytes sent.
IOReturn Downloader::SendImage(DOWNLOADTYPE type, int offset, int fileCount, UInt32 generation,
                               UInt32& crc) {
    alignas(UInt32) char buffer[DL_BUF_SIZE];
    const UInt32 downloadBlockSize = _Unit->MaxDownloadBlockSize();
    int currentOffset = offset;
    std::cout << "Sending Data...\n";
    mCancelled = false;

    const FirmwareHeader firmwareheader = {0xFFFF, 1, static_cast<UInt32>(fileCount - offset),
                                           0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    unsigned char header[kFirmwareHeaderSize];
    PutBigEndian16(header, firmwareheader.valid);
    PutBigEndian16(header + 2, firmwareheader.version);
    PutBigEndian32(header + 4, firmwareheader.sizeB);
    PutBigEndian16(header + 8, firmwareheader.CRCimage);
    PutBigEndian16(header + 10, firmwareheader.reserved0);
    PutBigEndian32(header + 12, firmwareheader.reserved1);
    PutBigEndian32(header + 16, firmwareheader.reserved2);
    IOReturn error = _Unit->SendBlock(header, kFirmwareHeaderSize, 0, generation);
    Pause(kStepPause);
    if (error != kIOReturnSuccess) {
        std::cerr << "Download has failed.";
        std::cerr << "Tried to send FirmwareHeader, got error\n\r" << error;
    }

    while (error == kIOReturnSuccess && currentOffset < fileCount && !mCancelled) {
        const UInt32 requestCount = downloadBlockSize;
        UInt32 actualCount = 0;
        ReadImage(type, static_cast<UInt32>(currentOffset), requestCount, buffer, actualCount);
        const UInt32 paddedCount = (actualCount + 3) / 4 * 4;
        if (actualCount < requestCount) {
            std::memset(buffer + actualCount, 0, paddedCount - actualCount);
        }

        error = _Unit->SendBlock(buffer, paddedCount, static_cast<UInt32>(currentOffset), generation);
        Pause(kStepPause);
        if (error != kIOReturnSuccess) {
            std::cerr << "Download has failed\n\r";
            std::cerr << "Tried to send" << actualCount << "bytes at" << currentOffset
                      << ", got error" << error << "\n\r";
        } else {
            crc = updateCRC16(static_cast<UInt16>(crc & 0xFFFF),
                              reinterpret_cast<const UInt32*>(buffer), paddedCount / 4);
            currentOffset += static_cast<int>(actualCount);
        }
        gDownloadProgress.Update(static_cast<float>(currentOffset) / static_cast<float>(fileCount));
    }
    crc &= 0xFFFF;
    return error;
}

UInt16 Downloader::updateCRC16(UInt16 currentCRC, const UInt32* buffer, UInt32 numQuads) {
    // Four bits at a time: the table-less form of the CCITT polynomial x^16 + x^12 + x^5 + 1.
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer);
    UInt32 crc16 = currentCRC;
    for (UInt32 i = 0; i < numQuads; ++i) {
        const unsigned char* word = bytes + 4 * i;
        const UInt32 quad = UInt32{word[0]} << 24 | UInt32{word[1]} << 16 |
                            UInt32{word[2]} << 8 | word[3];
        for (int shift = 28; shift >= 0; shift -= 4) {
            const UInt32 sum = ((crc16 >> 12) ^ (quad >> shift)) & 0xF;
            crc16 = (crc16 << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
        }
    }
    return static_cast<UInt16>(crc16);
}

bool Downloader::ReadImage(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, char* buf,
                           UInt32& actualCount) {
    const UInt32* words;
    UInt32 length;
    switch (type) {
        case fileXILINX:
            words = OrloXilinxData;
            length = OrloXilinxDataSizeBytes;
            break;
        case fileMCORE:
            words = OrloMCORE06data;
            length = OrloMCORE06dataSize;
            break;
        default:
            std::cerr << "Read Image : Invalid file type\n\r";
            actualCount = 0;
            return true;
    }
    actualCount = ofs + size < length ? size : length - ofs;
    // Also catches a start position beyond the image, which wraps to a huge count.
    BRIM_CHECK(actualCount < DL_BUF_SIZE);
    for (UInt32 i = 0; i < actualCount; ++i) buf[i] = static_cast<char>(ImageByte(words, ofs + i));
    return true;
}

int Downloader::FindSignature(const unsigned char* bytes) {
    int offset = 0;
    while (offset < kSignatureSearchEnd &&
           std::memcmp(bytes + offset, kSignature, sizeof kSignature) != 0) {
        ++offset;
    }
    return offset;
}

bool Downloader::ParseBit(int& offset, int& numBytes) {
    // The header is searched as bytes in file order, whatever the host's byte order.
    unsigned char head[kSignatureSearchEnd + sizeof kSignature - 1];
    for (UInt32 i = 0; i < sizeof head; ++i) head[i] = ImageByte(OrloXilinxData, i);
    offset = FindSignature(head);
    const bool found = offset < kSignatureSearchEnd;
    BRIM_CHECK(true == found);
    if (!FindNumBytes(reinterpret_cast<const char*>(head), offset, numBytes)) {
        std::cerr << "Bad Xilinx file - Could not locate numbytes.\n";
    }
    return found;
}

bool Downloader::FindNumBytes(const char* header, int size, int& numBytes) {
    if (size < 4) return false;  // the count would lie before the start of the file
    const auto* bytes = reinterpret_cast<const unsigned char*>(header) + size - 4;
    numBytes = static_cast<int>(UInt32{bytes[0]} << 24 | UInt32{bytes[1]} << 16 |
                                UInt32{bytes[2]} << 8 | bytes[3]);
    return true;
}
