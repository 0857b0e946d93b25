#include "FrameImage.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// The OpenCV image depth codes (IPL_DEPTH_*): bits per channel, with the top bit set when signed.
bool cvDepthOf(CORBA::Long iplDepth, int& cvDepth) {
    switch (static_cast<std::uint32_t>(iplDepth)) {
    case 8u: cvDepth = CV_8U; return true;
    case 0x80000008u: cvDepth = CV_8S; return true;
    case 16u: cvDepth = CV_16U; return true;
    case 0x80000010u: cvDepth = CV_16S; return true;
    case 0x80000020u: cvDepth = CV_32S; return true;
    case 32u: cvDepth = CV_32F; return true;
    case 64u: cvDepth = CV_64F; return true;
    default: return false;
    }
}

bool refuse(const QOR::ImageData& frame, const std::string& reason, cv::Mat& image, std::string* why) {
    image.release();
    if (why != nullptr)
        *why = "frame " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
               " depth " + std::to_string(frame.depth) + " channels " +
               std::to_string(frame.nChannels) + " refused: " + reason;
    return false;
}

}  // namespace

bool buildFrameImage(const QOR::ImageData& frame, cv::Mat& image, std::string* why) {
    int depth = 0;
    if (!cvDepthOf(frame.depth, depth)) return refuse(frame, "unknown depth code", image, why);
    if (frame.nChannels < 1 || frame.nChannels > 4)
        return refuse(frame, "channels must be 1 to 4", image, why);
    if (frame.width <= 0 || frame.height <= 0)
        return refuse(frame, "width and height must be positive", image, why);
    if (frame.width > kMaxFrameSide || frame.height > kMaxFrameSide)
        return refuse(frame, "a side exceeds 16384 pixels", image, why);
    const long long pixels = static_cast<long long>(frame.width) * frame.height;
    if (pixels > kMaxFramePixels) return refuse(frame, "width * height exceeds 64 Mi pixels", image, why);

    const int type = CV_MAKETYPE(depth, frame.nChannels);
    const long long rowBytes = static_cast<long long>(frame.width) * CV_ELEM_SIZE(type);
    const long long step = (rowBytes + 3) / 4 * 4;
    const long long bytes = step * frame.height;
    if (bytes > kMaxFrameBytes) return refuse(frame, "the image exceeds 256 MiB", image, why);

    // A plain typed Mat would have unpadded rows; the padded rows live in a byte buffer instead, and
    // the typed header over it takes a share of the buffer's reference count so that it owns it too.
    cv::Mat buffer(static_cast<int>(frame.height), static_cast<int>(step), CV_8UC1);
    cv::Mat typed(static_cast<int>(frame.height), static_cast<int>(frame.width), type, buffer.data,
                  static_cast<std::size_t>(step));
    typed.u = buffer.u;
    typed.addref();

    std::size_t n = 0;
    if (frame.imageSize > 0)
        n = std::min({static_cast<std::size_t>(frame.imageSize),
                      static_cast<std::size_t>(frame.imgData.length()),
                      static_cast<std::size_t>(bytes)});
    if (n > 0) std::memcpy(buffer.data, frame.imgData.get_buffer(), n);
    // Only the bytes not copied are cleared: clearing the whole buffer first would add a second
    // pass over every complete frame. A new Mat's buffer is one block of step * height bytes.
    const std::size_t total = static_cast<std::size_t>(bytes);
    if (n < total) std::memset(buffer.data + n, 0, total - n);
    image = typed;
    return true;
}
