#include <gtest/gtest.h>

#include "DownloadProgress.h"

namespace {

TEST(ProgressTest, BandsOfTheTwoParts) {
    DownloadProgress progress;
    EXPECT_EQ(progress.Get(), 0u);
    progress.SetErase();  // starts as the FPGA
    EXPECT_EQ(progress.Get(), 40u);
    progress.Update(1.0f);  // before SetPgm nothing may advance
    EXPECT_EQ(progress.Get(), 40u);
    progress.SetPgm();
    EXPECT_EQ(progress.Get(), 40u);
    progress.Update(0.5f);
    EXPECT_EQ(progress.Get(), 50u);
    progress.Update(0.99f);
    EXPECT_EQ(progress.Get(), 59u);  // truncated, not rounded
    progress.Update(1.0f);
    EXPECT_EQ(progress.Get(), 60u);

    progress.SetDeviceType(MCORE);
    EXPECT_EQ(progress.Get(), 60u);
    progress.Reset();
    EXPECT_EQ(progress.Get(), 0u);
    progress.SetErase();  // the type survives Reset
    EXPECT_EQ(progress.Get(), 80u);
    progress.SetPgm();
    progress.Update(0.0f);
    EXPECT_EQ(progress.Get(), 80u);
    progress.Update(1.0f);
    EXPECT_EQ(progress.Get(), 100u);
}

TEST(ProgressTest, FirstFpgaBlockStaysAtTheBandBottom) {
    DownloadProgress progress;
    progress.SetErase();
    progress.SetPgm();
    progress.Update((74.0f + 128.0f) / 336754.0f);
    EXPECT_EQ(progress.Get(), 40u);
    progress.Update(0.05f * 1.01f);
    EXPECT_EQ(progress.Get(), 41u);
}

TEST(ProgressTest, InvalidDeviceTypeChangesNothing) {
    DownloadProgress progress;
    progress.SetDeviceType(static_cast<DL_DEVICE_TYPE>(2));
    testing::internal::CaptureStderr();
    progress.SetErase();
    progress.SetPgm();
    progress.Update(1.0f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid device type\nInvalid device type\n");
    EXPECT_EQ(progress.Get(), 0u);
}

}  // namespace
