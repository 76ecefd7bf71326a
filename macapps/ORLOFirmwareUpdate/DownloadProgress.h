// The progress of an update on a scale of 0 to 100: the one value the update thread and the
// window share while an update runs. The FPGA image owns 40..60, the M-CORE image 80..100; each
// image's erase sets the bottom of its band and its data blocks fill the band.
#pragma once

#include <atomic>

#include "FireWireTypes.h"

// Which part is being programmed; the values equal the unit's erase commands.
enum DL_DEVICE_TYPE : UInt32 { Xilinx = 0, MCORE = 1 };

class DownloadProgress {
public:
    DownloadProgress();
    ~DownloadProgress() = default;

    void Reset();
    // The only operation the window calls, from its own thread.
    UInt32 Get() const { return _progress.load(std::memory_order_relaxed); }
    void SetDeviceType(DL_DEVICE_TYPE type) { _devType = type; }
    // Enters the erase stage of the current part: the bottom of its band.
    void SetErase();
    // Enters the data stage: the value may now climb 20 above the base.
    void SetPgm();
    // The fraction `val` (0 to 1) of the current stage is done.
    void Update(float val);

private:
    // Read whole by the window while the update thread writes it.
    std::atomic<UInt32> _progress;
    // The rest belongs to the update thread.
    UInt32 _progressBase;
    UInt32 _toAdvance;
    DL_DEVICE_TYPE _devType = Xilinx;
};

extern DownloadProgress gDownloadProgress;
