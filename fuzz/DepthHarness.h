// What the depth targets do with a map: colour it and check the result against DepthImage.h.
// Compiled without coverage instrumentation: the checks are not code under test, and their
// per-pixel loops would otherwise dominate every run.
#pragma once

#include <StereoCameraService.hh>

#include "Cases.h"

namespace fuzzsupport {

// Makes `map` the case's map. Grown from empty, its point sequence holds exactly `points`
// elements, so a read past its length lands outside the allocation.
void fillMap(const cases::DepthCase& c, QOR::TimedStereoData& map);

// The fit verdict follows the documented limits; a fitting map gives a CV_8UC3 image of its size
// in which exactly the pixels of points with a positive depth are lit (saturation and value 255
// make the brightest channel 255) and every other pixel is black; a map that does not fit leaves
// the image empty. An image too large for the allocation budget is not checked.
void colourAndCheck(const QOR::TimedStereoData& map);

}  // namespace fuzzsupport
