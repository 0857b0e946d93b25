#include "display/Display.h"

#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <map>

namespace {

using namespace std::chrono_literals;

// Qt's offscreen platform needs no display server; it is chosen before the first display call.
class OffscreenDisplay : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("QT_QPA_PLATFORM", "offscreen", 1); }
};

TEST_F(OffscreenDisplay, WindowLifecycleAndRefusedImages) {
    std::string why;
    ASSERT_TRUE(display::available(why)) << why;
    display::createWindow("offscreen");
    display::showImage("offscreen", cv::Mat(20, 30, CV_8UC3, cv::Scalar(0, 0, 255)));
    display::waitKey(1);
    // HighGUI refuses two channels, 32-bit signed channels and empty images with a cv::Exception.
    EXPECT_THROW(display::showImage("offscreen", cv::Mat(4, 4, CV_8UC2)), cv::Exception);
    EXPECT_THROW(display::showImage("offscreen", cv::Mat(4, 4, CV_32SC1)), cv::Exception);
    EXPECT_THROW(display::showImage("offscreen", cv::Mat()), cv::Exception);
    display::showImage("offscreen", cv::Mat(4, 5, CV_16UC4, cv::Scalar::all(1000)));
    display::waitKey(1);
    display::destroyWindow("offscreen");
    display::destroyWindow("offscreen");  // HighGUI itself would throw here: its last window is gone
    display::waitKey(1);
}

TEST(NoDisplay, IsReportedWithAReasonAndNothingAborts) {
    const struct { std::map<std::string, std::string> env; const char* reason; } cases[] = {
        {{}, "no display: DISPLAY is not set and QT_QPA_PLATFORM names no headless platform"},
        {{{"DISPLAY", ":4999"}}, "no display: cannot connect to the X server on DISPLAY=:4999"},
        {{{"QT_QPA_PLATFORM", "wayland"}, {"XDG_RUNTIME_DIR", "/nonexistent"}},
         "no display: cannot connect to the Wayland compositor at /nonexistent/wayland-0"},
        {{{"QT_QPA_PLATFORM", "eglfs"}}, "no display: QT_QPA_PLATFORM=eglfs is a platform"}};
    for (const auto& c : cases) {
        std::vector<std::string> argv = {testsupport::executableDir() + "/display_probe"};
        for (const auto& kv : c.env) argv.push_back(kv.first + "=" + kv.second);
        testsupport::ChildProcess probe(argv);
        std::string line;
        ASSERT_TRUE(probe.readLine(line, 10s));
        EXPECT_EQ(0u, line.find(std::string("available 0 ") + c.reason)) << line;
        ASSERT_TRUE(probe.readLine(line, 10s));
        EXPECT_EQ(0u, line.find(std::string("refused ") + c.reason)) << line;
        ASSERT_TRUE(probe.wait(10s));
        EXPECT_TRUE(WIFEXITED(probe.status()) && WEXITSTATUS(probe.status()) == 0) << probe.status();
    }
}

}  // namespace
