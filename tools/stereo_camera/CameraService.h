// StereoCameraService of the synthetic camera: answers with the latest frame and depth map.
#ifndef CAMERASERVICE_H
#define CAMERASERVICE_H

#include <StereoCameraService.hh>

#include <mutex>

// Updated by the camera's execution thread, called by the ORB's threads.
class CameraService : public POA_QOR::StereoCameraService {
public:
    CameraService();
    CameraService(const CameraService&) = delete;
    CameraService& operator=(const CameraService&) = delete;

    // Keeps copies of the latest frame and map.
    void update(const QOR::TimedImageData& frame, const QOR::TimedStereoData& map);

    // Before the first update these answer empty values (zero sizes, no pixels, no points).
    QOR::TimedImageData* GetImage() override;
    // The argument selects nothing here; every call answers the latest map.
    QOR::TimedStereoData* GetStereo(CORBA::Short selector) override;
    QOR::TimedImageAndStereoData* GetImageAndStereoData() override;

private:
    // Guards both values.
    std::mutex m_mutex;
    QOR::TimedImageData m_frame;
    QOR::TimedStereoData m_map;
};

#endif
