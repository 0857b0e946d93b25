// A StereoCameraService servant whose answers are derived from the request, so a client can tell
// that its argument arrived unchanged. Remembers the last value it handed out.
#pragma once

#include <StereoCameraService.hh>

class FakeStereoCamera : public POA_QOR::StereoCameraService {
public:
    FakeStereoCamera() = default;
    FakeStereoCamera(const FakeStereoCamera&) = delete;
    FakeStereoCamera& operator=(const FakeStereoCamera&) = delete;

    QOR::TimedImageData* GetImage() override;
    // The map has one point whose dmy holds the argument; width is the argument too.
    QOR::TimedStereoData* GetStereo(CORBA::Short selector) override;
    QOR::TimedImageAndStereoData* GetImageAndStereoData() override;

    const void* lastResult() const { return m_last; }

private:
    const void* m_last = nullptr;
};
