#include "Morvane.h"

#include <display/Display.h>

#include <atomic>
#include <iostream>
#include <new>
#include <string>

#include "DepthImage.h"

namespace {

const char* const kWindow = "Stereo Depth Image";

const char* morvane_profile[] = {
    "implementation_id", "Morvane",
    "type_name",         "Morvane",
    "description",       "Show stereo depth image",
    "version",           "1.0.0",
    "vendor",            "qor-viewers.org",
    "category",          "Viewe",
    "activity_type",     "PERIODIC",
    "kind",              "DataFlowComponent",
    "max_instance",      "0",
    "language",          "C++",
    "lang_type",         "compile",
    "",
};

// Maps skipped because their sizes do not fit; the first and then every thousandth is reported,
// so that a misbehaving peer cannot flood standard error.
std::atomic<unsigned long> g_skipped(0);

void reportSkipped(const std::string& why) {
    const unsigned long n = g_skipped++;
    if (n % 1000 == 0)
        std::cerr << "Morvane: skipping a depth map: " << why << " (" << n + 1
                  << " skipped so far)" << std::endl;
}

RTC::RTObject_impl* MorvaneCreate(RTC::Manager* manager) {
    return new (std::nothrow) Morvane(manager);
}

void MorvaneDelete(RTC::RTObject_impl* rtc) {
    if (rtc != NULL) delete rtc;
}

}  // namespace

Morvane::Morvane(RTC::Manager* manager)
    : RTC::DataFlowComponentBase(manager), m_stereo(), m_stereoIn("stereo", m_stereo) {
    std::cerr << "------------------------------------------------------------+\n";
    std::cerr << " Morvane Component (Ver. 20th June 2011)\n";
    std::cerr << "------------------------------------------------------------+\n\n";
}

// The window normally went with deactivation; this closes it only if it is still open and this
// thread opened it, and never throws.
Morvane::~Morvane() { display::destroyWindow(kWindow); }

RTC::ReturnCode_t Morvane::onInitialize() {
    addInPort("stereo", m_stereoIn);
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Morvane::onActivated(RTC::UniqueId) {
    std::string why;
    if (!display::available(why)) {
        std::cerr << "Morvane: cannot open the window \"" << kWindow << "\": " << why
                  << std::endl;
        return RTC::RTC_ERROR;
    }
    try {
        display::createWindow(kWindow);
    } catch (const std::exception& e) {
        std::cerr << "Morvane: cannot open the window \"" << kWindow << "\": " << e.what()
                  << std::endl;
        return RTC::RTC_ERROR;
    }
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Morvane::onDeactivated(RTC::UniqueId) {
    display::destroyWindow(kWindow);
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Morvane::onExecute(RTC::UniqueId) {
    display::waitKey(10);
    if (!m_stereoIn.isNew()) return RTC::RTC_OK;
    m_stereoIn.read();

    std::string why;
    if (!depthImageFits(m_stereo, &why)) {
        reportSkipped(why);
        return RTC::RTC_OK;
    }
    try {
        cv::Mat image(m_stereo.height, m_stereo.width, CV_8UC3);
        convertToDepthImage(image);
        display::showImage(kWindow, image);
        display::waitKey(10);
    } catch (const std::exception& e) {
        reportSkipped(e.what());
    }
    return RTC::RTC_OK;
}

void Morvane::convertToDepthImage(cv::Mat& image) { ::convertToDepthImage(m_stereo, image); }

extern "C" {

void MorvaneInit(RTC::Manager* manager) {
    coil::Properties profile(morvane_profile, 2147483647);
    manager->registerFactory(profile, MorvaneCreate, MorvaneDelete);
}
}
