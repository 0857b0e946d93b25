// The image viewer in a real HighGUI window on the X server named by DISPLAY (run under Xvfb):
// a frame whose rows need padding appears unchanged, without shear.
// The component's header first: it brings the generated types before the port templates.
#include "Kaleth.h"

#include <gtest/gtest.h>
#include <rtm/OutPort.h>

#include <chrono>
#include <thread>

#include "ComponentHarness.h"
#include "Screenshot.h"

namespace {

using Clock = std::chrono::steady_clock;

// Whether `expected` appears in the window "show" within 10 s, with no period of the viewer.
bool shownWithin(const cv::Mat& expected) {
    for (auto deadline = Clock::now() + std::chrono::seconds(10); Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        if (!testsupport::locate(testsupport::screenshot("show"), expected).empty()) return true;
    return false;
}

TEST(KalethWindow, ShowsAPaddedFrameWithoutShear) {
    testsupport::ComponentHarness harness(KalethInit, "Kaleth");
    // 101 x 80 pixels: 303-byte rows padded to 304. Vertical bars: a shear would slant them and
    // the frame would not be found. (HighGUI on Qt scales up images smaller than its window's
    // minimum height, so the frame is not tiny.)
    const int w = 101, h = 80, step = 304;
    QOR::TimedImageData sent;
    sent.tm.sec = sent.tm.nsec = 0;
    sent.data.nChannels = 3;
    sent.data.depth = 8;
    sent.data.origin = 0;
    sent.data.width = w;
    sent.data.height = h;
    sent.data.widthStep = step;
    sent.data.imageSize = step * h;
    sent.data.imgData.length(step * h);
    cv::Mat expected(h, w, CV_8UC3);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < step; ++c) {
            const int px = c / 3, ch = c % 3;
            unsigned char v = 0x55;  // padding
            if (c < w * 3) {
                v = static_cast<unsigned char>(((px / 5) % 2 ? 160 : 20) + (ch == 2 ? r : 0));
                expected.at<cv::Vec3b>(r, px)[ch] = v;
            }
            sent.data.imgData[r * step + c] = static_cast<char>(v);
        }
    RTC::OutPort<QOR::TimedImageData> out("out", sent);
    out.connectLocal(*dynamic_cast<RTC::InPortBase*>(harness.comp->findPort("InputImage")));
    harness.activate();
    ASSERT_EQ(RTC::ACTIVE_STATE, harness.state());

    cv::Mat shot;
    cv::Rect where;
    for (auto deadline = Clock::now() + std::chrono::seconds(15);
         where.empty() && Clock::now() < deadline;) {
        out.write();  // each shown frame services the window's events
        harness.step();
        shot = testsupport::screenshot("show");
        where = testsupport::locate(shot, expected);
    }
    if (where.empty()) testsupport::savePpm(shot, "kaleth_window_failure.ppm");
    ASSERT_FALSE(where.empty()) << "(screen saved in kaleth_window_failure.ppm) "
                                << "the frame never appeared unchanged in the window";

    // The execution context stalls (no more periods): the window is still repainted.
    ASSERT_TRUE(testsupport::hideAndShow("show"));
    EXPECT_TRUE(shownWithin(expected)) << "the stalled viewer's window was not repainted";
    harness.deactivate();
}

}  // namespace
