// The depth viewer in a real HighGUI window on the X server named by DISPLAY (run under Xvfb):
// what the window shows, read back from a screenshot.
// The component's header first: it brings the generated types before the port templates.
#include "Morvane.h"

#include <gtest/gtest.h>
#include <rtm/OutPort.h>

#include <chrono>
#include <thread>

#include "ComponentHarness.h"
#include "DepthImage.h"
#include "Screenshot.h"

namespace {

using Clock = std::chrono::steady_clock;

// Whether `expected` appears in the window "Stereo Depth Image" within 10 s, with no period of the viewer.
bool shownWithin(const cv::Mat& expected) {
    for (auto deadline = Clock::now() + std::chrono::seconds(10); Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        if (!testsupport::locate(testsupport::screenshot("Stereo Depth Image"), expected).empty()) return true;
    return false;
}

// 64 x 48 points: four quadrants at z 1 (hue 15), 4 (hue 60), 100 (blue) and holes (black).
QOR::TimedStereoData quadrants() {
    QOR::TimedStereoData m;
    m.tm.sec = m.tm.nsec = 0;
    m.width = 64;
    m.height = 48;
    m.data.length(64 * 48);
    for (int r = 0; r < 48; ++r)
        for (int c = 0; c < 64; ++c) {
            const double z = r < 24 ? (c < 32 ? 1.0 : 4.0) : (c < 32 ? 100.0 : 0.0);
            QOR::StereoData& p = m.data[r * 64 + c];
            p.x = p.y = 0;
            p.z = z;
        }
    return m;
}

TEST(MorvaneWindow, ShowsTheColouredMapPixelForPixel) {
    testsupport::ComponentHarness harness(MorvaneInit, "Morvane");
    QOR::TimedStereoData sent = quadrants();
    RTC::OutPort<QOR::TimedStereoData> out("out", sent);
    out.connectLocal(*dynamic_cast<RTC::InPortBase*>(harness.comp->findPort("stereo")));
    harness.activate();
    ASSERT_EQ(RTC::ACTIVE_STATE, harness.state());
    out.write();

    cv::Mat expected;
    convertToDepthImage(sent, expected);
    cv::Mat shot;
    cv::Rect where;
    for (auto deadline = Clock::now() + std::chrono::seconds(15);
         where.empty() && Clock::now() < deadline;) {
        harness.step();  // each cycle services the window's events
        shot = testsupport::screenshot("Stereo Depth Image");
        where = testsupport::locate(shot, expected);
    }
    if (where.empty()) testsupport::savePpm(shot, "morvane_window_failure.ppm");
    ASSERT_FALSE(where.empty()) << "(screen saved in morvane_window_failure.ppm) "
                                << "the map never appeared in the window";
    const auto at = [&](int r, int c) { return shot.at<cv::Vec3b>(where.y + r, where.x + c); };
    EXPECT_EQ(cv::Vec3b(255, 0, 0), at(36, 10)) << "far: blue";
    EXPECT_EQ(cv::Vec3b(0, 0, 0), at(36, 50)) << "hole: black";
    EXPECT_EQ(255, at(10, 10)[2]) << "near: red strongest";
    EXPECT_EQ(0, at(10, 10)[0]);
    EXPECT_EQ(cv::Vec3b(0, 255, 0), at(10, 50)) << "z = 4: hue 60, green";

    // The execution context stalls (no more periods): the window is still repainted.
    ASSERT_TRUE(testsupport::hideAndShow("Stereo Depth Image"));
    EXPECT_TRUE(shownWithin(expected)) << "the stalled viewer's window was not repainted";

    harness.deactivate();
    EXPECT_EQ(RTC::INACTIVE_STATE, harness.state());
}

}  // namespace
