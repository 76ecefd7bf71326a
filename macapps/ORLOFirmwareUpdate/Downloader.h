// Programs one embedded image into the device's flash through the firmware-update unit: update
// mode and ready check, erase and its polling, a 20-byte header, the image in blocks with a
// running CRC-16, the CRC for the unit to verify. The outcome stays in the object (mError).
#pragma once

#include <atomic>
#include <functional>

#include "DownloadUnit.h"

// Which image a download concerns.
enum DOWNLOADTYPE { fileMCORE = 0, fileXILINX = 1 };

// Bytes in the download buffer; a block read must stay below it.
constexpr UInt32 DL_BUF_SIZE = 2052;

// The sequence's own failure code, next to the stack's statuses.
constexpr IOReturn kDownloadFailed = -192;

// The record sent ahead of each image, big-endian on the wire (20 bytes).
struct FirmwareHeader {
    UInt16 valid;      // 0xFFFF
    UInt16 version;    // 1
    UInt32 sizeB;      // image bytes that follow (the stream may add up to 3 zero bytes)
    UInt16 CRCimage;   // 0xFFFF: the CRC goes to its own register afterwards
    UInt16 reserved0;  // 0xFFFF
    UInt32 reserved1;  // 0xFFFFFFFF
    UInt32 reserved2;  // 0xFFFFFFFF
};
constexpr UInt32 kFirmwareHeaderSize = 20;

// Every pause of the download sequence goes through one function, so tests can run the sequence
// fast and see each pause in its place. Passing an empty function restores real sleeping. Set it
// only while no download runs.
using DownloadPauseFunction = std::function<void(UInt32 microseconds)>;
void SetDownloadPause(DownloadPauseFunction pause);
// Sleeps for at least `microseconds`, with as little overshoot as the kernel allows.
void SleepPrecisely(UInt32 microseconds);

class Downloader {
public:
    Downloader();
    ~Downloader();

    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Runs the whole conversation with `unit` for one image; opens the device and closes it
    // again, also after a failure. Blocks for seconds to minutes.
    void DoDownload(DownloadUnit* unit, DOWNLOADTYPE type);

    // 0 after a download whose every step succeeded; otherwise the status that ended it.
    IOReturn GetError() const { return mError; }

    // Stops the block loop of a running download (from another thread); the CRC of what was sent
    // then goes to the unit, which refuses it for the missing bytes, so the download fails.
    void Cancel() { mCancelled = true; }

    // The CRC-16 (polynomial 0x1021, MSB first, no reflection, no final XOR) of `numQuads`
    // big-endian words at `buffer`, continued from `currentCRC`.
    static UInt16 updateCRC16(UInt16 currentCRC, const UInt32* buffer, UInt32 numQuads);

private:
    friend class DownloaderTestAccess;

    // Copies up to `size` bytes of the image from `ofs` on; `actualCount` gets the number copied.
    // A type other than the two images copies nothing.
    static bool ReadImage(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, char* buf,
                          UInt32& actualCount);
    // Finds where the FPGA configuration data begin (the first byte to send) and the byte count
    // in front of them.
    static bool ParseBit(int& offset, int& numBytes);
    // The big-endian 32-bit number that ends just before position `size` of `header`. False when
    // fewer than four bytes precede that position.
    static bool FindNumBytes(const char* header, int size, int& numBytes);
    // The first position from 0 to 143 where the dummy and sync words start, or 144.
    static int FindSignature(const unsigned char* bytes);

    IOReturn PrepareUnit(UInt32 generation);
    IOReturn WaitForErase(UInt32 generation);
    IOReturn SendImage(DOWNLOADTYPE type, int offset, int fileCount, UInt32 generation,
                       UInt32& crc);

    DownloadUnit* _Unit = nullptr;
    IOReturn mError = kIOReturnSuccess;
    std::atomic<bool> mCancelled = false;
};
