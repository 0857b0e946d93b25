// The depth viewer component in one process: a real manager creates it, a test output port feeds
// its port "stereo", and the recording display shows what it draws.
// The component's header first: it brings the generated types before the port templates.
#include "Morvane.h"

#include <gtest/gtest.h>
#include <rtm/OutPort.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>
#include <limits>

#include "ComponentHarness.h"
#include "DepthImage.h"
#include "Orb.h"
#include "display/Recording.h"

namespace {

using display::recording::CallKind;
namespace rec = display::recording;

const char* const kWindow = "Stereo Depth Image";

QOR::TimedStereoData map4x2(double z) {
    QOR::TimedStereoData m;
    m.tm.sec = m.tm.nsec = 0;
    m.width = 4;
    m.height = 2;
    m.data.length(8);
    for (CORBA::ULong i = 0; i < 8; ++i) m.data[i].x = m.data[i].y = m.data[i].z = z;
    return m;
}

class MorvaneComponent : public ::testing::Test {
protected:
    void SetUp() override {
        rec::reset();
        ::testing::internal::CaptureStderr();
        harness.reset(new testsupport::ComponentHarness(MorvaneInit, "Morvane"));
        banner = ::testing::internal::GetCapturedStderr();
        port = harness->comp->findPort("stereo");
        ASSERT_NE(nullptr, port);
        out.connectLocal(*dynamic_cast<RTC::InPortBase*>(port));
        rec::reset();
    }

    void send(const QOR::TimedStereoData& m) {
        sent = m;
        out.write();
    }
    std::size_t waits() {
        std::size_t n = 0;
        for (const auto& e : rec::events())
            if (e.kind == CallKind::WaitKey) {
                EXPECT_EQ(10, e.delayMs);
                ++n;
            }
        return n;
    }

    std::unique_ptr<testsupport::ComponentHarness> harness;
    std::string banner;
    RTC::PortBase* port = nullptr;
    QOR::TimedStereoData sent;
    RTC::OutPort<QOR::TimedStereoData> out{"out", sent};
};

TEST_F(MorvaneComponent, PrintsTheBannerAndRegistersItsProfileAndPort) {
    EXPECT_EQ(
        "------------------------------------------------------------+\n"
        " Morvane Component (Ver. 20th June 2011)\n"
        "------------------------------------------------------------+\n\n",
        banner);
    EXPECT_STREQ("Morvane0", harness->comp->getInstanceName());
    const coil::Properties& p = harness->comp->getProperties();
    const char* expected[][2] = {{"implementation_id", "Morvane"},
                                 {"type_name", "Morvane"},
                                 {"description", "Show stereo depth image"},
                                 {"version", "1.0.0"},
                                 {"vendor", "qor-viewers.org"},
                                 {"category", "Viewe"},
                                 {"activity_type", "PERIODIC"},
                                 {"kind", "DataFlowComponent"},
                                 {"max_instance", "0"},
                                 {"language", "C++"},
                                 {"lang_type", "compile"}};
    for (const auto& kv : expected) EXPECT_EQ(kv[1], p.getProperty(kv[0])) << kv[0];
    EXPECT_EQ("TimedStereoData", port->getProperties().getProperty("dataport.data_type"));
    EXPECT_STREQ("Morvane0.stereo", port->getName());
}

TEST_F(MorvaneComponent, CycleWaitsOnceWithoutDataAndTwiceAroundAShownMap) {
    harness->activate();
    EXPECT_EQ(1u, rec::count(CallKind::CreateWindow));
    rec::reset();
    harness->step();
    EXPECT_EQ(1u, waits());
    EXPECT_EQ(0u, rec::count(CallKind::ShowImage));

    rec::reset();
    send(map4x2(1.0));
    harness->step();
    EXPECT_EQ(2u, waits());
    const auto events = rec::events();
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ(CallKind::WaitKey, events[0].kind);
    EXPECT_EQ(CallKind::ShowImage, events[1].kind);
    EXPECT_EQ(kWindow, events[1].window);
    EXPECT_EQ(CallKind::WaitKey, events[2].kind);
}

TEST_F(MorvaneComponent, ShowsTheColouredMapOfTheMapsSize) {
    harness->activate();
    QOR::TimedStereoData m = map4x2(0.0);
    m.data[5].z = 1.0;                                        // row 1, column 1: hue 15
    m.data[2].z = std::numeric_limits<double>::quiet_NaN();  // black
    m.data[7].z = 100.0;                                      // blue
    send(m);
    harness->step();
    const auto shown = rec::shownImages();
    ASSERT_EQ(1u, shown.size());
    const cv::Mat& img = shown[0].image;
    ASSERT_EQ(CV_8UC3, img.type());
    EXPECT_EQ(4, img.cols);
    EXPECT_EQ(2, img.rows);
    cv::Mat expected;
    convertToDepthImage(m, expected);
    EXPECT_EQ(0, cv::norm(img, expected, cv::NORM_INF));
    EXPECT_EQ(cv::Vec3b(0, 0, 0), img.at<cv::Vec3b>(0, 2));
    EXPECT_EQ(cv::Vec3b(0, 0, 0), img.at<cv::Vec3b>(0, 0));
    const cv::Vec3b p = img.at<cv::Vec3b>(1, 1);  // hue 15 of 180: orange, red strongest
    EXPECT_EQ(255, p[2]);
    EXPECT_GT(p[1], 100);
    EXPECT_EQ(0, p[0]);
    EXPECT_EQ(cv::Vec3b(255, 0, 0), img.at<cv::Vec3b>(1, 3));
}

TEST_F(MorvaneComponent, DeactivationDestroysTheWindowAndReactivationDrawsInANewOne) {
    harness->activate();
    EXPECT_EQ(std::set<std::string>{kWindow}, rec::windows());
    harness->deactivate();
    EXPECT_TRUE(rec::windows().empty());
    EXPECT_EQ(1u, rec::count(CallKind::DestroyWindow));
    send(map4x2(2.0));  // kept in the port while inactive
    harness->activate();
    EXPECT_EQ(2u, rec::count(CallKind::CreateWindow));
    harness->step();
    ASSERT_EQ(1u, rec::shownImages().size());
    EXPECT_EQ(std::set<std::string>{kWindow}, rec::windows());
}

TEST_F(MorvaneComponent, MapsThatDoNotFitAreSkippedAndTheNextOneShows) {
    harness->activate();
    QOR::TimedStereoData bad = map4x2(1.0);
    bad.width = 0;
    send(bad);
    bad.width = -3;
    send(bad);
    bad.width = 1 << 20;
    bad.height = 1 << 20;
    send(bad);
    ::testing::internal::CaptureStderr();
    harness->step(3);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("Morvane: skipping a depth map")) << err;
    EXPECT_EQ(0u, rec::count(CallKind::ShowImage));
    EXPECT_EQ(RTC::ACTIVE_STATE, harness->state());

