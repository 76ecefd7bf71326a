#include "DownloadProgress.h"

#include <iostream>

namespace {

constexpr UInt32 kXilinxBase = 40;
constexpr UInt32 kMcoreBase = 80;
constexpr UInt32 kDataSpan = 20;

}  // namespace

DownloadProgress gDownloadProgress;

DownloadProgress::DownloadProgress() {
    Reset();
}

void DownloadProgress::Reset() {
    _progressBase = 0;
    _toAdvance = 0;
    _progress = 0;
    SetStage(DownloadActivity::kPreparing);
}

DownloadActivity DownloadProgress::GetActivity() const {
    const UInt32 activity = _activity.load(std::memory_order_relaxed);
    return {static_cast<DL_DEVICE_TYPE>(activity >> 8),
            static_cast<DownloadActivity::Stage>(activity & 0xFF)};
}

void DownloadProgress::SetStage(DownloadActivity::Stage stage) {
    _activity.store(UInt32{_devType} << 8 | stage, std::memory_order_relaxed);
}

void DownloadProgress::SetErase() {
    switch (_devType) {
        case Xilinx:
            _progressBase = kXilinxBase;
            break;
        case MCORE:
            _progressBase = kMcoreBase;
            break;
        default:
            std::cerr << "Invalid device type\n";
            return;
    }
    _toAdvance = 0;
    _progress = _progressBase;
    SetStage(DownloadActivity::kErasing);
}

void DownloadProgress::SetPgm() {
    if (_devType != Xilinx && _devType != MCORE) {
        std::cerr << "Invalid device type\n";
        return;
    }
    _toAdvance = kDataSpan;
    SetStage(DownloadActivity::kWriting);
}

void DownloadProgress::Update(float val) {
    // Single precision throughout, truncated: 0.99 of the FPGA band shows 59, not 60.
    const float value = static_cast<float>(_progressBase) + static_cast<float>(_toAdvance) * val;
    _progress = static_cast<UInt32>(value);
}
