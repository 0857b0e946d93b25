// The image viewer component: shows each camera frame arriving on its port "InputImage",
// unchanged, in the window "show".
#ifndef KALETH_H
#define KALETH_H

// The generated QOR header comes before the port templates, which need its Any operators.
#include <ImageData.hh>
#include <rtm/idl/BasicDataTypeSkel.h>

#include <display/StreamStatus.h>
#include <frame/ArrivalCounter.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/InPort.h>
#include <rtm/Manager.h>

#include <string>

// Callbacks run on the thread of the component's periodic execution context, and make their window
// calls there; the display seam carries them out on the process's display thread, which also
// services the window between cycles. The constructor runs on the main thread.
class Kaleth : public RTC::DataFlowComponentBase {
public:
    explicit Kaleth(RTC::Manager* manager);
    ~Kaleth() override;
    Kaleth(const Kaleth&) = delete;
    Kaleth& operator=(const Kaleth&) = delete;

    // Adds the port and takes the window's title: "show", or, when another image viewer of this
    // process has that, "show (<instance name>)".
    RTC::ReturnCode_t onInitialize() override;
    // Opens the window. With no display at all it writes one line to standard error and answers
    // RTC_ERROR, so the component goes to the error state and the process lives on.
    RTC::ReturnCode_t onActivated(RTC::UniqueId ec_id) override;
    RTC::ReturnCode_t onDeactivated(RTC::UniqueId ec_id) override;
    // One display cycle: if a new frame has arrived, read it, build its image, show it and wait
    // 2 ms for a key; nothing at all otherwise. Always RTC_OK; a frame that cannot be shown is
    // skipped.
    RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id) override;

protected:
    QOR::TimedImageData m_InputImage;
    RTC::InPort<QOR::TimedImageData> m_InputImageIn;

private:
    // The stream's part of the status line, once a second.
    void refreshStatus();

    std::string m_window;  // the window's title
    bool m_titleHeld = false;
    frame::ArrivalCounter m_arrivals;
    display::StreamStatus m_status;
};

extern "C" {
// Registers Kaleth's factory with the manager; exported by name for the middleware's loader.
void KalethInit(RTC::Manager* manager);
}

#endif
