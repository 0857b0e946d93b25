// Reference values built the same way by programs compiled against either QOR IDL file, so that
// bytes produced by one can be checked by the other.
#pragma once

namespace canonical {

// A 5x2 three-channel frame whose rows are padded from 15 to 16 bytes; every byte value occurs.
template <class TimedImageData>
TimedImageData frame() {
    TimedImageData f;
    f.tm.sec = 1700000000u;
    f.tm.nsec = 999999999u;
    f.data.nChannels = 3;
    f.data.depth = 8;
    f.data.origin = 1;
    f.data.width = 5;
    f.data.height = 2;
    f.data.widthStep = 16;
    f.data.imageSize = 256;
    f.data.imgData.length(256);
    for (unsigned i = 0; i < 256; ++i) f.data.imgData[i] = static_cast<char>(i);
    return f;
}

template <class TimedImageData>
bool sameFrame(const TimedImageData& a, const TimedImageData& b) {
    if (a.tm.sec != b.tm.sec || a.tm.nsec != b.tm.nsec || a.data.nChannels != b.data.nChannels ||
        a.data.depth != b.data.depth || a.data.origin != b.data.origin ||
        a.data.width != b.data.width || a.data.height != b.data.height ||
        a.data.imageSize != b.data.imageSize || a.data.widthStep != b.data.widthStep ||
        a.data.imgData.length() != b.data.imgData.length())
        return false;
    for (unsigned i = 0; i < a.data.imgData.length(); ++i)
        if (a.data.imgData[i] != b.data.imgData[i]) return false;
    return true;
}

}  // namespace canonical
