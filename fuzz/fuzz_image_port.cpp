// An image-viewer port fed arbitrary bytes: CDR decoding straight into the bound variable, then the
// image built from whatever decoded.
#include <ImageData.hh>

#include "FrameHarness.h"
#include "PortFeed.h"

#include <cstddef>
#include <cstdint>

namespace {

// As the component holds them: one port for the whole run, so each decode reuses the storage
// that the previous one left in the variable.
struct ImagePort {
    QOR::TimedImageData frame;
    RTC::InPort<QOR::TimedImageData> port{"InputImage", frame};
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ImagePort viewer;
    if (fuzzsupport::putAndRead(viewer.port, data, size)) fuzzsupport::buildAndCheck(viewer.frame.data);
    return 0;
}
