#include "DepthHarness.h"

#include "DepthImage.h"
#include "FuzzSupport.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdint>
#include <string>

namespace fuzzsupport {

void fillMap(const cases::DepthCase& c, QOR::TimedStereoData& map) {
    map.tm.sec = map.tm.nsec = 0;
    map.width = c.width;
    map.height = c.height;
    map.data.length(0);
    map.data.length(c.points);
    QOR::StereoData* point = map.data.get_buffer();
    for (std::uint32_t i = 0; i < c.points; ++i) {
        point[i].x = point[i].y = 0.0;
        point[i].z = c.z.empty() ? 0.0 : c.z[i % c.z.size()];
    }
}

void colourAndCheck(const QOR::TimedStereoData& map) {
    const long long width = map.width;
    const long long height = map.height;
    std::string why;
    const bool fits = depthImageFits(map, &why);
    const bool documented = width > 0 && height > 0 && width <= kMaxDepthImageSide &&
                            height <= kMaxDepthImageSide && width * height <= kMaxDepthImagePixels;
    FUZZ_CHECK(fits == documented);
    FUZZ_CHECK(fits == why.empty());

    cv::Mat display(3, 5, CV_8UC1, cv::Scalar(7));
    try {
        convertToDepthImage(map, display);
    } catch (const OverBudget&) {
        return;
    }
    if (!fits) {
        FUZZ_CHECK(display.empty());
        return;
    }
    FUZZ_CHECK(display.type() == CV_8UC3);
    FUZZ_CHECK(display.rows == height && display.cols == width);

    const unsigned long long points = map.data.length();
    const QOR::StereoData* point = map.data.get_buffer();
    unsigned long long i = 0;
    for (int row = 0; row < display.rows; ++row) {
        const unsigned char* pixel = display.ptr<unsigned char>(row);
        for (int column = 0; column < display.cols; ++column, ++i, pixel += 3) {
            const bool lit = i < points && point[i].z > 0;
            const unsigned char brightest = std::max(pixel[0], std::max(pixel[1], pixel[2]));
            FUZZ_CHECK(brightest == (lit ? 255 : 0));
        }
    }
}

}  // namespace fuzzsupport
