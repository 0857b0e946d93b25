// Depth colouring of a depth map, free of any window: near points red, through yellow, green and
// cyan to blue at z = 8 and beyond; points without a positive depth black.
#pragma once

#include <StereoCameraService.hh>

#include <opencv2/core.hpp>

#include <string>

// Largest accepted side, and largest accepted width * height, of a map in points; larger maps are
// refused so that a peer cannot make the viewer allocate gigabytes.
constexpr long kMaxDepthImageSide = 16384;
constexpr long long kMaxDepthImagePixels = 64LL * 1024 * 1024;

// Whether a map's width and height make an image worth drawing; when not, `why` (if given) says why.
bool depthImageFits(const QOR::TimedStereoData& map, std::string* why = nullptr);

// The hue of a point of depth `z` (8-bit OpenCV hue, 0..120 of 180): false when the point has no
// positive depth (zero, negative or NaN), in which case `hue` is left alone.
bool depthHue(double z, unsigned char& hue);

// The smallest depth drawn in `hue` (as depthHue() gives it): z = hue / 15.
double depthOfHue(unsigned char hue);
// The colour scale in numbers, as a viewer says it: the depths at which red, yellow, green, cyan
// and blue begin, and what black means.
std::string depthScaleText();

// Fills `hsv` (re)created as CV_8UC3 of the map's height x width with the hue, saturation and value
// of every point; pixels without a point, or without depth, are black (all three bytes zero).
// Points beyond width * height are ignored. A map that does not fit leaves `hsv` empty.
void fillDepthHsv(const QOR::TimedStereoData& map, cv::Mat& hsv);

// Colours the map into `display`, a CV_8UC3 BGR image of the map's height x width (recreated when
// its size or type differ): the hues of fillDepthHsv() converted from HSV. Large maps are coloured
// in row stripes on OpenCV's threads. A map that does not fit leaves `display` empty.
void convertToDepthImage(const QOR::TimedStereoData& map, cv::Mat& display);
