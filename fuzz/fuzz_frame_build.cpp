// The image builder over frames no decoder would produce: any sizes, depth codes, channel counts
// and imageSize, with an imgData of any length.
#include "FrameHarness.h"
#include "FuzzSupport.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    QOR::ImageData frame;
    fuzzsupport::fillFrame(cases::readFrameCase(input), frame);
    fuzzsupport::buildAndCheck(frame);
    return 0;
}
