// The synthetic camera's scene and service: what the demo relies on to exercise the viewers.
#include <gtest/gtest.h>

#include <cmath>

#include "CameraService.h"
#include "Orb.h"
#include "SyntheticScene.h"

namespace {

class SyntheticCamera : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testsupport::orb(); }
};

TEST_F(SyntheticCamera, DepthMapCoversTheWholeColourScaleAndHasHoles) {
    SyntheticScene scene(320, 240);
    QOR::TimedStereoData map;
    scene.renderDepth(1.0, map);
    ASSERT_EQ(320, map.width);
    ASSERT_EQ(240, map.height);
    ASSERT_EQ(320u * 240u, map.data.length());
    int nan = 0, zero = 0, nearPoints = 0, middle = 0, far = 0;
    for (CORBA::ULong i = 0; i < map.data.length(); ++i) {
        const double z = map.data[i].z;
        if (std::isnan(z)) ++nan;
        else if (z == 0.0) ++zero;
        else if (z < 1.0) ++nearPoints;
        else if (z < 8.0) ++middle;
        else ++far;
    }
    EXPECT_GT(nan, 100);
    EXPECT_GT(zero, 100) << "the zero band shows in the first three seconds of every six";
    EXPECT_GT(nearPoints, 100);
    EXPECT_GT(middle, 1000);
    EXPECT_GT(far, 1000);
}

TEST_F(SyntheticCamera, SceneMoves) {
    SyntheticScene scene(64, 48);
    QOR::TimedStereoData a, b;
    scene.renderDepth(0.0, a);
    scene.renderDepth(2.0, b);
    int differ = 0;
    for (CORBA::ULong i = 0; i < a.data.length(); ++i)
        if (!(a.data[i].z == b.data[i].z) && !(std::isnan(a.data[i].z) && std::isnan(b.data[i].z)))
            ++differ;
    EXPECT_GT(differ, 50);
}

TEST_F(SyntheticCamera, FramesHaveRowsThatNeedPadding) {
    for (int width : {320, 640, 1280}) {
        SyntheticScene scene(width, width * 3 / 4);
        QOR::TimedImageData f;
        scene.renderImage(0.5, f);
        EXPECT_EQ(3, f.data.nChannels);
        EXPECT_EQ(8, f.data.depth);
        EXPECT_EQ(width + 1, f.data.width);
        EXPECT_NE(0, f.data.width * 3 % 4);
        EXPECT_EQ(0, f.data.widthStep % 4);
        EXPECT_GT(f.data.widthStep, f.data.width * 3);
        EXPECT_EQ(f.data.widthStep * f.data.height, f.data.imageSize);
        EXPECT_EQ(static_cast<CORBA::ULong>(f.data.imageSize), f.data.imgData.length());
    }
}

TEST_F(SyntheticCamera, ServiceAnswersEmptyValuesThenTheLatest) {
    CameraService service;
    QOR::TimedImageData_var image = service.GetImage();
    EXPECT_EQ(0, image->data.width);
    EXPECT_EQ(0u, image->data.imgData.length());
    QOR::TimedStereoData_var none = service.GetStereo(0);
    EXPECT_EQ(0u, none->data.length());

    SyntheticScene scene(32, 24);
    QOR::TimedStereoData map;
    QOR::TimedImageData frame;
    scene.renderDepth(0.0, map);
    scene.renderImage(0.0, frame);
    map.tm.sec = frame.tm.sec = 77;
    map.tm.nsec = frame.tm.nsec = 0;
    service.update(frame, map);
    QOR::TimedImageAndStereoData_var both = service.GetImageAndStereoData();
    EXPECT_EQ(77u, both->stereo.tm.sec);
    EXPECT_EQ(32u * 24u, both->stereo.data.length());
    EXPECT_EQ(33, both->image.data.width);
    QOR::TimedStereoData_var latest = service.GetStereo(-1);
    EXPECT_EQ(77u, latest->tm.sec);
}

}  // namespace
