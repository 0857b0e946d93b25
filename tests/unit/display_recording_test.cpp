#include "display/Display.h"
#include "display/Recording.h"
#include "display/StreamStatus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

namespace {

using display::recording::CallKind;

class RecordingDisplay : public ::testing::Test {
protected:
    void SetUp() override { display::recording::reset(); }
};

TEST_F(RecordingDisplay, RecordsCallsInOrderWithDeepCopiesOfImages) {
    std::string why;
    EXPECT_TRUE(display::available(why));
    display::createWindow("w");
    cv::Mat image(2, 3, CV_8UC3, cv::Scalar(1, 2, 3));
    display::showImage("w", image);
    image.setTo(cv::Scalar::all(0));
    EXPECT_EQ(-1, display::waitKey(10));
    display::destroyWindow("w");

    const auto events = display::recording::events();
    ASSERT_EQ(5u, events.size());
    const CallKind kinds[] = {CallKind::Available, CallKind::CreateWindow, CallKind::ShowImage,
                              CallKind::WaitKey, CallKind::DestroyWindow};
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(kinds[i], events[i].kind) << i;
    EXPECT_EQ("w", events[2].window);
    EXPECT_EQ(10, events[3].delayMs);
    EXPECT_EQ(1u, display::recording::count(CallKind::WaitKey));

    const auto shown = display::recording::shownImages();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(cv::Vec3b(1, 2, 3), shown[0].image.at<cv::Vec3b>(1, 2));
    EXPECT_TRUE(display::recording::windows().empty());
}

TEST_F(RecordingDisplay, AnyThreadDestroysAWindow) {
    display::destroyWindow("never");
    display::createWindow("w");
    auto other = std::async(std::launch::async, [] { display::destroyWindow("w"); });
    ASSERT_EQ(std::future_status::ready, other.wait_for(std::chrono::seconds(5)));
    EXPECT_TRUE(display::recording::windows().empty());
    EXPECT_EQ(2u, display::recording::count(CallKind::DestroyWindow));
}

TEST_F(RecordingDisplay, EveryHeldTitleIsDistinctAndTheFirstIsFreedOnRelease) {
    const std::string first = display::claimTitle("show", "Kaleth0");
    const std::string second = display::claimTitle("show", "Kaleth1");
    EXPECT_EQ("show", first);
    EXPECT_EQ("show (Kaleth1)", second);
    EXPECT_EQ("Stereo Depth Image", display::claimTitle("Stereo Depth Image", "Morvane0"));
    display::releaseTitle(first);
    const std::string third = display::claimTitle("show", "Kaleth2");
    EXPECT_EQ("show", third);
    for (const std::string& t : {second, third, std::string("Stereo Depth Image")})
        display::releaseTitle(t);
}

TEST_F(RecordingDisplay, NoDisplayRefusesWindowsWithTheReason) {
    display::recording::setNoDisplay("no display: test");
    std::string why;
    EXPECT_FALSE(display::available(why));
    EXPECT_EQ("no display: test", why);
    EXPECT_THROW(display::createWindow("w"), std::runtime_error);
    EXPECT_THROW(display::showImage("w", cv::Mat(1, 1, CV_8UC1)), std::runtime_error);
    EXPECT_TRUE(display::recording::windows().empty());
    display::recording::reset();
    EXPECT_TRUE(display::available(why));
    EXPECT_EQ(1u, display::recording::events().size());
}

TEST(StreamStatus, RatesSinceActivationSkippedValuesAndAge) {
    display::recording::reset();
    using display::StreamStatus;
    const StreamStatus::Clock::time_point t0 = StreamStatus::Clock::now();
    StreamStatus status;
    status.restart(t0, 10);  // ten values reached the port before activation
    EXPECT_FALSE(status.due(t0 + std::chrono::milliseconds(999)));
    ASSERT_TRUE(status.due(t0 + std::chrono::seconds(1)));
    for (int i = 0; i < 30; ++i) status.shown(1000, 500000000, 640, 480, 0);
    // 80 arrived in all, 4 wait in the buffer: 80 - 30 shown - 4 = 46 were skipped.
    EXPECT_EQ("15.0 shown/s, 35.0 in/s, 46 skipped, age 0.250 s, 640x480, shared_memory",
              status.refresh(t0 + std::chrono::seconds(2), 1000.75, 80, 4, "shared_memory"));
    status.shown(1000, 0, 4, 2, 3);
    EXPECT_EQ("1.0 shown/s, 1.0 in/s, 46 skipped, age unknown: the clocks differ, 4x2x3",
              status.refresh(t0 + std::chrono::seconds(3), 1061.5, 81, 4, ""));

    display::recording::setStatusBar(false);
    status.restart(t0, 80);
    EXPECT_FALSE(status.due(t0 + std::chrono::seconds(5))) << "idle without a status bar";
}

}  // namespace
