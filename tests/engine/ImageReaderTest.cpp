#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "DownloaderTestAccess.h"

namespace {

using Access = DownloaderTestAccess;

std::string FileBytes(const char* name) {
    std::ifstream file(std::string(ORLO_FIRMWARE_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

class ImageReaderTest : public testing::Test {
protected:
    // Reads into a buffer pre-filled with a marker, to see what the read did not touch.
    std::string Read(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, UInt32& actualCount) {
        buffer.assign(DL_BUF_SIZE, '#');
        EXPECT_TRUE(Access::ReadImage(type, ofs, size, buffer.data(), actualCount));
        return buffer.substr(0, actualCount);
    }

    std::string buffer;
    const std::string mcore = FileBytes("Orlo_MCORE.s19");
    const std::string xilinx = FileBytes("OrloXilinx.bit");
};

TEST_F(ImageReaderTest, BlocksComeOutAsTheFilesHoldThem) {
    ASSERT_EQ(mcore.size(), 67988u);
    ASSERT_EQ(xilinx.size(), 336754u);
    UInt32 count = 0;
    const std::string first = Read(fileMCORE, 0, 128, count);
    EXPECT_EQ(count, 128u);
    EXPECT_EQ(first, mcore.substr(0, 128));
    EXPECT_EQ(first.substr(0, 2), "S0");
    EXPECT_EQ(buffer[128], '#');  // nothing beyond the count is touched

    const std::string last = Read(fileMCORE, 67968, 128, count);
    EXPECT_EQ(count, 20u);
    EXPECT_EQ(last, mcore.substr(67968));
    EXPECT_EQ(last.substr(18), "\r\n");

    EXPECT_EQ(Read(fileXILINX, 74, 128, count), xilinx.substr(74, 128));
    EXPECT_EQ(Read(fileXILINX, 336714, 128, count), xilinx.substr(336714));
    EXPECT_EQ(count, 40u);
    Read(fileXILINX, 336754 - 128, 128, count);  // ends exactly at the end
    EXPECT_EQ(count, 128u);
    // The two filler bytes behind the bitstream are never handed out.
    EXPECT_EQ(Read(fileXILINX, 336750, 128, count), xilinx.substr(336750));
    EXPECT_EQ(count, 4u);
}

TEST_F(ImageReaderTest, AnInvalidTypeReadsNothing) {
    UInt32 count = 99;
    testing::internal::CaptureStderr();
    Read(static_cast<DOWNLOADTYPE>(2), 0, 128, count);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Read Image : Invalid file type\n\r");
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buffer[0], '#');
}

TEST(ImageReaderDeathTest, ABlockAsLargeAsTheBufferBreaksTheInvariant) {
    char buffer[DL_BUF_SIZE];
    UInt32 count = 0;
    EXPECT_DEATH(Access::ReadImage(fileMCORE, 0, DL_BUF_SIZE, buffer, count),
                 "failed assertion `actualCount < DL_BUF_SIZE'");
    EXPECT_DEATH(Access::ReadImage(fileMCORE, 70000, 128, buffer, count),
                 "failed assertion `actualCount < DL_BUF_SIZE'");
}

TEST_F(ImageReaderTest, ParseBitFindsTheConfigurationData) {
    int offset = -1, numBytes = -1;
    EXPECT_TRUE(Access::ParseBit(offset, numBytes));
    EXPECT_EQ(offset, 74);
    EXPECT_EQ(numBytes, 336680);
    EXPECT_EQ(numBytes, static_cast<int>(xilinx.size()) - offset);
}

TEST(SignatureSearchTest, TriesPositionsUpTo143Only) {
    const unsigned char signature[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
    for (int at : {0, 5, 143, 144}) {
        SCOPED_TRACE(at);
        std::vector<unsigned char> head(160, 0x00);
        std::copy(signature, signature + 8, head.begin() + std::min(at, 152));
        EXPECT_EQ(Access::FindSignature(head.data()), std::min(at, 144));
    }
    // A dummy word without the sync word behind it is not the signature.
    std::vector<unsigned char> head(160, 0xFF);
    EXPECT_EQ(Access::FindSignature(head.data()), 144);
}

TEST(FindNumBytesTest, ReadsTheBigEndianCountBeforeThePosition) {
    const char header[] = {'\x65', '\x00', '\x05', '\x23', '\x28', '\xFF'};
    int numBytes = 0;
    EXPECT_TRUE(Access::FindNumBytes(header, 5, numBytes));
    EXPECT_EQ(numBytes, 0x00052328);
    // Fewer than four bytes before the position: nothing is read before the start.
    numBytes = 7;
    EXPECT_FALSE(Access::FindNumBytes(header, 3, numBytes));
    EXPECT_EQ(numBytes, 7);
}

}  // namespace
