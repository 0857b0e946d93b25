// Real HighGUI windows on the X server named by DISPLAY; run through run-under-xvfb.
#include "display/Display.h"

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

// The window's pixels as BGR, or an empty image when it cannot be captured.
cv::Mat screenshot(const std::string& title) {
    const std::string command =
        "timeout 10 xwd -silent -name '" + title + "' 2>/dev/null | timeout 10 convert xwd:- ppm:- 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return cv::Mat();
    std::string bytes;
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) bytes.append(chunk, n);
    ::pclose(pipe);
    // A binary PPM: "P6", width, height and maximum value, separated by blanks or # comments.
    std::size_t offset = 0;
    std::string fields[4];
    for (std::string& field : fields) {
        while (offset < bytes.size() && (std::isspace(static_cast<unsigned char>(bytes[offset])) ||
                                         bytes[offset] == '#')) {
            if (bytes[offset] == '#') offset = bytes.find('\n', offset);
            if (offset == std::string::npos) return cv::Mat();
            ++offset;
        }
        while (offset < bytes.size() && !std::isspace(static_cast<unsigned char>(bytes[offset])))
            field += bytes[offset++];
    }
    ++offset;
    const int width = std::atoi(fields[1].c_str());
    const int height = std::atoi(fields[2].c_str());
    if (fields[0] != "P6" || fields[3] != "255" || width <= 0 || height <= 0 ||
        bytes.size() < offset + 3u * width * height)
        return cv::Mat();
    cv::Mat rgb(height, width, CV_8UC3, &bytes[offset]);
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    return bgr;
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
        shot = screenshot(title);
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
