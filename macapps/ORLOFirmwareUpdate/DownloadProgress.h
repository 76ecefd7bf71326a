// The progress of an update on a scale of 0 to 100: the one value the update thread and the
// window share while an update runs. The FPGA image owns 40..60, the M-CORE image 80..100; each
// image's erase sets the bottom of its band and its data blocks fill the band.
#pragma once

#include <atomic>

#include "FireWireTypes.h"

// Which part is being programmed; the values equal the unit's erase commands.
enum DL_DEVICE_TYPE : UInt32 { Xilinx = 0, MCORE = 1 };

// What an update is doing to which part, for a front end to say so.
struct DownloadActivity {
    enum Stage : UInt32 { kPreparing, kErasing, kWriting };
    DL_DEVICE_TYPE part;
    Stage stage;
};

class DownloadProgress {
  public:
    DownloadProgress();
    ~DownloadProgress() = default;

    void Reset();
    // What a front end reads, from its own thread.
    UInt32 Get() const { return _progress.load(std::memory_order_relaxed); }
    DownloadActivity GetActivity() const;
    void SetDeviceType(DL_DEVICE_TYPE type) {
        _devType = type;
        SetStage(DownloadActivity::kPreparing);
    }
    // Enters the erase stage of the current part: the bottom of its band.
    void SetErase();
    // Enters the data stage: the value may now climb 20 above the base.
    void SetPgm();
    // The fraction `val` (0 to 1) of the current stage is done.
    void Update(float val);

  private:
    void SetStage(DownloadActivity::Stage stage);

    // Read whole by the window while the update thread writes them. The activity is packed in
    // one value (part << 8 | stage) so that a reader never sees the part of one and the stage of
    // another.
    std::atomic<UInt32> _progress;
    std::atomic<UInt32> _activity = 0;
    // The rest belongs to the update thread.
    UInt32 _progressBase;
    UInt32 _toAdvance;
    DL_DEVICE_TYPE _devType = Xilinx;
};

extern DownloadProgress gDownloadProgress;
