// The depth colouring over maps no decoder would produce: any width and height, a point count
// unrelated to them, and depths of every bit pattern.
#include "DepthHarness.h"
#include "FuzzSupport.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    QOR::TimedStereoData map;
    fuzzsupport::fillMap(cases::readDepthCase(input), map);
    fuzzsupport::colourAndCheck(map);
    return 0;
}
