// Stand-in only: no OpenRTM-aist header has this name.
// omniORB converts each char of a stream through its code set objects, two virtual calls and a
// table test a char: some 5 ns, 30 ms for the characters of a 1920x1080 frame. When a stream's
// native and transmission code sets are one and the same 8-bit set, as they are by default
// (ISO-8859-1 both), a char is its octet; the streams of the ports make it so at one call a char.
#ifndef RTM_OCTETCHARS_H
#define RTM_OCTETCHARS_H

#include <rtm/RTC.h>

namespace RTC {

// The native char code set a stream should use instead of `ncs`, given its transmission code set
// `tcs`: one that moves chars as octets when both are the same 8-bit set, else `ncs` itself
// (converting stays omniORB's). Strings always go through `ncs`. Any thread.
omni::omniCodeSet::NCS_C* octetChars(omni::omniCodeSet::NCS_C* ncs, omni::omniCodeSet::TCS_C* tcs);

// A memory stream whose chars pass as octets where octetChars() allows it.
class PortCdrStream : public cdrMemoryStream {
public:
    PortCdrStream() { pd_ncs_c = octetChars(pd_ncs_c, pd_tcs_c); }
    PortCdrStream(void* buffer, size_t length) : cdrMemoryStream(buffer, length) {
        pd_ncs_c = octetChars(pd_ncs_c, pd_tcs_c);
    }
};

}  // namespace RTC

#endif
