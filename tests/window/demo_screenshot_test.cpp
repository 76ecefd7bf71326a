// The demo program on a virtual X display: once the simulated Orlo is shown, what the X server
// holds of the window must be text on a plain background, not an empty or black image.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <iostream>
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
    // Each sanitizer build of the demo reads only its own options.
    const std::string command = "LSAN_OPTIONS=suppressions='" LEAK_SUPPRESSIONS
                                "' TSAN_OPTIONS=\"$TSAN_OPTIONS "
                                "suppressions='" RACE_SUPPRESSIONS
                                "'\" timeout 60 xvfb-run -a -s '-screen 0 1024x768x24' '" +
                                std::string(DEMO_PROGRAM) + "' --screenshot '" + screenshot +
                                "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    const QImage image(QString::fromStdString(screenshot));
    ASSERT_FALSE(image.isNull()) << screenshot;
    ASSERT_GE(image.width(), 300);
    ASSERT_GE(image.height(), 150);
    const int pixels = image.width() * image.height();
    const int dark = DarkPixels(image, 0, image.height());
    const int upper = DarkPixels(image, 0, image.height() / 2);
    std::cout << screenshot << ": " << image.width() << "x" << image.height() << ", " << dark
              << " dark pixels, " << upper << " in the upper half\n";
    // Menu, captions, versions, instruction and buttons: a thousand dark glyph pixels or more, yet
    // far from a dark window.
    EXPECT_GT(dark, 1000);
    EXPECT_LT(dark, pixels / 5);
    // The identity lines sit in the upper half.
    EXPECT_GT(upper, 800);
}

}  // namespace
