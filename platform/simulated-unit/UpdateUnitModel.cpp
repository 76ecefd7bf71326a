#include "UpdateUnitModel.h"

#include <algorithm>

namespace sim {
namespace {

using fw::ResponseCode;

std::uint32_t BigEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | bytes[3];
}

std::uint16_t BigEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

// The unit's status values.
constexpr std::uint32_t kStatusBusy = 0;
constexpr std::uint32_t kStatusReady = 1;

}  // namespace

std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t length, std::uint16_t crc) {
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

ResponseCode UpdateUnitModel::ReadQuadlet(std::uint64_t offset, std::uint32_t& value) {
    if (settings.silent) return ResponseCode::kCancelled;
    switch (offset) {
        case kUpdateControl:
            // Bit 0 stays set while a cancelled transfer winds down.
            if (!cancelReadsLeft_) {
                value = 1;
            } else if (*cancelReadsLeft_ > 0) {
                --*cancelReadsLeft_;
                value = 1;
            } else {
                value = 0;
            }
            return ResponseCode::kComplete;
        case kSoftwareVersion:
            value = softwareVersion;
            return ResponseCode::kComplete;
        case kProductRevision:
            value = productRevision;
            return ResponseCode::kComplete;
        case kStatus:
            return ReadStatus(value);
        case kSerialNumber:
        case kSerialNumber + 4:
            value = BigEndian32(serialNumber.data() + (offset - kSerialNumber));
            return ResponseCode::kComplete;
        case kUpdateCommand:
        case kCrc:
        case kUpdateData:
            return ResponseCode::kTypeError;  // write-only
        default:
            return ResponseCode::kAddressError;
    }
}

ResponseCode UpdateUnitModel::ReadStatus(std::uint32_t& value) {
    switch (state_) {
        case State::kIdle:
            value = kStatusBusy;  // not in update mode: never "ready"
            break;
        case State::kErasing:
            if (settings.eraseFailureStatus) {
                value = *settings.eraseFailureStatus;
            } else if (settings.eraseNeverFinishes) {
                value = kStatusBusy;
            } else if (erasePollsLeft_ > 0) {
                --erasePollsLeft_;
                value = kStatusBusy;
            } else {
                state_ = State::kReceiving;
                value = kStatusReady;
            }
            break;
        case State::kUpdateMode:
        case State::kReceiving:
        case State::kVerified:
        case State::kRejected:
            value = kStatusReady;
            break;
    }
    return ResponseCode::kComplete;
}

ResponseCode UpdateUnitModel::WriteQuadlet(std::uint64_t offset, std::uint32_t value) {
    if (settings.silent) return ResponseCode::kCancelled;
    switch (offset) {
        case kUpdateControl:
            if (value == 1) {
                state_ = State::kUpdateMode;
                return ResponseCode::kComplete;
            }
            if (value == 2) {
                state_ = State::kIdle;
                cancelReadsLeft_ = settings.cancelBusyReads;
                return ResponseCode::kComplete;
            }
            return ResponseCode::kDataError;
        case kUpdateCommand: {
            if (state_ != State::kUpdateMode) return ResponseCode::kConflictError;
            if (value > 1) return ResponseCode::kDataError;
            image_ = static_cast<Image>(value);
            Stream& stream = streams_[Index(*image_)];
            stream.header.clear();
            stream.data.clear();
            state_ = State::kErasing;
            erasePollsLeft_ = settings.erasePolls;
            return ResponseCode::kComplete;
        }
        case kCrc:
            return WriteCrc(value);
        case kSoftwareVersion:
        case kProductRevision:
        case kStatus:
        case kSerialNumber:
        case kSerialNumber + 4:
            return ResponseCode::kTypeError;  // read-only
        case kUpdateData:
            return ResponseCode::kTypeError;  // block writes only
        default:
            return ResponseCode::kAddressError;
    }
}

ResponseCode UpdateUnitModel::WriteCrc(std::uint32_t value) {
    if (state_ != State::kReceiving) return ResponseCode::kConflictError;
    Stream& stream = streams_[Index(*image_)];
    bool accepted = false;
    if (stream.header.size() == kHeaderSize && !settings.rejectCrc) {
        const std::uint8_t* header = stream.header.data();
        const std::uint32_t size = BigEndian32(header + 4);
        // The stream may carry up to 3 zero bytes that complete the last quadlet.
        const bool headerOk = BigEndian16(header) == 0xFFFF && BigEndian16(header + 2) == 1 &&
                              stream.data.size() >= size && stream.data.size() <= size + 3u;
        accepted = headerOk && value <= 0xFFFF &&
                   Crc16Xmodem(stream.data.data(), stream.data.size()) == value;
        if (accepted) stream.programmed.assign(stream.data.begin(), stream.data.begin() + size);
    }
    if (!accepted) {
        state_ = State::kRejected;
        return ResponseCode::kDataError;
    }
    ++stream.verified;
    state_ = State::kVerified;
    return ResponseCode::kComplete;
}

ResponseCode UpdateUnitModel::ReadBlock(std::uint64_t offset, std::uint8_t* data,
                                        std::uint32_t& length) {
    if (settings.silent) return ResponseCode::kCancelled;
    if (offset < kSerialNumber || offset + length > kSerialNumber + serialNumber.size()) {
        // A quadlet-sized block read of a register is as good as a quadlet read.
        std::uint32_t value = 0;
        if (length != 4) return ResponseCode::kTypeError;
        const ResponseCode code = ReadQuadlet(offset, value);
        if (code == ResponseCode::kComplete) {
            for (int i = 0; i < 4; ++i) data[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
        }
        return code;
    }
    if (settings.serialReadLength) length = std::min(length, *settings.serialReadLength);
    std::copy_n(serialNumber.begin() + (offset - kSerialNumber), length, data);
    return ResponseCode::kComplete;
}

ResponseCode UpdateUnitModel::WriteBlock(std::uint64_t offset, const std::uint8_t* data,
                                         std::uint32_t length) {
    if (settings.silent) return ResponseCode::kCancelled;
    if (offset != kUpdateData) {
        if (length != 4) return ResponseCode::kTypeError;
        return WriteQuadlet(offset, BigEndian32(data));
    }
    if (length == 0 || length % 4 != 0 || length > kMaxDataBlock) return ResponseCode::kTypeError;
    if (state_ != State::kReceiving) return ResponseCode::kConflictError;
    Stream& stream = streams_[Index(*image_)];
    // The first write of a stream is the header; everything after it is image data.
    if (stream.header.empty()) {
        stream.header.assign(data, data + length);
    } else {
        stream.data.insert(stream.data.end(), data, data + length);
    }
    return ResponseCode::kComplete;
}

}  // namespace sim
