// The demo, headless for a few seconds, as a newcomer would first run it: its screenshots must
// show a depth map with many hues and black holes, and a camera frame without shear.
// The same test checks programs built against other middlewares: QOR_DEMO_CAMERA_FROM and
// QOR_DEMO_VIEWERS_FROM name the build trees the camera and the viewers come from (the demo's
// --camera-from, --viewers-from), QOR_DEMO_VIEWERS_IN a host program for the viewers' modules
// (--viewers-in), QOR_DEMO_SIZE the size (default 320x240).
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Screenshot.h"

#ifndef QOR_SOURCE_DIR
#error QOR_SOURCE_DIR must name the source tree
#endif
#ifndef QOR_BINARY_DIR
#error QOR_BINARY_DIR must name the build tree
#endif

namespace {

using namespace std::chrono_literals;

std::string lastShot(const std::string& dir, const std::string& kind) {
    std::string last;
    for (int i = 1; i < 100; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/%s-%03d.png", kind.c_str(), i);
        if (std::system(("test -s '" + dir + name + "'").c_str()) != 0) break;
        last = dir + name;
    }
    return last;
}

// Over either transport: CORBA calls, or shared memory.
class Demo : public ::testing::TestWithParam<const char*> {};

TEST_P(Demo, HeadlessRunLeavesScreenshotsOfBothViewers) {
    char dir[] = "/tmp/qor-demo-test-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir));
    const char* sizeText = std::getenv("QOR_DEMO_SIZE");
    const std::string size = sizeText && *sizeText ? sizeText : "320x240";
    int width = 0, height = 0;
    ASSERT_EQ(2, std::sscanf(size.c_str(), "%dx%d", &width, &height)) << size;
    std::vector<std::string> args = {"/bin/bash", QOR_SOURCE_DIR "/scripts/demo", "--headless",
                                     "--seconds", "10", "--size", size, "--shots", dir,
                                     "--no-build", "--build-dir", QOR_BINARY_DIR, "--transport",
                                     GetParam()};
    const char* const trees[][2] = {{"QOR_DEMO_CAMERA_FROM", "--camera-from"},
                                    {"QOR_DEMO_VIEWERS_FROM", "--viewers-from"},
                                    {"QOR_DEMO_VIEWERS_IN", "--viewers-in"}};
    for (const auto& tree : trees) {
        const char* from = std::getenv(tree[0]);
        if (from && *from) args.insert(args.end(), {tree[1], from});
    }
    testsupport::ChildProcess demo(args, {}, /*captureStderr=*/true);
    ASSERT_TRUE(demo.wait(120s)) << demo.output();
    std::string line;
    while (demo.readLine(line, 1s)) {
    }
    ASSERT_TRUE(WIFEXITED(demo.status()) && WEXITSTATUS(demo.status()) == 0) << demo.output();

    const cv::Mat depth = testsupport::pictureIn(testsupport::readImage(lastShot(dir, "depth")));
    ASSERT_EQ(cv::Size(width, height), depth.size()) << demo.output();
    cv::Mat hsv;
    cv::cvtColor(depth, hsv, cv::COLOR_BGR2HSV);
    std::set<int> hues;
    int black = 0;
    for (int r = 0; r < hsv.rows; ++r)
        for (int c = 0; c < hsv.cols; ++c) {
            const cv::Vec3b p = hsv.at<cv::Vec3b>(r, c);
            if (p[2] == 0) ++black;
            else if (p[1] > 200) hues.insert(p[0] / 10);
        }
    EXPECT_GE(hues.size(), 6u) << "hues from red to blue";
    EXPECT_GT(black, 100) << "the scene's holes are black";

    // The frame is one pixel wider than the map, so its rows are padded; its wall has vertical
    // stripes, which a shear would slant: every row of the wall must be the same.
    const cv::Mat frame = testsupport::pictureIn(testsupport::readImage(lastShot(dir, "image")));
    ASSERT_EQ(cv::Size(width + 1, height), frame.size()) << demo.output();
    for (int r = 1; r < 40; ++r)
        ASSERT_EQ(0, cv::norm(frame.row(0), frame.row(r), cv::NORM_INF)) << "row " << r;
    EXPECT_GT(cv::norm(frame.row(0).colRange(0, 16), frame.row(0).colRange(16, 32), cv::NORM_INF),
              20)
        << "the stripes are there";
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

INSTANTIATE_TEST_SUITE_P(Transports, Demo, ::testing::Values("corba", "shm"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return std::string(p.param);
                         });

}  // namespace
