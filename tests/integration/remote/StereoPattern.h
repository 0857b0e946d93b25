// The depth maps the test producer writes and the test consumer checks: every point derived from
// the map's time stamp and its index, so that a value damaged or mixed up on the way shows.
#pragma once

#include <StereoCameraService.hh>

namespace pattern {

inline void fill(QOR::TimedStereoData& map, CORBA::ULong sec, CORBA::Long width,
                 CORBA::Long height) {
    map.tm.sec = sec;
    map.tm.nsec = sec * 7u;
    map.width = width;
    map.height = height;
    const CORBA::ULong n = static_cast<CORBA::ULong>(width) * static_cast<CORBA::ULong>(height);
    map.data.length(n);
    for (CORBA::ULong i = 0; i < n; ++i) {
        QOR::StereoData& p = map.data[i];
        p.x = static_cast<double>(i);
        p.y = static_cast<double>(sec);
        p.z = 0.5 * static_cast<double>(i % 1000);
        p.dmy.length(1);
        p.dmy[0] = static_cast<CORBA::Short>(i & 0x7fff);
    }
}

inline bool intact(const QOR::TimedStereoData& map) {
    const CORBA::ULong n =
        static_cast<CORBA::ULong>(map.width) * static_cast<CORBA::ULong>(map.height);
    if (map.width < 0 || map.height < 0 || map.data.length() != n || map.tm.nsec != map.tm.sec * 7u)
        return false;
    for (CORBA::ULong i = 0; i < n; ++i) {
        const QOR::StereoData& p = map.data[i];
        if (p.x != static_cast<double>(i) || p.y != static_cast<double>(map.tm.sec) ||
            p.z != 0.5 * static_cast<double>(i % 1000) || p.dmy.length() != 1 ||
            p.dmy[0] != static_cast<CORBA::Short>(i & 0x7fff))
            return false;
    }
    return true;
}

}  // namespace pattern
