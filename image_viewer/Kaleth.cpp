#include "Kaleth.h"

#include <display/Display.h>
#include <display/ViewerWindow.h>
#include <frame/ComponentMain.h>

#include <iostream>
#include <new>
#include <string>

#include "FrameImage.h"

namespace {

const char* const kWindow = "show";

const char* kaleth_profile[] = {
    "implementation_id", "Kaleth",
    "type_name",         "Kaleth",
    "description",       "ModuleDescription",
    "version",           "1.0.0",
    "vendor",            "VenderName",
    "category",          "Category",
    "activity_type",     "PERIODIC",
    "kind",              "DataFlowComponent",
    "max_instance",      "0",
    "language",          "C++",
    "lang_type",         "compile",
    "",
};

RTC::RTObject_impl* KalethCreate(RTC::Manager* manager) {
    return new (std::nothrow) Kaleth(manager);
}

void KalethDelete(RTC::RTObject_impl* rtc) {
    if (rtc != NULL) delete rtc;
}

}  // namespace

Kaleth::Kaleth(RTC::Manager* manager)
    : RTC::DataFlowComponentBase(manager),
      m_InputImage(),
      m_InputImageIn("InputImage", m_InputImage),
      m_window(kWindow) {}

// No window call: the window goes with deactivation.
Kaleth::~Kaleth() {
    if (m_titleHeld) display::releaseTitle(m_window);
}

RTC::ReturnCode_t Kaleth::onInitialize() {
    addInPort("InputImage", m_InputImageIn);
    m_arrivals.attach(m_InputImageIn);
    if (!m_titleHeld) m_window = display::claimTitle(kWindow, getInstanceName());
    m_titleHeld = true;
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Kaleth::onActivated(RTC::UniqueId) {
    if (!display::openViewerWindow("Kaleth", m_window)) return RTC::RTC_ERROR;
    m_status.restart(display::StreamStatus::Clock::now(), m_arrivals.totals().values);
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Kaleth::onDeactivated(RTC::UniqueId) {
    display::destroyWindow(m_window);
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Kaleth::onExecute(RTC::UniqueId) {
    refreshStatus();
    if (!m_InputImageIn.isNew()) return RTC::RTC_OK;
    m_InputImageIn.read();

    std::string why;
    cv::Mat image;
    if (!buildFrameImage(m_InputImage.data, image, &why)) {
        display::reportSkipped("Kaleth", "a frame", why);
        return RTC::RTC_OK;
    }
    try {
        display::showImage(m_window, image);
        display::waitKey(2);
        const QOR::ImageData& f = m_InputImage.data;
        m_status.shown(m_InputImage.tm.sec, m_InputImage.tm.nsec, f.width, f.height, f.nChannels);
    } catch (const std::exception& e) {
        display::reportSkipped("Kaleth", "a frame", e.what());
    }
    return RTC::RTC_OK;
}

void Kaleth::refreshStatus() {
    m_status.update(m_window, [this] {
        const frame::ArrivalCounter::Totals t = m_arrivals.totals();
        return display::StreamStatus::PortCounts{
            t.values, frame::ArrivalCounter::unread(m_InputImageIn), t.interfaceType};
    });
}

extern "C" {

void KalethInit(RTC::Manager* manager) {
    // The display library would end the process on its own when its display goes away; whichever
    // program hosts the viewer, it leaves with its components' names unbound instead.
    display::onDisplayLost([] { frame::leaveProcess(1); });
    coil::Properties profile(kaleth_profile, 2147483647);
    manager->registerFactory(profile, KalethCreate, KalethDelete);
}
}
