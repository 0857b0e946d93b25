// show_floor: what the display itself costs, the floor under a viewer: a bare OpenCV program that
// shows images of a viewer's size in one HighGUI window, flat out, as a viewer's display thread
// does (imshow, then a 1 ms key wait that paints). The two images alternate, so every show
// changes every pixel. Prints one line:
//   floor <ms per image, median> <CPU ms per image of this process>
// Usage: show_floor WIDTH HEIGHT COUNT
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <opencv2/highgui.hpp>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s WIDTH HEIGHT COUNT\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[1]), height = std::atoi(argv[2]);
    const int count = std::max(1, std::atoi(argv[3]));
    if (width <= 0 || height <= 0) return 2;
    cv::Mat a(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            a.at<cv::Vec3b>(y, x) =
                cv::Vec3b(static_cast<uchar>(x), static_cast<uchar>(y), static_cast<uchar>(x + y));
    const cv::Mat b = cv::Scalar::all(255) - a;
    cv::namedWindow("floor", cv::WINDOW_AUTOSIZE);
    for (int i = 0; i < 5; ++i) {
        cv::imshow("floor", i % 2 ? a : b);
        cv::waitKey(1);
    }
    timespec cpu0{}, cpu1{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const auto t = std::chrono::steady_clock::now();
        cv::imshow("floor", i % 2 ? a : b);
        cv::waitKey(1);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t)
                         .count());
    }
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    std::sort(ms.begin(), ms.end());
    const double cpuMs =
        ((cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6) / count;
    std::printf("floor %.3f %.3f\n", ms[ms.size() / 2], cpuMs);
    return 0;
}
