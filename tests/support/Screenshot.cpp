#include "Screenshot.h"

#include <opencv2/imgproc.hpp>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace testsupport {

namespace {

// The BGR pixels of the binary PPM that `command` writes on its standard output.
cv::Mat ppmFrom(const std::string& command) {
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

}  // namespace

cv::Mat screenshot(const std::string& title) {
    return ppmFrom("timeout 10 xwd -silent -name '" + title +
                   "' 2>/dev/null | timeout 10 convert xwd:- ppm:- 2>/dev/null");
}

bool hideAndShow(const std::string& title) {
    return std::system(("timeout 10 xdotool search --name '^" + title +
                        "$' windowunmap --sync %@ windowmap --sync %@ >/dev/null 2>&1")
                           .c_str()) == 0;
}

cv::Mat pictureIn(const cv::Mat& window) {
    if (window.rows < 60) return cv::Mat();
    const cv::Mat below = window(cv::Rect(0, 28, window.cols, window.rows - 28 - 20));
    const cv::Vec3b background = below.at<cv::Vec3b>(0, 0);
    cv::Mat differs;
    cv::inRange(below, cv::Scalar(background), cv::Scalar(background), differs);
    cv::bitwise_not(differs, differs);
    const cv::Rect box = cv::boundingRect(differs);
    return box.area() > 0 ? below(box).clone() : cv::Mat();
}

cv::Mat readImage(const std::string& path) {
    return ppmFrom("timeout 10 convert '" + path + "' ppm:- 2>/dev/null");
}

cv::Rect locate(const cv::Mat& shot, const cv::Mat& image) {
    if (shot.empty() || image.empty() || shot.cols < image.cols || shot.rows < image.rows)
        return cv::Rect();
    cv::Mat score;
    cv::matchTemplate(shot, image, score, cv::TM_SQDIFF);
    double best;
    cv::Point at;
    cv::minMaxLoc(score, &best, nullptr, &at, nullptr);
    const cv::Rect where(at, image.size());
    return cv::norm(shot(where), image, cv::NORM_INF) == 0 ? where : cv::Rect();
}

bool savePpm(const cv::Mat& image, const std::string& path) {
    if (image.empty() || image.type() != CV_8UC3) return false;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::fprintf(f, "P6\n%d %d\n255\n", image.cols, image.rows);
    cv::Mat rgb;
    cv::cvtColor(image, rgb, cv::COLOR_BGR2RGB);
    for (int r = 0; r < rgb.rows; ++r) std::fwrite(rgb.ptr(r), 3, rgb.cols, f);
    return std::fclose(f) == 0;
}

}  // namespace testsupport
