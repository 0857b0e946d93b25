// The image viewer component in one process: a real manager creates it, a test output port feeds
// its port "InputImage", and the recording display shows what it draws.
// The component's header first: it brings the generated types before the port templates.
#include "Kaleth.h"

#include <gtest/gtest.h>
#include <rtm/OutPort.h>

#include "ComponentHarness.h"
#include "display/Recording.h"

namespace {

using display::recording::CallKind;
namespace rec = display::recording;

// A frame of width x height 8-bit pixels with `channels` channels whose rows are padded to a
// multiple of 4 bytes; byte (row, i) of a row holds row * 64 + i, padding 0xEE.
QOR::TimedImageData paddedFrame(int width, int height, int channels) {
    QOR::TimedImageData f;
    f.tm.sec = f.tm.nsec = 0;
    f.data.nChannels = channels;
    f.data.depth = 8;
    f.data.origin = 0;
    f.data.width = width;
    f.data.height = height;
    const int row = width * channels;
    f.data.widthStep = (row + 3) / 4 * 4;
    f.data.imageSize = f.data.widthStep * height;
    f.data.imgData.length(static_cast<CORBA::ULong>(f.data.imageSize));
    for (int r = 0; r < height; ++r)
        for (int i = 0; i < f.data.widthStep; ++i)
            f.data.imgData[r * f.data.widthStep + i] =
                static_cast<char>(i < row ? r * 64 + i : 0xEE);
    return f;
}

class KalethComponent : public ::testing::Test {
protected:
    void SetUp() override {
        rec::reset();
        ::testing::internal::CaptureStderr();
        harness.reset(new testsupport::ComponentHarness(KalethInit, "Kaleth"));
        printed = ::testing::internal::GetCapturedStderr();
        port = harness->comp->findPort("InputImage");
        ASSERT_NE(nullptr, port);
        out.connectLocal(*dynamic_cast<RTC::InPortBase*>(port));
        rec::reset();
    }
    void send(const QOR::TimedImageData& f) {
        sent = f;
        out.write();
    }
    // The single image shown since the last reset.
    cv::Mat shownImage() {
        const auto shown = rec::shownImages();
        EXPECT_EQ(1u, shown.size());
        if (shown.empty()) return cv::Mat();
        EXPECT_EQ("show", shown[0].window);
        return shown[0].image;
    }

