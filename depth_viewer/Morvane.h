// The depth viewer component: shows each depth map arriving on its port "stereo" in the window
// "Stereo Depth Image", every point coloured by its depth.
#ifndef MORVANE_H
#define MORVANE_H

// The generated QOR header comes before the port templates, which need its Any operators.
#include <StereoCameraService.hh>
#include <rtm/idl/BasicDataTypeSkel.h>

#include <display/StreamStatus.h>
#include <frame/ArrivalCounter.h>
#include <opencv2/core.hpp>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPort.h>
#include <rtm/Manager.h>

#include <memory>
#include <string>

// Callbacks run on the thread of the component's periodic execution context, and make their window
// calls there; the display seam carries them out on the process's display thread, which also
// services the window between cycles. The constructor runs on the main thread.
class Morvane : public RTC::DataFlowComponentBase {
public:
    explicit Morvane(RTC::Manager* manager);
    ~Morvane() override;
    Morvane(const Morvane&) = delete;
    Morvane& operator=(const Morvane&) = delete;

    // Adds the port and takes the window's title: "Stereo Depth Image", or, when another depth
    // viewer of this process has that, "Stereo Depth Image (<instance name>)".
    RTC::ReturnCode_t onInitialize() override;
    // Opens the window. With no display at all it writes one line to standard error and answers
    // RTC_ERROR, so the component goes to the error state and the process lives on.
    RTC::ReturnCode_t onActivated(RTC::UniqueId ec_id) override;
    RTC::ReturnCode_t onDeactivated(RTC::UniqueId ec_id) override;
    // One display cycle: a 10 ms key wait, then, if a new map has arrived, read, colour, show and
    // a second 10 ms key wait. Always RTC_OK; a map that cannot be drawn is skipped.
    RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id) override;

    // Fills `image`, a 3-channel 8-bit BGR image of the map's width x height, from m_stereo.
    void convertToDepthImage(cv::Mat& image);

protected:
    QOR::TimedStereoData m_stereo;
    RTC::InPort<QOR::TimedStereoData> m_stereoIn;

private:
    struct ShownMap;
    // The stream's part of the status line, once a second.
    void refreshStatus();
    // What the status bar says of the point at column `x`, row `y` of the map shown: its x, y
    // and z as received, or "no depth", beside the colour scale; empty off the map. With
    // m_shownMap's lock held, while it says a map is shown.
    std::string pointText(int x, int y) const;

    std::string m_window;  // the window's title
    bool m_titleHeld = false;
    frame::ArrivalCounter m_arrivals;
    display::StreamStatus m_status;
    // m_stereo while it holds the map shown, for the pointer readout on the display thread.
    std::shared_ptr<ShownMap> m_shownMap;
};

extern "C" {
// Registers Morvane's factory with the manager; exported by name for the middleware's loader.
void MorvaneInit(RTC::Manager* manager);
}

#endif
