#include "FrameHarness.h"

#include "FrameImage.h"
#include "FuzzSupport.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace fuzzsupport {

namespace {

// The OpenCV depth and bytes per channel of an image depth code; false for a code an image header
// does not accept.
bool depthCode(CORBA::Long code, int& cvDepth, int& channelBytes) {
    switch (static_cast<std::uint32_t>(code)) {
    case 8u: cvDepth = CV_8U; channelBytes = 1; return true;
    case 0x80000008u: cvDepth = CV_8S; channelBytes = 1; return true;
    case 16u: cvDepth = CV_16U; channelBytes = 2; return true;
    case 0x80000010u: cvDepth = CV_16S; channelBytes = 2; return true;
    case 0x80000020u: cvDepth = CV_32S; channelBytes = 4; return true;
    case 32u: cvDepth = CV_32F; channelBytes = 4; return true;
    case 64u: cvDepth = CV_64F; channelBytes = 8; return true;
    default: return false;
    }
}

}  // namespace

void fillFrame(const cases::FrameCase& c, QOR::ImageData& frame) {
    frame.nChannels = c.nChannels;
    frame.depth = c.depth;
    frame.origin = c.origin;
    frame.width = c.width;
    frame.height = c.height;
    frame.imageSize = c.imageSize;
    frame.widthStep = c.widthStep;
    frame.imgData.length(0);
    frame.imgData.length(static_cast<CORBA::ULong>(c.imgData.size()));
    if (!c.imgData.empty()) std::memcpy(frame.imgData.get_buffer(), c.imgData.data(), c.imgData.size());
}

void buildAndCheck(const QOR::ImageData& frame) {
    int cvDepth = 0;
    int channelBytes = 0;
    const bool known = depthCode(frame.depth, cvDepth, channelBytes);
    const long long width = frame.width;
    const long long height = frame.height;
    const long long channels = frame.nChannels;
    const bool sidesFit = width > 0 && height > 0 && width <= kMaxFrameSide && height <= kMaxFrameSide;
    const long long step = sidesFit ? (width * channels * channelBytes + 3) / 4 * 4 : 0;
    const bool documented = known && channels >= 1 && channels <= 4 && sidesFit &&
                            width * height <= kMaxFramePixels && step * height <= kMaxFrameBytes;

    cv::Mat image(3, 5, CV_8UC1, cv::Scalar(7));
    std::string why;
    bool built = false;
    try {
        built = buildFrameImage(frame, image, &why);
    } catch (const OverBudget&) {
        return;
    }
    FUZZ_CHECK(built == documented);
    if (!built) {
        FUZZ_CHECK(image.empty());
        FUZZ_CHECK(!why.empty());
        return;
    }
    FUZZ_CHECK(image.type() == CV_MAKETYPE(cvDepth, static_cast<int>(channels)));
    FUZZ_CHECK(image.rows == height && image.cols == width);
    FUZZ_CHECK(image.step[0] == static_cast<std::size_t>(step));
    const std::size_t total = static_cast<std::size_t>(step * height);
    FUZZ_CHECK(image.u != nullptr && image.u->refcount == 1 && image.u->size >= total);
    FUZZ_CHECK(image.data == image.u->data);

    const std::size_t copied = frame.imageSize <= 0
                                   ? 0
                                   : std::min({static_cast<std::size_t>(frame.imageSize),
                                               static_cast<std::size_t>(frame.imgData.length()), total});
    if (copied > 0) FUZZ_CHECK(std::memcmp(image.data, frame.imgData.get_buffer(), copied) == 0);
    FUZZ_CHECK(std::all_of(image.data + copied, image.data + total, [](unsigned char b) { return b == 0; }));
}

}  // namespace fuzzsupport
