// Building the image viewer's picture from a received frame, free of any window.
#pragma once

#include <ImageData.hh>

#include <opencv2/core.hpp>

#include <string>

// Largest accepted side, pixel count and byte size of a frame's image; larger frames are refused so
// that a peer cannot make the viewer allocate gigabytes.
constexpr long kMaxFrameSide = 16384;
constexpr long long kMaxFramePixels = 64LL * 1024 * 1024;
constexpr long long kMaxFrameBytes = 256LL * 1024 * 1024;

// Makes `image` a new image of the frame's width, height, pixel depth and channel count, laid out as
// OpenCV's old image header lays it out (each row padded to a multiple of 4 bytes), and copies the
// frame's first imageSize bytes into it flat, so that the sender's padded rows land unchanged.
// Bytes beyond those copied are zero; the copy stops at the end of imgData and of the image.
// The returned image owns its buffer. On a frame that cannot be shown (unknown depth code, channels
// outside 1..4, non-positive or oversized width or height) returns false, releases `image` and,
// if `why` is given, says why. `origin` and `widthStep` are not read.
bool buildFrameImage(const QOR::ImageData& frame, cv::Mat& image, std::string* why = nullptr);
