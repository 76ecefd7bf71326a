// A model of the Orlo's firmware-update unit as the bus sees it: a block of registers at
// 0xFFFF:F0430000 in the node's initial register space, driven by single transactions.
//
// It knows nothing of any host API: SimulatedBus puts it behind the FireWire stack seam, and the
// firewire-cdev tests put it behind an emulated /dev/fwN. Not thread-safe; its owner serialises
// transactions and changes settings only while none is in flight.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "FireWireStatus.h"

namespace sim {

// The keys of the update unit's unit directory in the node's configuration ROM. The specifier
// ID is a locally administered one (bit 0x020000 set), so it can belong to no registered company.
constexpr std::uint32_t kUnitSpecifierId = 0x0A4F52;
constexpr std::uint32_t kUnitSwVersion = 0x11;

// Offsets within the node's 48-bit address space.
constexpr std::uint64_t kRegisterBase = 0xFFFFF0430000;
constexpr std::uint64_t kUpdateControl = kRegisterBase + 0x00;  // write 1 begin, 2 cancel; read bit 0 busy
constexpr std::uint64_t kSoftwareVersion = kRegisterBase + 0x04;
constexpr std::uint64_t kProductRevision = kRegisterBase + 0x08;
constexpr std::uint64_t kUpdateCommand = kRegisterBase + 0x0C;  // 0 erase FPGA, 1 erase M-CORE
constexpr std::uint64_t kCrc = kRegisterBase + 0x10;
constexpr std::uint64_t kStatus = kRegisterBase + 0x14;  // 1 ready / erased, 0 erasing, else failed
constexpr std::uint64_t kUpdateData = kRegisterBase + 0x20;  // block-write port
constexpr std::uint64_t kSerialNumber = kRegisterBase + 0x220;  // 8 bytes of text

constexpr std::uint32_t kMaxDataBlock = 128;  // bytes the data port takes in one write
constexpr std::uint32_t kHeaderSize = 20;     // the image header that opens each stream

// The two flash images, numbered as the update command selects them.
enum class Image : std::uint32_t { kFpga = 0, kMcore = 1 };

// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection, no final XOR), byte by byte:
// written independently of the host's nibble-wise routine so each checks the other.
std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t length, std::uint16_t crc = 0);

class UpdateUnitModel {
public:
    enum class State {
        kIdle,        // normal operation; status reads 0
        kUpdateMode,  // update begun; status reads 1
        kErasing,     // erase command taken; status reads 0 until the erase completes
        kReceiving,   // erased; takes the header and the data, status reads 1
        kVerified,    // CRC accepted; the image is programmed
        kRejected,    // CRC or header refused; nothing programmed
    };

    // Identity, as the unit's registers report it.
    std::uint32_t softwareVersion = 0x00010002;  // M-CORE version << 16 | FPGA version
    std::uint32_t productRevision = 0x00020000;  // product version in bits 31..16
    std::array<std::uint8_t, 8> serialNumber{'0', '0', '0', '0', '0', '0', '0', '1'};

    // Behaviour and faults. Defaults give a healthy unit whose erase finishes at the first poll.
    struct Settings {
        // Status polls that read 0 (erasing) after an erase command before the one that reads 1.
        unsigned erasePolls = 0;
        // The erase never completes: status reads 0 for ever.
        bool eraseNeverFinishes = false;
        // The unit fails its erase: status reads this value (neither 0 nor 1) instead.
        std::optional<std::uint32_t> eraseFailureStatus;
        // Update-control reads that still show bit 0 (busy) after a cancel; nullopt = for ever.
        std::optional<unsigned> cancelBusyReads = 0;
        // The unit answers nothing: every transaction ends as the kernel reports a split timeout.
        bool silent = false;
        // A serial-number block read delivers only this many bytes.
        std::optional<std::uint32_t> serialReadLength;
        // The unit refuses every CRC, as if the data had been corrupted on the way.
        bool rejectCrc = false;
    } settings;

    // One transaction each. `offset` is the 48-bit address within the node.
    fw::ResponseCode ReadQuadlet(std::uint64_t offset, std::uint32_t& value);
    fw::ResponseCode WriteQuadlet(std::uint64_t offset, std::uint32_t value);
    // `length` in: bytes asked; out: bytes the response carries.
    fw::ResponseCode ReadBlock(std::uint64_t offset, std::uint8_t* data, std::uint32_t& length);
    fw::ResponseCode WriteBlock(std::uint64_t offset, const std::uint8_t* data,
                                std::uint32_t length);

    State state() const { return state_; }
    // What the last download of `image` sent through the data port: the header and the data.
    const std::vector<std::uint8_t>& Header(Image image) const { return streams_[Index(image)].header; }
    const std::vector<std::uint8_t>& Data(Image image) const { return streams_[Index(image)].data; }
    // The bytes programmed by the last verified download of `image` (header's size, no fill).
    const std::vector<std::uint8_t>& Programmed(Image image) const {
        return streams_[Index(image)].programmed;
    }
    // How many downloads of `image` the unit verified.
    unsigned VerifiedCount(Image image) const { return streams_[Index(image)].verified; }

private:
    struct Stream {
        std::vector<std::uint8_t> header, data, programmed;
        unsigned verified = 0;
    };
    static std::size_t Index(Image image) { return static_cast<std::size_t>(image); }

    fw::ResponseCode ReadStatus(std::uint32_t& value);
    fw::ResponseCode WriteCrc(std::uint32_t value);

    State state_ = State::kIdle;
    std::optional<Image> image_;
    unsigned erasePollsLeft_ = 0;
    std::optional<unsigned> cancelReadsLeft_ = 0;
    std::array<Stream, 2> streams_;
};

}  // namespace sim
