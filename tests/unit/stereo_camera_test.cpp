// The synthetic camera's scene and service: what the demo relies on to exercise the viewers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "CameraService.h"
#include "Orb.h"
#include "RecordingPlayer.h"
#include "RecordingWriter.h"
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

namespace {

recording::RecordedValue arrival(std::uint16_t port, double seconds) {
    recording::RecordedValue v;
    v.port = port;
    v.arrivalNs = 5000000000ull + static_cast<std::uint64_t>(seconds * 1e9);
    return v;
}

// Maps on port 0, frames on port 2, port 1 not played; the frame's arrival precedes the map's.
const std::vector<recording::RecordedValue> kArrivals = {
    arrival(0, 0.0), arrival(1, 0.01), arrival(2, 0.1), arrival(0, 0.05), arrival(0, 0.3)};
const std::vector<int> kTargets = {static_cast<int>(RecordingPlayer::Target::DepthMap),
                                   RecordingPlayer::kNotPlayed,
                                   static_cast<int>(RecordingPlayer::Target::Frame)};

std::vector<double> duesOf(const std::vector<RecordingPlayer::Step>& steps) {
    std::vector<double> dues;
    for (const auto& s : steps) dues.push_back(s.due);
    return dues;
}

TEST(RecordingPlayback, RecordedPaceKeepsArrivalTimesAndFixedRateCountsPerPort) {
    const auto recorded = RecordingPlayer::schedule(kArrivals, kTargets, 0);
    ASSERT_EQ(recorded.size(), 4u);
    const std::vector<double> dues = duesOf(recorded);
    EXPECT_NEAR(dues[0], 0.0, 1e-9);
    EXPECT_NEAR(dues[1], 0.05, 1e-9);
    EXPECT_NEAR(dues[2], 0.1, 1e-9);
    EXPECT_NEAR(dues[3], 0.3, 1e-9);
    EXPECT_EQ(recorded[2].value, 2u);
    EXPECT_EQ(recorded[2].target, RecordingPlayer::Target::Frame);
    EXPECT_NEAR(RecordingPlayer::passLength(recorded, 0), 0.4, 1e-9);

    const auto fixed = RecordingPlayer::schedule(kArrivals, kTargets, 10);
    EXPECT_EQ(duesOf(fixed), (std::vector<double>{0.0, 0.0, 0.1, 0.2}));
    EXPECT_EQ(fixed[1].target, RecordingPlayer::Target::Frame);
    EXPECT_NEAR(RecordingPlayer::passLength(fixed, 10), 0.3, 1e-9);
}

TEST(RecordingPlayback, ValuesComeWhenDueAndALoopStartsAgain) {
    testsupport::orb();
    char dir[] = "/tmp/playback_test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/r.qrec";
    {
        recording::RecordingWriter w(path, {{"Cam:stereo", "TimedStereoData"}});
        const char cdr[] = "abcdefgh";
        for (int i = 0; i < 3; ++i)
            w.append(0, cdr, 1 + i, i != 1, 1000000000ull + 100000000ull * i);
    }
    RecordingPlayer player(path, 0, true);
    player.restart(10.0);
    RecordingPlayer::Step step;
    std::vector<unsigned char> cdr;
    bool little = false;
    std::vector<std::size_t> lengths;
    for (double now : {10.0, 10.05, 10.1, 10.2, 10.29, 10.3}) {
        while (player.next(now, step, cdr, little)) lengths.push_back(cdr.size());
        lengths.push_back(0);
    }
    // Due at 10.0, 10.1, 10.2, then again from 10.3 on.
    EXPECT_EQ(lengths, (std::vector<std::size_t>{1, 0, 0, 2, 0, 3, 0, 0, 1, 0}));
    EXPECT_FALSE(player.finished());
    (void)!std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

}  // namespace
