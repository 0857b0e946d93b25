#include "Morvane.h"

#include <display/Display.h>
#include <display/ViewerWindow.h>
#include <frame/ComponentMain.h>

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

RTC::RTObject_impl* MorvaneCreate(RTC::Manager* manager) {
    return new (std::nothrow) Morvane(manager);
}

void MorvaneDelete(RTC::RTObject_impl* rtc) {
    if (rtc != NULL) delete rtc;
}

}  // namespace

Morvane::Morvane(RTC::Manager* manager)
    : RTC::DataFlowComponentBase(manager),
      m_stereo(),
      m_stereoIn("stereo", m_stereo),
      m_window(kWindow) {
    std::cerr << "------------------------------------------------------------+\n";
    std::cerr << " Morvane Component (Ver. 20th June 2011)\n";
    std::cerr << "------------------------------------------------------------+\n\n";
}

// The window normally went with deactivation; this closes it only if it is still open, and never
// throws.
Morvane::~Morvane() {
    display::destroyWindow(m_window);
    if (m_titleHeld) display::releaseTitle(m_window);
}

RTC::ReturnCode_t Morvane::onInitialize() {
    addInPort("stereo", m_stereoIn);
    if (!m_titleHeld) m_window = display::claimTitle(kWindow, getInstanceName());
    m_titleHeld = true;
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Morvane::onActivated(RTC::UniqueId) {
    return display::openViewerWindow("Morvane", m_window) ? RTC::RTC_OK : RTC::RTC_ERROR;
}

RTC::ReturnCode_t Morvane::onDeactivated(RTC::UniqueId) {
    display::destroyWindow(m_window);
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Morvane::onExecute(RTC::UniqueId) {
    display::waitKey(10);
    if (!m_stereoIn.isNew()) return RTC::RTC_OK;
    m_stereoIn.read();

    std::string why;
    if (!depthImageFits(m_stereo, &why)) {
        display::reportSkipped("Morvane", "a depth map", why);
        return RTC::RTC_OK;
    }
    try {
        cv::Mat image(m_stereo.height, m_stereo.width, CV_8UC3);
        convertToDepthImage(image);
        display::showImage(m_window, image);
        display::waitKey(10);
    } catch (const std::exception& e) {
        display::reportSkipped("Morvane", "a depth map", e.what());
    }
    return RTC::RTC_OK;
}

void Morvane::convertToDepthImage(cv::Mat& image) { ::convertToDepthImage(m_stereo, image); }

extern "C" {

void MorvaneInit(RTC::Manager* manager) {
    // The display library would end the process on its own when its display goes away; whichever
    // program hosts the viewer, it leaves with its components' names unbound instead.
    display::onDisplayLost([] { frame::leaveProcess(1); });
    coil::Properties profile(morvane_profile, 2147483647);
    manager->registerFactory(profile, MorvaneCreate, MorvaneDelete);
}
}
