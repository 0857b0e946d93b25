// A running system (the synthetic camera feeding both viewers, in their real windows on the X
// server named by DISPLAY) saved with rtctl, cut apart, and restored from what was saved.
#include <gtest/gtest.h>
#include <rtm/RTC.h>
#include <rtm/RemoteUtil.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "Orb.h"
#include "Processes.h"
#include "Screenshot.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using remotetest::Component;
using remotetest::rtctl;

const char* const kDepthWindow = "Stereo Depth Image";
const char* const kImageWindow = "show";

cv::Mat picture(const char* window) {
    return testsupport::pictureIn(testsupport::screenshot(window));
}

bool same(const cv::Mat& a, const cv::Mat& b) {
    return !a.empty() && a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Whether the window's picture changes from `before` within `limit`, that is, new data is shown.
bool changesFrom(const char* window, const cv::Mat& before, std::chrono::seconds limit) {
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
        const cv::Mat now = picture(window);
        if (!now.empty() && !same(now, before)) return true;
        std::this_thread::sleep_for(200ms);
    }
    return false;
}

// The window's picture once it has stopped changing (values still queued when a connection was
// cut are shown first); empty when it keeps changing beyond `limit`.
cv::Mat settledPicture(const char* window, std::chrono::seconds limit) {
    cv::Mat last = picture(window);
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
        std::this_thread::sleep_for(500ms);
        const cv::Mat now = picture(window);
        if (same(now, last)) return now;
        last = now;
    }
    return cv::Mat();
}

cv::Mat firstPicture(const char* window, std::chrono::seconds limit) {
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
        const cv::Mat now = picture(window);
        if (!now.empty()) return now;
        std::this_thread::sleep_for(200ms);
    }
    return cv::Mat();
}

SDOPackage::Configuration_ptr configurationOf(const Component& c) {
    CORBA::Object_var obj = testsupport::orb()->string_to_object(c.ior().c_str());
    RTC::RTObject_var comp = RTC::RTObject::_narrow(obj);
    return comp->get_configuration();
}

SDOPackage::ConfigurationSet configurationSet(const char* id, const char* gain) {
    SDOPackage::ConfigurationSet set;
    set.id = CORBA::string_dup(id);
    RTC::remote::setNV(set.configuration_data, "gain", gain);
    return set;
}

std::string gainOf(SDOPackage::Configuration_ptr conf, const char* id) {
    SDOPackage::ConfigurationSet_var set = conf->get_configuration_set(id);
    std::string gain;
    RTC::remote::findString(set->configuration_data, "gain", gain);
    return gain;
}

TEST(SystemRestore, CutSystemIsRebuiltFromItsSaveAndBothViewersShowDataAgain) {
    ASSERT_NE(nullptr, std::getenv("DISPLAY")) << "run under run-under-xvfb";
    remotetest::NamingService naming;
    ASSERT_TRUE(naming.ready()) << "omniNames did not start";
    Component camera(CAMERA_PATH, naming.address(), {"camera.width:160", "camera.height:120"});
    Component morvane(MORVANE_PATH, naming.address());
    Component kaleth(KALETH_PATH, naming.address());
    for (const Component* c : {&camera, &morvane, &kaleth})
        ASSERT_FALSE(c->ior().empty()) << c->output();
    auto ok = [&](const std::vector<std::string>& args) {
        const auto r = rtctl(naming.address(), args);
        EXPECT_EQ(0, r.status) << r.output;
        return r.output;
    };
    ok({"connect", "StereoCameraSim0:stereo", "Morvane0:stereo", "-p", "dataport.buffer.length=4"});
    ok({"connect", "StereoCameraSim0:image", "Kaleth0:InputImage"});
    for (const char* c : {"Morvane0", "Kaleth0", "StereoCameraSim0"}) ok({"activate", c});
    SDOPackage::Configuration_var conf = configurationOf(morvane);
    ASSERT_TRUE(conf->add_configuration_set(configurationSet("mode1", "2")));
    ASSERT_TRUE(conf->activate_configuration_set("mode1"));

    // Without a window manager the second window would cover the first: put it below.
    ASSERT_FALSE(firstPicture(kImageWindow, 20s).empty()) << kaleth.output();
    ASSERT_EQ(0, std::system("xdotool search --name '^show$' windowmove 0 600 >/dev/null 2>&1"));
    ASSERT_FALSE(firstPicture(kDepthWindow, 20s).empty()) << morvane.output();

    char dir[] = "/tmp/qor-restore-test-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir));
    const std::string file = std::string(dir) + "/system.conf";
    const std::string saved =
        ok({"save", file, remotetest::hostName() + ".host_cxt/StereoCameraSim0.rtc", "Morvane0.rtc",
            "Kaleth0"});
    EXPECT_NE(std::string::npos, saved.find("saved 3 components and 2 connections")) << saved;

    // Cut apart: no connections, the camera stopped, Morvane's sets changed.
    ok({"disconnect", "StereoCameraSim0:stereo"});
    ok({"disconnect", "StereoCameraSim0:image"});
    ok({"deactivate", "StereoCameraSim0"});
    ASSERT_TRUE(conf->set_configuration_set_values(configurationSet("mode1", "9")));
    ASSERT_TRUE(conf->set_configuration_set_values(configurationSet("mode2", "1")));
    ASSERT_TRUE(conf->activate_configuration_set("mode2"));
    const cv::Mat depthCut = settledPicture(kDepthWindow, 10s);
    const cv::Mat imageCut = settledPicture(kImageWindow, 10s);
    ASSERT_FALSE(depthCut.empty() || imageCut.empty()) << "the pictures keep changing while cut";
    EXPECT_FALSE(changesFrom(kDepthWindow, depthCut, 2s)) << "nothing arrives while cut";
    EXPECT_FALSE(changesFrom(kImageWindow, imageCut, 1s)) << "nothing arrives while cut";

    const std::string restored = ok({"restore", file});
    EXPECT_NE(std::string::npos,
              restored.find("2 connections made, 0 already there, 1 components activated"))
        << restored;
    EXPECT_TRUE(changesFrom(kDepthWindow, depthCut, 20s)) << morvane.output();
    EXPECT_TRUE(changesFrom(kImageWindow, imageCut, 20s)) << kaleth.output();
    EXPECT_EQ("2", gainOf(conf, "mode1"));
    SDOPackage::ConfigurationSet_var active = conf->get_active_configuration_set();
    EXPECT_STREQ("mode1", active->id);
    const std::string shown = ok({"show", "Morvane0"});
    EXPECT_NE(std::string::npos, shown.find("dataport.buffer.length: 4")) << shown;

    // A second restore finds everything in place.
    const std::string again = ok({"restore", file});
    EXPECT_NE(std::string::npos,
              again.find("0 connections made, 2 already there, 0 components activated"))
        << again;
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

}  // namespace
