#include "CameraService.h"

namespace {

void clear(QOR::TimedImageData& f) {
    f.tm.sec = f.tm.nsec = 0;
    f.data.nChannels = f.data.depth = f.data.origin = 0;
    f.data.width = f.data.height = f.data.imageSize = f.data.widthStep = 0;
}

void clear(QOR::TimedStereoData& m) {
    m.tm.sec = m.tm.nsec = 0;
    m.width = m.height = 0;
}

}  // namespace

CameraService::CameraService() {
    clear(m_frame);
    clear(m_map);
}

void CameraService::update(const QOR::TimedImageData& frame, const QOR::TimedStereoData& map) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frame = frame;
    m_map = map;
}

QOR::TimedImageData* CameraService::GetImage() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return new QOR::TimedImageData(m_frame);
}

QOR::TimedStereoData* CameraService::GetStereo(CORBA::Short) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return new QOR::TimedStereoData(m_map);
}

QOR::TimedImageAndStereoData* CameraService::GetImageAndStereoData() {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto* r = new QOR::TimedImageAndStereoData;
    r->stereo = m_map;
    r->image = m_frame;
    return r;
}
