// A stereo camera component standing in for a real one: publishes a moving synthetic scene as
// depth maps on "stereo" and camera frames on "image", and serves StereoCameraService.
#ifndef STEREOCAMERASIM_H
#define STEREOCAMERASIM_H

#include <StereoCameraService.hh>
#include <rtm/idl/BasicDataTypeSkel.h>

#include <rtm/DataFlowComponentBase.h>
#include <rtm/Manager.h>
#include <rtm/OutPort.h>

#include <chrono>
#include <memory>

#include "CameraService.h"
#include "RecordingPlayer.h"
#include "ServiceName.h"
#include "SyntheticScene.h"

// Configuration, from the manager's configuration (rtc.conf or -o): camera.width and
// camera.height (points per row and rows, default 320 x 240), camera.rate (frames per second,
// default 15), camera.service_ior ("-" prints the service's IOR). camera.play names a recording
// to publish instead of the scene, at the recorded pace, or with camera.play_rate R above 0 at
// R values a second on each port; camera.play_loop YES plays it again and again.
class StereoCameraSim : public RTC::DataFlowComponentBase {
public:
    explicit StereoCameraSim(RTC::Manager* manager);
    ~StereoCameraSim() override;
    StereoCameraSim(const StereoCameraSim&) = delete;
    StereoCameraSim& operator=(const StereoCameraSim&) = delete;

    // Also activates the StereoCameraService servant and binds it in the naming services as
    // "<host>.host_cxt/<instance>.StereoCameraService", binding it again every
    // naming.update.interval seconds where it has gone missing; with camera.service_ior "-" its
    // IOR is printed on standard output.
    RTC::ReturnCode_t onInitialize() override;
    // Unbinds the service's name.
    RTC::ReturnCode_t onFinalize() override;
    RTC::ReturnCode_t onActivated(RTC::UniqueId ec_id) override;
    // Renders and writes one map and one frame, both stamped with the current time; or, playing
    // a recording, writes the values that are due, unchanged.
    RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id) override;

    // The service servant, activated in the manager's POA.
    CameraService& service() { return *m_service.in(); }

protected:
    QOR::TimedStereoData m_stereo;
    RTC::OutPort<QOR::TimedStereoData> m_stereoOut;
    QOR::TimedImageData m_image;
    RTC::OutPort<QOR::TimedImageData> m_imageOut;

private:
    void publishService(const coil::Properties& config);
    void openRecording(const coil::Properties& config);
    void playDue();

    std::unique_ptr<SyntheticScene> m_scene;
    // Reference counted: the POA keeps the servant until the ORB is destroyed, which comes after
    // the component has gone.
    PortableServer::Servant_var<CameraService> m_service;
    std::unique_ptr<CameraServiceName> m_serviceName;
    std::chrono::steady_clock::time_point m_start;
    // Set when playing a recording; m_playing stays set when it could not be opened, so that
    // nothing else is published.
    bool m_playing = false;
    std::string m_playPath;
    std::unique_ptr<RecordingPlayer> m_player;
    std::vector<unsigned char> m_playBuffer;
    bool m_playedOut = false;
};

extern "C" {
void StereoCameraSimInit(RTC::Manager* manager);
}

#endif
