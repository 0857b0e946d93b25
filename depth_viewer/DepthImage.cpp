#include "DepthImage.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

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

double depthOfHue(unsigned char hue) { return hue / 15.0; }

std::string depthScaleText() {
    // OpenCV's 8-bit hues of the named colours.
    const struct {
        const char* name;
        unsigned char hue;
    } colours[] = {{"yellow", 30}, {"green", 60}, {"cyan", 90}, {"blue", 120}};
    std::string text = "z: red above 0";
    char number[32];
    for (const auto& c : colours) {
        std::snprintf(number, sizeof number, "%g", depthOfHue(c.hue));
        text += std::string(", ") + c.name + " " + number;
    }
    return text + " and beyond; black: no depth";
}

namespace {

// Fills rows [rowBegin, rowEnd) of `hsv` (CV_8UC3, the map's size) from the map's points: every
// pixel is written, black where there is no point or no depth.
void fillRows(const QOR::TimedStereoData& map, cv::Mat& hsv, int rowBegin, int rowEnd) {
    const std::size_t width = static_cast<std::size_t>(map.width);
    const std::size_t points = std::min<std::size_t>(map.data.length(), width * hsv.rows);
    const QOR::StereoData* point = map.data.get_buffer();
    for (int row = rowBegin; row < rowEnd; ++row) {
        unsigned char* pixel = hsv.ptr<unsigned char>(row);
        std::size_t i = static_cast<std::size_t>(row) * width;
        const std::size_t last = std::min(points, i + width);
        for (; i < last; ++i, pixel += 3) {
            if (depthHue(point[i].z, pixel[0])) {
                pixel[1] = 255;
                pixel[2] = 255;
            } else {
                pixel[0] = pixel[1] = pixel[2] = 0;
            }
        }
        const std::size_t first = static_cast<std::size_t>(row) * width;
        const std::size_t filled = last > first ? last - first : 0;
        std::memset(pixel, 0, (width - filled) * 3);
    }
}

// Rows of a map per stripe when the colouring is shared among threads: small maps stay on one.
constexpr int kRowsPerStripe = 64;

}  // namespace

void fillDepthHsv(const QOR::TimedStereoData& map, cv::Mat& hsv) {
    if (!depthImageFits(map)) {
        hsv.release();
        return;
    }
    hsv.create(static_cast<int>(map.height), static_cast<int>(map.width), CV_8UC3);
    fillRows(map, hsv, 0, hsv.rows);
}

// Still one pass over the points: the rows are cut into stripes, and each stripe's hues are
// filled and converted by one of OpenCV's threads while they are in its cache.
void convertToDepthImage(const QOR::TimedStereoData& map, cv::Mat& display) {
    if (!depthImageFits(map)) {
        display.release();
        return;
    }
    const int width = static_cast<int>(map.width);
    const int height = static_cast<int>(map.height);
    cv::Mat hsv(height, width, CV_8UC3);
    display.create(height, width, CV_8UC3);
    cv::parallel_for_(
        cv::Range(0, height),
        [&](const cv::Range& rows) {
            fillRows(map, hsv, rows.start, rows.end);
            cv::Mat out = display.rowRange(rows.start, rows.end);
            cv::cvtColor(hsv.rowRange(rows.start, rows.end), out, cv::COLOR_HSV2BGR);
        },
        std::max(1, height / kRowsPerStripe));
}
