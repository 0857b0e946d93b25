// What the image targets do with a frame: build its image and check the result against
// FrameImage.h. Compiled without coverage instrumentation: the checks are not code under test, and
// their per-byte loops would otherwise dominate every run.
#pragma once

#include <ImageData.hh>

#include "Cases.h"

namespace fuzzsupport {

// Makes `frame` the case's frame. Grown from empty, imgData holds exactly the case's bytes, so a
// copy past its length lands outside the allocation.
void fillFrame(const cases::FrameCase& c, QOR::ImageData& frame);

// A frame is built exactly when its depth code, channel count and sizes are within the documented
// limits. A built image has the frame's type and size, rows padded to 4 bytes, its own buffer held
// only by the returned header, the first min(imageSize, imgData length, buffer size) bytes of
// imgData and zeros after them. A refused frame leaves the image empty and says why. An image too
// large for the allocation budget is not checked.
void buildAndCheck(const QOR::ImageData& frame);

}  // namespace fuzzsupport
