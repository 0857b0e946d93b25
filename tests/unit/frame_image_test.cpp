#include "FrameImage.h"

#include "Orb.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

QOR::ImageData makeFrame(CORBA::Long width, CORBA::Long height, CORBA::Long depth,
                         CORBA::Long channels, CORBA::Long imageSize, CORBA::ULong bytes) {
    testsupport::orb();
    QOR::ImageData f;
    f.nChannels = channels;
    f.depth = depth;
    f.origin = 0;
    f.width = width;
    f.height = height;
    f.widthStep = 0;
    f.imageSize = imageSize;
    f.imgData.length(bytes);
    for (CORBA::ULong i = 0; i < bytes; ++i) f.imgData[i] = static_cast<char>(i + 1);
    return f;
}

TEST(FrameImage, PackedFrameComesOutByteForByte) {
    cv::Mat image;
    ASSERT_TRUE(buildFrameImage(makeFrame(4, 2, 8, 3, 24, 24), image));
    ASSERT_EQ(CV_8UC3, image.type());
    ASSERT_EQ(cv::Size(4, 2), image.size());
    ASSERT_EQ(12u, image.step[0]);
    for (std::size_t i = 0; i < 24; ++i) EXPECT_EQ(int(i + 1), image.data[i]) << i;
}

TEST(FrameImage, PaddedRowsAreNotShearedAndOriginIsIgnored) {
    QOR::ImageData f = makeFrame(5, 2, 8, 3, 32, 32);
    f.origin = 1;
    f.widthStep = 99;
    cv::Mat image;
    ASSERT_TRUE(buildFrameImage(f, image));
    ASSERT_EQ(16u, image.step[0]);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 5; ++c)
            for (int k = 0; k < 3; ++k)
                EXPECT_EQ(r * 16 + c * 3 + k + 1, image.at<cv::Vec3b>(r, c)[k]) << r << "," << c;
}

TEST(FrameImage, EveryDepthCodeAndChannelCountHasItsTypeAndPaddedStep) {
    const struct { std::uint32_t ipl; int cv; } depths[] = {
        {8, CV_8U}, {0x80000008u, CV_8S}, {16, CV_16U}, {0x80000010u, CV_16S},
        {0x80000020u, CV_32S}, {32, CV_32F}, {64, CV_64F}};
    for (const auto& d : depths) {
        for (int ch = 1; ch <= 4; ++ch) {
            const auto ipl = static_cast<CORBA::Long>(d.ipl);
            cv::Mat image;
            ASSERT_TRUE(buildFrameImage(makeFrame(5, 3, ipl, ch, 1000, 1000), image)) << d.ipl << " " << ch;
            const std::size_t row = 5u * ch * CV_ELEM_SIZE1(d.cv);
            EXPECT_EQ(CV_MAKETYPE(d.cv, ch), image.type());
            EXPECT_EQ((row + 3) / 4 * 4, image.step[0]);
            // The image owns its buffer, which stays alive through a copy of the header.
            ASSERT_NE(nullptr, image.u);
            cv::Mat copy = image;
            image.release();
            EXPECT_EQ(3 * copy.step[0] % 256, copy.data[3 * copy.step[0] - 1]);
        }
    }
}

TEST(FrameImage, UnshowableFramesAreRefused) {
    const struct { CORBA::Long width, height, depth, channels; } cases[] = {
        {4, 2, 12, 3}, {4, 2, 0, 3}, {4, 2, -8, 3}, {4, 2, 8, 0}, {4, 2, 8, 5}, {0, 2, 8, 3},
        {4, -1, 8, 3}, {16385, 1, 8, 1}, {16384, 4097, 8, 1}, {8192, 8192, 64, 1}};
    for (const auto& c : cases) {
        cv::Mat image(2, 2, CV_8UC1);
        std::string why;
        EXPECT_FALSE(buildFrameImage(makeFrame(c.width, c.height, c.depth, c.channels, 24, 24), image, &why));
        EXPECT_FALSE(why.empty());
        EXPECT_TRUE(image.empty()) << why;
    }
}

TEST(FrameImage, CopyStopsAtTheShortestOfImageSizeDataAndImage) {
    const struct { CORBA::Long imageSize; CORBA::ULong bytes; std::size_t copied; } cases[] = {
        {100, 10, 10}, {40, 40, 32}, {5, 32, 5}, {0, 32, 0}, {-5, 32, 0}};
    for (const auto& c : cases) {
        cv::Mat image;
        ASSERT_TRUE(buildFrameImage(makeFrame(5, 2, 8, 3, c.imageSize, c.bytes), image));
        for (std::size_t i = 0; i < 32; ++i)
            EXPECT_EQ(i < c.copied ? int(i + 1) : 0, image.data[i]) << c.imageSize << " @" << i;
    }
}

}  // namespace

namespace {

// The image's memory is new for each frame and may hold an earlier frame's bytes: a short frame
// after a full one of the same size must still leave its tail zero.
TEST(FrameImage, ShortFrameAfterAFullOneLeavesNoStaleBytes) {
    for (int round = 0; round < 3; ++round) {
        {
            cv::Mat full;
            ASSERT_TRUE(buildFrameImage(makeFrame(64, 64, 8, 3, 64 * 64 * 3, 64 * 64 * 3), full));
        }
        cv::Mat shorter;
        ASSERT_TRUE(buildFrameImage(makeFrame(64, 64, 8, 3, 100, 64 * 64 * 3), shorter));
        const std::size_t total = shorter.step[0] * 64;
        for (std::size_t i = 100; i < total; ++i) ASSERT_EQ(0, shorter.data[i]) << i;
    }
}

}  // namespace
