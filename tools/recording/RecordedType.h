// Decoding recorded CDR octets as the QOR type their port advertised. Header-only, so that each
// program decodes with the generated code it links (the middleware's, or a tool's own copy).
#pragma once

#include <omniORB4/CORBA.h>

#include <string>
#include <vector>

namespace recording {

enum class ValueKind { Other, DepthMap, Frame };

// "TimedStereoData" and "IDL:QOR/TimedStereoData:1.0" are depth maps, the same for frames.
inline ValueKind kindOfType(const std::string& type) {
    if (type == "TimedStereoData" || type == "IDL:QOR/TimedStereoData:1.0")
        return ValueKind::DepthMap;
    if (type == "TimedImageData" || type == "IDL:QOR/TimedImageData:1.0") return ValueKind::Frame;
    return ValueKind::Other;
}

// omniORB's memory stream checks a sequence's count against the input left in 32 bits; this one
// also refuses a count whose octets no CDR buffer can hold, before anything is allocated for it.
class RecordedCdrStream : public cdrMemoryStream {
public:
    RecordedCdrStream(void* buffer, size_t length) : cdrMemoryStream(buffer, length) {}

    CORBA::Boolean checkInputOverrun(CORBA::ULong itemSize, CORBA::ULong nItems,
                                     omni::alignment_t align = omni::ALIGN_1) override {
        if (static_cast<unsigned long long>(itemSize) * nItems > 0xffffffffull) return 0;
        return cdrMemoryStream::checkInputOverrun(itemSize, nItems, align);
    }
};

// Decodes `cdr`, written in the given byte order, into `value` (reusing its storage); false when
// the octets do not decode as T. Octets left over after the value are not looked at.
template <class T>
bool decodeRecorded(std::vector<unsigned char>& cdr, bool littleEndian, T& value) {
    try {
        RecordedCdrStream stream(cdr.data(), cdr.size());
        stream.setByteSwapFlag(littleEndian);
        value <<= stream;
        return true;
    } catch (const CORBA::SystemException&) {
        return false;
    }
}

}  // namespace recording
