#include "Morvane.h"

#include <display/Display.h>
#include <display/ViewerWindow.h>
#include <frame/ComponentMain.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <mutex>
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

// The pointer readout runs on the display thread while the component's thread reads new maps
// into m_stereo: it looks at m_stereo only while `shown` says that it holds the map drawn, and
// only while the component is `alive`. In between, asked again for the point it last
// described, it says the same.
struct Morvane::ShownMap {
    std::mutex mutex;  // guards the members below
    bool alive = true;
    bool shown = false;
    int lastX = -1;
    int lastY = -1;
    std::string lastAnswer;
};

Morvane::Morvane(RTC::Manager* manager)
    : RTC::DataFlowComponentBase(manager),
      m_stereo(),
      m_stereoIn("stereo", m_stereo),
      m_window(kWindow),
      m_shownMap(std::make_shared<ShownMap>()) {
    std::cerr << "------------------------------------------------------------+\n";
    std::cerr << " Morvane Component (Ver. 20th June 2011)\n";
    std::cerr << "------------------------------------------------------------+\n\n";
}

// The window normally went with deactivation; this closes it only if it is still open, and never
// throws.
Morvane::~Morvane() {
    {
        std::lock_guard<std::mutex> lock(m_shownMap->mutex);
        m_shownMap->alive = false;
    }
    display::destroyWindow(m_window);
    if (m_titleHeld) display::releaseTitle(m_window);
}

RTC::ReturnCode_t Morvane::onInitialize() {
    addInPort("stereo", m_stereoIn);
    m_arrivals.attach(m_stereoIn);
    if (!m_titleHeld) m_window = display::claimTitle(kWindow, getInstanceName());
    m_titleHeld = true;
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Morvane::onActivated(RTC::UniqueId) {
    if (!display::openViewerWindow("Morvane", m_window)) return RTC::RTC_ERROR;
    m_status.restart(display::StreamStatus::Clock::now(), m_arrivals.totals().values);
    if (m_status.enabled()) {
        std::shared_ptr<ShownMap> shown = m_shownMap;
        display::setPointerReadout(m_window, [this, shown](int x, int y) {
            std::lock_guard<std::mutex> lock(shown->mutex);
            if (!shown->alive) return std::string();
            if (!shown->shown)
                return x == shown->lastX && y == shown->lastY ? shown->lastAnswer : std::string();
            shown->lastX = x;
            shown->lastY = y;
            shown->lastAnswer = pointText(x, y);
            return shown->lastAnswer;
        });
    }
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Morvane::onDeactivated(RTC::UniqueId) {
    display::destroyWindow(m_window);
    return RTC::RTC_OK;
}

RTC::ReturnCode_t Morvane::onExecute(RTC::UniqueId) {
    refreshStatus();
    display::waitKey(10);
    if (!m_stereoIn.isNew()) return RTC::RTC_OK;
    {
        std::lock_guard<std::mutex> lock(m_shownMap->mutex);
        m_shownMap->shown = false;
    }
    m_stereoIn.read();

    std::string why;
    if (!depthImageFits(m_stereo, &why)) {
        display::reportSkipped("Morvane", "a depth map", why);
        return RTC::RTC_OK;
    }
    try {
        cv::Mat image(m_stereo.height, m_stereo.width, CV_8UC3);
        convertToDepthImage(image);
        {
            std::lock_guard<std::mutex> lock(m_shownMap->mutex);
            m_shownMap->shown = true;
        }
        display::showImage(m_window, image);
        display::waitKey(10);
        m_status.shown(m_stereo.tm.sec, m_stereo.tm.nsec, m_stereo.width, m_stereo.height, 0);
    } catch (const std::exception& e) {
        display::reportSkipped("Morvane", "a depth map", e.what());
    }
    return RTC::RTC_OK;
}

void Morvane::convertToDepthImage(cv::Mat& image) { ::convertToDepthImage(m_stereo, image); }

std::string Morvane::pointText(int x, int y) const {
    const long width = m_stereo.width;
    if (x < 0 || y < 0 || x >= width || y >= m_stereo.height) return std::string();
    const unsigned long long i = static_cast<unsigned long long>(y) * width + x;
    char text[160];
    int n = std::snprintf(text, sizeof text, "col %d, row %d: ", x, y);
    const double z =
        i < m_stereo.data.length() ? m_stereo.data[static_cast<CORBA::ULong>(i)].z : NAN;
    if (z > 0) {
        const QOR::StereoData& p = m_stereo.data[static_cast<CORBA::ULong>(i)];
        std::snprintf(text + n, sizeof text - n, "x %g, y %g, z %g", p.x, p.y, p.z);
    } else {
        std::snprintf(text + n, sizeof text - n, "no depth");
    }
    return std::string(text) + "  (" + depthScaleText() + ")";
}

void Morvane::refreshStatus() {
    m_status.update(m_window, [this] {
        const frame::ArrivalCounter::Totals t = m_arrivals.totals();
        return display::StreamStatus::PortCounts{
            t.values, frame::ArrivalCounter::unread(m_stereoIn), t.interfaceType};
    });
}

extern "C" {

void MorvaneInit(RTC::Manager* manager) {
    // The display library would end the process on its own when its display goes away; whichever
    // program hosts the viewer, it leaves with its components' names unbound instead.
    display::onDisplayLost([] { frame::leaveProcess(1); });
    coil::Properties profile(morvane_profile, 2147483647);
    manager->registerFactory(profile, MorvaneCreate, MorvaneDelete);
}
}
