// The FPGA configuration bitstream file (.bit), embedded at build time from
// firmware/OrloXilinx.bit. The words hold the file's bytes most significant byte first; the last
// word is filled up with zero bytes. OrloXilinxDataSizeBytes, not the array, says where the file
// ends.
#pragma once

#include "FireWireTypes.h"

extern const UInt32 OrloXilinxDataSizeBytes;
extern const UInt32 OrloXilinxData[];
