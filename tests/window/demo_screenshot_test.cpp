// The demo program on a virtual X display: once the simulated Orlo is shown, what the X server
// holds of the window must be text on a plain background, not an empty or black image.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// Pixels dark enough to be text, in rows [top, bottom) of the image.
int DarkPixels(const QImage& image, int top, int bottom) {
    int dark = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = 0; x < image.width(); ++x) dark += qGray(image.pixel(x, y)) < 100;
    return dark;
}

TEST(DemoUnderXvfb, ShowsTheSimulatedOrlo) {
    if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xvfb-run is not installed";
    }
    const std::string screenshot = SCREENSHOT_FILE;
    std::filesystem::remove(screenshot);
    // The leak check is not what this test is about, and the X libraries keep their caches.
    const std::string command =
        "ASAN_OPTIONS=detect_leaks=0 timeout 60 xvfb-run -a -s '-screen 0 1024x768x24' '" +
        std::string(DEMO_PROGRAM) + "' --screenshot '" + screenshot + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    const QImage image(QString::fromStdString(screenshot));
    ASSERT_FALSE(image.isNull()) << screenshot;
    ASSERT_GE(image.width(), 300);
    ASSERT_GE(image.height(), 150);
    const int pixels = image.width() * image.height();
    const int dark = DarkPixels(image, 0, image.height());
    // Menu, captions, versions, instruction and buttons: hundreds of dark glyph pixels, yet
    // far from a dark window.
    EXPECT_GT(dark, 400);
    EXPECT_LT(dark, pixels / 5);
    // The identity lines sit in the upper half.
    EXPECT_GT(DarkPixels(image, 0, image.height() / 2), 200);
}

}  // namespace