    std::unique_ptr<testsupport::ComponentHarness> harness;
    std::string printed;
    RTC::PortBase* port = nullptr;
    QOR::TimedImageData sent;
    RTC::OutPort<QOR::TimedImageData> out{"out", sent};
};

TEST_F(KalethComponent, PrintsNothingAndRegistersItsProfileAndPort) {
    EXPECT_EQ("", printed);
    EXPECT_STREQ("Kaleth0", harness->comp->getInstanceName());
    const coil::Properties& p = harness->comp->getProperties();
    const char* expected[][2] = {{"implementation_id", "Kaleth"},
                                 {"type_name", "Kaleth"},
                                 {"description", "ModuleDescription"},
                                 {"version", "1.0.0"},
                                 {"vendor", "VenderName"},
                                 {"category", "Category"},
                                 {"activity_type", "PERIODIC"},
                                 {"kind", "DataFlowComponent"},
                                 {"max_instance", "0"},
                                 {"language", "C++"},
                                 {"lang_type", "compile"}};
    for (const auto& kv : expected) EXPECT_EQ(kv[1], p.getProperty(kv[0])) << kv[0];
    EXPECT_EQ("TimedImageData", port->getProperties().getProperty("dataport.data_type"));
}

TEST_F(KalethComponent, NoNewFrameMeansNoKeyWaitAndAShownFrameOneOf2ms) {
    harness->activate();
    EXPECT_EQ(std::set<std::string>{"show"}, rec::windows());
    rec::reset();
    harness->step(3);
    EXPECT_TRUE(rec::events().empty());

    send(paddedFrame(4, 2, 3));
    harness->step();
    const auto events = rec::events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(CallKind::ShowImage, events[0].kind);
    EXPECT_EQ(CallKind::WaitKey, events[1].kind);
    EXPECT_EQ(2, events[1].delayMs);
}

TEST_F(KalethComponent, ShowsTheFrameUnchanged) {
    harness->activate();
    for (int width : {4, 5}) {  // 12-byte rows, and 15-byte rows padded to 16
        SCOPED_TRACE(width);
        rec::reset();
        QOR::TimedImageData f = paddedFrame(width, 2, 3);
        f.data.origin = 1;  // ignored: shown top row first
        send(f);
        harness->step();
        const cv::Mat img = shownImage();
        ASSERT_EQ(CV_8UC3, img.type());
        ASSERT_EQ(width, img.cols);
        ASSERT_EQ(2, img.rows);
        for (int r = 0; r < 2; ++r)
            for (int c = 0; c < width; ++c)
                for (int ch = 0; ch < 3; ++ch)
                    EXPECT_EQ(static_cast<unsigned char>(r * 64 + c * 3 + ch),
                              img.at<cv::Vec3b>(r, c)[ch])
                        << r << "," << c << "," << ch;
    }
}

TEST_F(KalethComponent, FramesThatCannotBeShownAreSkippedAndTheNextOneShows) {
    harness->activate();
    QOR::TimedImageData bad = paddedFrame(4, 2, 3);
    bad.data.depth = 12345;
    send(bad);
    bad = paddedFrame(4, 2, 3);
    bad.data.nChannels = 7;
    send(bad);
    bad = paddedFrame(4, 2, 3);
    bad.data.height = 0;
    send(bad);
    ::testing::internal::CaptureStderr();
    harness->step(3);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("Kaleth: skipping a frame")) << err;
    EXPECT_EQ(0u, rec::count(CallKind::ShowImage));

    QOR::TimedImageData longer = paddedFrame(4, 2, 3);
    longer.data.imageSize = 1000000;  // more than imgData holds: truncated to it
    send(longer);
    harness->step();
    const cv::Mat img = shownImage();
    ASSERT_EQ(4, img.cols);
    EXPECT_EQ(static_cast<unsigned char>(64 + 11), img.at<cv::Vec3b>(1, 3)[2]);
    EXPECT_EQ(RTC::ACTIVE_STATE, harness->state());
}

TEST_F(KalethComponent, ShortFrameLeavesTheRestBlack) {
    harness->activate();
    QOR::TimedImageData f = paddedFrame(4, 2, 3);
    f.data.imageSize = 12;  // the first row only
    send(f);
    harness->step();
    const cv::Mat img = shownImage();
    ASSERT_EQ(2, img.rows);
    EXPECT_EQ(static_cast<unsigned char>(11), img.at<cv::Vec3b>(0, 3)[2]);
    EXPECT_EQ(cv::Vec3b(0, 0, 0), img.at<cv::Vec3b>(1, 0));
}

TEST_F(KalethComponent, DeactivationDestroysTheWindowAndNoDisplayIsAnError) {
    harness->activate();
    harness->deactivate();
    EXPECT_TRUE(rec::windows().empty());
    rec::setNoDisplay("no display: test");
    ::testing::internal::CaptureStderr();
    harness->activate();
    EXPECT_EQ("Kaleth: cannot open the window \"show\": no display: test\n",
              ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(RTC::ERROR_STATE, harness->state());
}

TEST_F(KalethComponent, StatusLineSaysTheRatesTheFrameAndTheConnection) {
    harness->activate();
    QOR::TimedImageData f = paddedFrame(4, 2, 3);
    f.tm.sec = 1000;  // far from this host's clock
    send(f);
    ASSERT_TRUE(harness->stepUntil([] { return !rec::streamStatus("show").empty(); }));
    const std::string line = rec::streamStatus("show")[0];
    EXPECT_NE(std::string::npos, line.find(" shown/s, ")) << line;
    EXPECT_NE(std::string::npos,
              line.find(" in/s, 0 skipped, age unknown: the clocks differ, 4x2x3, local"))
        << line;
}

}  // namespace
