#include "DepthImage.h"

#include "Orb.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>
#include <vector>

namespace {

QOR::TimedStereoData makeMap(CORBA::Long width, CORBA::Long height, const std::vector<double>& zs) {
    testsupport::orb();
    QOR::TimedStereoData map;
    map.width = width;
    map.height = height;
    map.data.length(static_cast<CORBA::ULong>(zs.size()));
    for (CORBA::ULong i = 0; i < zs.size(); ++i) map.data[i].z = zs[i];
    return map;
}

const cv::Vec3b kBlack(0, 0, 0);

TEST(DepthImage, HueScaleAndPointsWithoutDepth) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct { double z; int hue; } withDepth[] = {
        {1.0, 15}, {7.99, 119}, {8.0, 120}, {100.0, 120}, {inf, 120}, {1e300, 120},
        {0.0666, 0}, {0.0667, 1}, {1e-300, 0}};
    for (const auto& c : withDepth) {
        unsigned char hue = 200;
        EXPECT_TRUE(depthHue(c.z, hue)) << c.z;
        EXPECT_EQ(c.hue, hue) << c.z;
    }
    for (double z : {0.0, -0.0, -1.0, nan, -inf}) {
        unsigned char hue = 200;
        EXPECT_FALSE(depthHue(z, hue)) << z;
        EXPECT_EQ(200, hue) << z;
    }
}

TEST(DepthImage, PointsAreRowMajorAndTheWorkImageIsCleared) {
    std::vector<double> zs(8, 0.0);
    zs[5] = 1.0;
    cv::Mat hsv(2, 4, CV_8UC3, cv::Scalar::all(77));
    fillDepthHsv(makeMap(4, 2, zs), hsv);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(r == 1 && c == 1 ? cv::Vec3b(15, 255, 255) : kBlack, hsv.at<cv::Vec3b>(r, c))
                << r << "," << c;
}

TEST(DepthImage, ColoursAreOpenCvsHsvToBgrOfTheHue) {
    const std::vector<double> zs = {0.01, 1.0, 4.0, 7.99, 8.0, -1.0};
    cv::Mat expectedHsv(2, 3, CV_8UC3, cv::Scalar::all(0));
    const unsigned char hues[] = {0, 15, 60, 119, 120};
    for (int i = 0; i < 5; ++i) expectedHsv.at<cv::Vec3b>(i / 3, i % 3) = cv::Vec3b(hues[i], 255, 255);
    cv::Mat expected;
    cv::cvtColor(expectedHsv, expected, cv::COLOR_HSV2BGR);

    cv::Mat display(7, 7, CV_8UC1, cv::Scalar(9));  // wrong size and type: must be recreated
    convertToDepthImage(makeMap(3, 2, zs), display);
    ASSERT_EQ(CV_8UC3, display.type());
    ASSERT_EQ(cv::Size(3, 2), display.size());
    EXPECT_EQ(0, cv::norm(expected, display, cv::NORM_INF));
    EXPECT_EQ(cv::Vec3b(0, 0, 255), display.at<cv::Vec3b>(0, 0));  // nearest: red
    EXPECT_EQ(cv::Vec3b(255, 0, 0), display.at<cv::Vec3b>(1, 1));  // z = 8: blue
    EXPECT_EQ(kBlack, display.at<cv::Vec3b>(1, 2));
}

TEST(DepthImage, PointCountNeedNotMatchTheSize) {
    cv::Mat display;
    convertToDepthImage(makeMap(2, 2, std::vector<double>(7, 1.0)), display);
    ASSERT_EQ(cv::Size(2, 2), display.size());
    for (int i = 0; i < 4; ++i) EXPECT_NE(kBlack, display.at<cv::Vec3b>(i / 2, i % 2)) << i;

    cv::Mat display2(3, 3, CV_8UC3, cv::Scalar::all(50));
    convertToDepthImage(makeMap(3, 3, {1.0, 1.0, 1.0, 1.0}), display2);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(i < 4, display2.at<cv::Vec3b>(i / 3, i % 3) != kBlack) << i;
}

TEST(DepthImage, UnusableSizesAreRefused) {
    const struct { CORBA::Long width, height; bool fits; } cases[] = {
        {0, 2, false}, {3, 0, false}, {-4, 2, false}, {4, -2, false}, {16385, 1, false},
        {1, 16385, false}, {16384, 4097, false}, {2147483647, 2147483647, false},
        {16384, 4096, true}, {1, 1, true}};
    for (const auto& c : cases) {
        const QOR::TimedStereoData map = makeMap(c.width, c.height, {1.0, 2.0});
        std::string why;
        EXPECT_EQ(c.fits, depthImageFits(map, &why)) << c.width << "x" << c.height;
        EXPECT_EQ(c.fits, why.empty()) << why;
        if (c.fits) continue;
        cv::Mat display(2, 2, CV_8UC3);
        convertToDepthImage(map, display);
        EXPECT_TRUE(display.empty());
    }
}

TEST(DepthImage, ScaleTextNamesWhereEachColourBegins) {
    for (unsigned char hue : {30, 60, 90, 120}) {
        unsigned char h = 0;
        ASSERT_TRUE(depthHue(depthOfHue(hue), h));
        EXPECT_EQ(hue, h);
        ASSERT_TRUE(depthHue(depthOfHue(hue) - 1e-9, h));
        EXPECT_EQ(hue - 1, h);
    }
    EXPECT_EQ("z: red above 0, yellow 2, green 4, cyan 6, blue 8 and beyond; black: no depth",
              depthScaleText());
}

}  // namespace
