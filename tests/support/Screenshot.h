// Screenshots of real windows on the X server named by DISPLAY, for tests that run under Xvfb.
#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace testsupport {

// The pixels of the window titled `title` as 8-bit BGR, or an empty image when it cannot be
// captured. HighGUI's Qt windows carry a tool bar, so callers find their image inside it.
cv::Mat screenshot(const std::string& title);

// The picture inside a HighGUI window's screenshot: below the tool bar and above the status bar,
// framed by the window's plain background. Empty when there is none.
cv::Mat pictureIn(const cv::Mat& window);

// An image file (any format ImageMagick reads) as 8-bit BGR, or an empty image.
cv::Mat readImage(const std::string& path);

// Where `image` appears pixel for pixel inside `shot`; an empty rectangle when it does not.
cv::Rect locate(const cv::Mat& shot, const cv::Mat& image);

// Unmaps and maps again the window titled `title` (with xdotool), so that it has to be repainted:
// Xvfb keeps no backing store. False when the window was not found.
bool hideAndShow(const std::string& title);

// Writes `image` (8-bit BGR) as a binary PPM, for looking at a failed test's screen.
bool savePpm(const cv::Mat& image, const std::string& path);

}  // namespace testsupport