    QOR::TimedStereoData extra = map4x2(1.0);
    extra.data.length(20);  // points beyond the last row are ignored
    for (CORBA::ULong i = 8; i < 20; ++i) extra.data[i].z = 1.0;
    send(extra);
    QOR::TimedStereoData fewer = map4x2(1.0);
    fewer.data.length(3);  // the rest stays black
    send(fewer);
    harness->step(2);
    const auto shown = rec::shownImages();
    ASSERT_EQ(2u, shown.size());
    EXPECT_EQ(4, shown[0].image.cols);
    EXPECT_EQ(cv::Vec3b(0, 0, 0), shown[1].image.at<cv::Vec3b>(0, 3));
    EXPECT_NE(cv::Vec3b(0, 0, 0), shown[1].image.at<cv::Vec3b>(0, 2));
}

TEST_F(MorvaneComponent, NoDisplayPutsItInTheErrorStateAndTheProcessLives) {
    rec::setNoDisplay("no display: DISPLAY is not set");
    ::testing::internal::CaptureStderr();
    harness->activate();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(RTC::ERROR_STATE, harness->state());
    EXPECT_EQ(
        "Morvane: cannot open the window \"Stereo Depth Image\": no display: DISPLAY is not "
        "set\n",
        err);
    send(map4x2(1.0));
    harness->step();
    EXPECT_EQ(0u, rec::count(CallKind::ShowImage));

    rec::reset();
    harness->ec->reset_component(harness->comp);
    harness->step();
    harness->activate();
    EXPECT_EQ(RTC::ACTIVE_STATE, harness->state());
    harness->step();
    EXPECT_EQ(1u, rec::count(CallKind::ShowImage)) << "the map that waited is shown";
}

