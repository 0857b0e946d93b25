// A depth-viewer port fed arbitrary bytes: CDR decoding straight into the bound variable, then the
// colouring of whatever decoded.
#include <StereoCameraService.hh>

#include "DepthHarness.h"
#include "PortFeed.h"

#include <cstddef>
#include <cstdint>

namespace {

// As the component holds them: one port for the whole run, so each decode reuses the storage
// that the previous one left in the variable.
struct DepthPort {
    QOR::TimedStereoData map;
    RTC::InPort<QOR::TimedStereoData> port{"stereo", map};
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static DepthPort viewer;
    if (fuzzsupport::putAndRead(viewer.port, data, size)) fuzzsupport::colourAndCheck(viewer.map);
    return 0;
}
