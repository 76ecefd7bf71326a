// Reaches the image readers, which are private to the download sequence.
#pragma once

#include "Downloader.h"

class DownloaderTestAccess {
public:
    static bool ReadImage(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, char* buf,
                          UInt32& actualCount) {
        return Downloader::ReadImage(type, ofs, size, buf, actualCount);
    }
    static bool ParseBit(int& offset, int& numBytes) { return Downloader::ParseBit(offset, numBytes); }
    static bool FindNumBytes(const char* header, int size, int& numBytes) {
        return Downloader::FindNumBytes(header, size, numBytes);
    }
    static int FindSignature(const unsigned char* bytes) { return Downloader::FindSignature(bytes); }
};
