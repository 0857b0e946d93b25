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

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// HighGUI on Qt unmaps a destroyed window rather than destroying it, so look at its map state.
bool windowViewable(const std::string& title) {
    const std::string command =
        "timeout 10 xwininfo -name '" + title + "' 2>/dev/null | grep -q 'Map State: IsViewable'";
    return std::system(command.c_str()) == 0;
}

// Services the windows until `done` holds or the limit passes.
template <class Condition>
bool serviceUntil(Condition done, std::chrono::milliseconds limit = 10s) {
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
        display::waitKey(20);
        if (done()) return true;
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
    ASSERT_TRUE(serviceUntil([&] {
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
    EXPECT_TRUE(serviceUntil([&] { return !windowViewable(title); }));
    EXPECT_NO_THROW(display::destroyWindow(title));  // HighGUI's own call would throw now
}

TEST(XvfbDisplay, DestroyFromAnotherThreadLeavesTheWindow) {
    const std::string title = "QOR owned window";
    display::createWindow(title);
    display::showImage(title, cv::Mat(30, 40, CV_8UC3, cv::Scalar::all(90)));
    ASSERT_TRUE(serviceUntil([&] { return windowViewable(title); }));

    auto foreign = std::async(std::launch::async, [&] { display::destroyWindow(title); });
    ASSERT_EQ(std::future_status::ready, foreign.wait_for(5s));
    int serviced = 0;
    serviceUntil([&] { return ++serviced == 5; });
    EXPECT_TRUE(windowViewable(title));

    display::destroyWindow(title);
    EXPECT_TRUE(serviceUntil([&] { return !windowViewable(title); }));
}

}  // namespace