TEST_F(MorvaneComponent, PointerReadoutDescribesTheShownMapToItsEdges) {
    harness->activate();
    EXPECT_EQ("", rec::pointAt(kWindow, 0, 0)) << "no map shown yet";
    QOR::TimedStereoData m = map4x2(1.5);
    m.data[0].x = -0.25;
    m.data[0].y = 0.5;
    m.data[3].z = 0.0;
    m.data[4].z = std::numeric_limits<double>::quiet_NaN();
    m.data.length(7);  // column 3 of row 1 has no point
    send(m);
    harness->step();
    const std::string scale = "  (" + depthScaleText() + ")";
    EXPECT_EQ("col 0, row 0: x -0.25, y 0.5, z 1.5" + scale, rec::pointAt(kWindow, 0, 0));
    EXPECT_EQ("col 3, row 0: no depth" + scale, rec::pointAt(kWindow, 3, 0));
    EXPECT_EQ("col 0, row 1: no depth" + scale, rec::pointAt(kWindow, 0, 1));
    EXPECT_EQ("col 2, row 1: x 1.5, y 1.5, z 1.5" + scale, rec::pointAt(kWindow, 2, 1));
    EXPECT_EQ("col 3, row 1: no depth" + scale, rec::pointAt(kWindow, 3, 1));
    for (const auto& off : {std::make_pair(-1, 0), {4, 0}, {0, -1}, {0, 2}})
        EXPECT_EQ("", rec::pointAt(kWindow, off.first, off.second))
            << off.first << "," << off.second;

    send(map4x2(3.0));
    EXPECT_EQ("col 1, row 0: x 1.5, y 1.5, z 1.5" + scale, rec::pointAt(kWindow, 1, 0))
        << "a map not yet read is not described";
    harness->step();
    EXPECT_EQ("col 1, row 0: x 3, y 3, z 3" + scale, rec::pointAt(kWindow, 1, 0));
    QOR::TimedStereoData bad = map4x2(1.0);
    bad.width = 0;
    send(bad);
    ::testing::internal::CaptureStderr();
    harness->step();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("col 1, row 0: x 3, y 3, z 3" + scale, rec::pointAt(kWindow, 1, 0))
        << "the point described last, still drawn, is said again";
    EXPECT_EQ("", rec::pointAt(kWindow, 2, 0)) << "the map drawn last is gone from m_stereo";
    harness->deactivate();
    EXPECT_EQ("", rec::pointAt(kWindow, 1, 0)) << "the readout goes with the window";
}

// The display thread asks while the component's thread reads: under ThreadSanitizer (scripts/test)
// a readout that looked at a map being read is a reported race.
TEST_F(MorvaneComponent, PointerReadoutWhileMapsAreReadSeesWholeMapsOnly) {
    harness->activate();
    send(map4x2(1.0));
    harness->step();
    std::atomic<bool> done{false};
    std::string torn;
    std::thread pointer([&] {
        while (!done) {
            const std::string t = rec::pointAt(kWindow, 2, 1);
            double x = 0, y = 0, z = 0;
            if (std::sscanf(t.c_str(), "col 2, row 1: x %lf, y %lf, z %lf", &x, &y, &z) == 3 &&
                !(x == y && y == z))
                torn = t;
        }
    });
    for (int i = 2; i < 2000; ++i) {
        send(map4x2(i));
        harness->step();
    }
    done = true;
    pointer.join();
    EXPECT_EQ("", torn);
}

TEST_F(MorvaneComponent, StatusLineCountsWhatAFloodSkipped) {
    harness->activate();
    QOR::TimedStereoData m = map4x2(1.0);
    for (unsigned s = 1; s <= 100; ++s) {
        m.tm.sec = s;
        if (s == 100) m.tm.sec = static_cast<CORBA::ULong>(std::time(nullptr));
        send(m);
    }
    harness->step(70);  // the ring's 64 newest are shown, one a period
    ASSERT_EQ(64u, rec::count(CallKind::ShowImage));
    ASSERT_TRUE(harness->stepUntil([] { return !rec::streamStatus(kWindow).empty(); }));
    const std::string line = rec::streamStatus(kWindow)[0];
    EXPECT_NE(std::string::npos, line.find(" in/s, 36 skipped, age ")) << line;
    EXPECT_NE(std::string::npos, line.find(" s, 4x2, local")) << line;
    EXPECT_EQ(std::string::npos, line.find("clocks differ")) << line;
}

TEST_F(MorvaneComponent, WithoutAStatusBarTheCycleIsUnchangedAndNothingIsSaid) {
    rec::setStatusBar(false);
    ::testing::internal::CaptureStderr();
    harness->activate();
    const std::size_t before = rec::events().size();
    send(map4x2(1.0));
    harness->step();
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(before + 3, rec::events().size());
    EXPECT_EQ("", rec::pointAt(kWindow, 0, 0)) << "no readout was set";
}

TEST(MorvaneDestruction, WithoutActivationTouchesNoWindowAndDoesNotThrow) {
    testsupport::orb();
    rec::reset();
    ::testing::internal::CaptureStderr();
    {
        Morvane m(nullptr);
    }
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(rec::windows().empty());
    EXPECT_EQ(0u, rec::count(CallKind::CreateWindow));
}

}  // namespace
