// Real HighGUI windows on the X server named by DISPLAY; run through run-under-xvfb.
#include "display/Display.h"

#include "Screenshot.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <cctype>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// HighGUI on Qt unmaps a destroyed window rather than destroying it, so look at its map state.
bool windowViewable(const std::string& title) {
    const std::string command =
        "timeout 10 xwininfo -name '" + title + "' 2>/dev/null | grep -q 'Map State: IsViewable'";
    return std::system(command.c_str()) == 0;
}

// Whether `done` holds within the limit; the display thread services the windows meanwhile.
template <class Condition>
bool within(std::chrono::milliseconds limit, Condition done) {
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

TEST(XvfbDisplay, NeverCreatedWindowIsLeftAlone) {
    EXPECT_NO_THROW(display::destroyWindow("never created"));  // before HighGUI has any window
    std::string why;
    ASSERT_TRUE(display::available(why)) << why;
}

TEST(XvfbDisplay, ShownImageAppearsPixelForPixel) {
    const std::string title = "QOR display test";
    cv::Mat image(120, 160, CV_8UC3, cv::Scalar(0, 0, 255));
    image(cv::Rect(80, 0, 80, 60)).setTo(cv::Scalar(0, 255, 0));
    image(cv::Rect(0, 60, 80, 60)).setTo(cv::Scalar(255, 0, 0));
    image(cv::Rect(80, 60, 80, 60)).setTo(cv::Scalar(255, 255, 255));
    display::createWindow(title);
    display::showImage(title, image);

    // The window carries HighGUI's tool bar, so the image is found by its red quarter.
    cv::Rect red;
    cv::Mat shot;
    ASSERT_TRUE(within(10s, [&] {
        shot = testsupport::screenshot(title);
        if (shot.empty()) return false;
        cv::Mat mask;
        cv::inRange(shot, cv::Scalar(0, 0, 255), cv::Scalar(0, 0, 255), mask);
        red = cv::boundingRect(mask);
        return red.area() == 80 * 60 && cv::countNonZero(mask) == 80 * 60;
    })) << "red quarter not found; last bounding box " << red;
    EXPECT_EQ(cv::Vec3b(0, 255, 0), shot.at<cv::Vec3b>(red.y + 30, red.x + 120));
    EXPECT_EQ(cv::Vec3b(255, 0, 0), shot.at<cv::Vec3b>(red.y + 90, red.x + 40));
    EXPECT_EQ(cv::Vec3b(255, 255, 255), shot.at<cv::Vec3b>(red.y + 119, red.x + 159));

    display::destroyWindow(title);
    EXPECT_TRUE(within(10s, [&] { return !windowViewable(title); }));
    EXPECT_NO_THROW(display::destroyWindow(title));  // HighGUI's own call would throw now
}

// The display thread paints the windows of several threads, and repaints a window uncovered
// again (Xvfb keeps no backing store), while no thread waits for keys.
TEST(XvfbDisplay, WindowsOfSeveralThreadsAreServicedWithoutKeyWaits) {
    const std::string titles[] = {"QOR thread one", "QOR thread two"};
    const cv::Scalar colours[] = {cv::Scalar(0, 0, 255), cv::Scalar(0, 255, 0)};
    for (int i = 0; i < 2; ++i) {
        auto shown = std::async(std::launch::async, [&, i] {
            display::createWindow(titles[i]);
            display::showImage(titles[i], cv::Mat(120, 160, CV_8UC3, colours[i]));
        });
        ASSERT_EQ(std::future_status::ready, shown.wait_for(10s));
        shown.get();
    }
    const auto painted = [&](int i) {
        return within(10s, [&] {
            const cv::Mat shot = testsupport::screenshot(titles[i]);
            if (shot.empty()) return false;
            cv::Mat mask;
            cv::inRange(shot, colours[i], colours[i], mask);
            return cv::countNonZero(mask) >= 160 * 120;
        });
    };
    // With no window manager both open at the same place, the second on top: moved aside, it
    // uncovers the first; moved back and aside again, it covers and uncovers it once more.
    const auto move = [&](int i, int y) {
        return std::system(("timeout 10 xdotool search --name '^" + titles[i] +
                            "$' windowmove --sync %@ 0 " + std::to_string(y) + " >/dev/null")
                               .c_str()) == 0;
    };
    ASSERT_TRUE(move(0, 0) && move(1, 500));
    EXPECT_TRUE(painted(0) && painted(1));
    ASSERT_TRUE(move(1, 0));
    EXPECT_TRUE(painted(1));
    ASSERT_TRUE(move(1, 500));
    EXPECT_TRUE(painted(0)) << "the uncovered window was not repainted";
    EXPECT_TRUE(painted(1));

    auto foreign = std::async(std::launch::async, [&] { display::destroyWindow(titles[0]); });
    ASSERT_EQ(std::future_status::ready, foreign.wait_for(10s));
    EXPECT_TRUE(within(10s, [&] { return !windowViewable(titles[0]); }));
    EXPECT_TRUE(windowViewable(titles[1]));
    display::destroyWindow(titles[1]);
    EXPECT_TRUE(within(10s, [&] { return !windowViewable(titles[1]); }));
}

}  // namespace
