#include "DepthImage.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstddef>

bool depthImageFits(const QOR::TimedStereoData& map, std::string* why) {
    const long width = map.width;
    const long height = map.height;
    const char* reason = nullptr;
    if (width <= 0 || height <= 0)
        reason = "width and height must be positive";
    else if (width > kMaxDepthImageSide || height > kMaxDepthImageSide)
        reason = "a side exceeds 16384 points";
    else if (static_cast<long long>(width) * height > kMaxDepthImagePixels)
        reason = "width * height exceeds 64 Mi points";
    if (reason == nullptr) return true;
    if (why != nullptr)
        *why = "depth map " + std::to_string(width) + "x" + std::to_string(height) + " refused: " + reason;
    return false;
}

bool depthHue(double z, unsigned char& hue) {
    const double d = 1000.0 * z;
    if (!(d > 0)) return false;
    // Compared before converting: a double beyond int's range does not convert.
    const double h = (15.0 * d) / 1000.0;
    hue = h < 120.0 ? static_cast<unsigned char>(h) : static_cast<unsigned char>(120);
    return true;
}

void fillDepthHsv(const QOR::TimedStereoData& map, cv::Mat& hsv) {
    if (!depthImageFits(map)) {
        hsv.release();
        return;
    }
    const int width = static_cast<int>(map.width);
    const int height = static_cast<int>(map.height);
    hsv.create(height, width, CV_8UC3);
    hsv.setTo(cv::Scalar::all(0));

    const std::size_t points = std::min<std::size_t>(map.data.length(),
                                                     static_cast<std::size_t>(width) * height);
    const QOR::StereoData* point = map.data.get_buffer();
    std::size_t i = 0;
    for (int row = 0; row < height && i < points; ++row) {
        unsigned char* pixel = hsv.ptr<unsigned char>(row);
        const std::size_t rowEnd = std::min(points, i + static_cast<std::size_t>(width));
        for (; i < rowEnd; ++i, pixel += 3) {
            if (depthHue(point[i].z, pixel[0])) {
                pixel[1] = 255;
                pixel[2] = 255;
            }
        }
    }
}

void convertToDepthImage(const QOR::TimedStereoData& map, cv::Mat& display) {
    cv::Mat hsv;
    fillDepthHsv(map, hsv);
    if (hsv.empty()) {
        display.release();
        return;
    }
    display.create(hsv.size(), CV_8UC3);
    cv::cvtColor(hsv, display, cv::COLOR_HSV2BGR);
}
