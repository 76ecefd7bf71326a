// The M-CORE program image: Motorola S-record text, embedded at build time from
// firmware/Orlo_MCORE.s19. The words hold the file's bytes most significant byte first; the last
// word is filled up with zero bytes. OrloMCORE06dataSize, not the array, says where the text ends.
#pragma once

#include "FireWireTypes.h"

extern const UInt32 OrloMCORE06dataSize;
extern const UInt32 OrloMCORE06data[];
