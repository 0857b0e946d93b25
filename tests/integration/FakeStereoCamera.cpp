#include "FakeStereoCamera.h"

#include "CanonicalValues.h"

namespace {

QOR::TimedStereoData mapFor(CORBA::Short selector) {
    QOR::TimedStereoData m;
    m.tm.sec = 7;
    m.tm.nsec = 8;
    m.width = selector;
    m.height = 1;
    m.data.length(1);
    m.data[0].x = 0.5;
    m.data[0].y = -0.5;
    m.data[0].z = 2.0;
    m.data[0].dmy.length(1);
    m.data[0].dmy[0] = selector;
    return m;
}

}  // namespace

QOR::TimedImageData* FakeStereoCamera::GetImage() {
    auto* r = new QOR::TimedImageData(canonical::frame<QOR::TimedImageData>());
    m_last = r;
    return r;
}

QOR::TimedStereoData* FakeStereoCamera::GetStereo(CORBA::Short selector) {
    auto* r = new QOR::TimedStereoData(mapFor(selector));
    m_last = r;
    return r;
}

QOR::TimedImageAndStereoData* FakeStereoCamera::GetImageAndStereoData() {
    auto* r = new QOR::TimedImageAndStereoData;
    r->stereo = mapFor(-1);
    r->image = canonical::frame<QOR::TimedImageData>();
    m_last = r;
    return r;
}
