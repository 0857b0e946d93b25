// Writing what a recording holds as files other tools load: frames as PNG, depth maps as their z
// plane (32-bit float, .npy or TIFF) with the depth viewer's coloured picture as PNG, each with a
// JSON side file.
#pragma once

#include <StereoCameraService.hh>
#include <cstddef>
#include <iosfwd>
#include <limits>
#include <opencv2/core.hpp>
#include <string>

#include "RecordingReader.h"

namespace recording {

struct ExportOptions {
    // Only this port (portMatches()); empty for every port.
    std::string port;
    // Seconds after the first value's arrival, both ends included.
    double from = -std::numeric_limits<double>::infinity();
    double to = std::numeric_limits<double>::infinity();
    // Every n-th value of each port that the other choices leave.
    std::size_t every = 1;
    // The z plane as TIFF instead of .npy.
    bool tiff = false;
};

struct ExportCounts {
    std::size_t frames = 0;
    std::size_t depthMaps = 0;
    // Values that no longer decode as their port's type.
    std::size_t undecodable = 0;
    // Values that decode but cannot be pictured (sizes out of range, unknown pixel depth).
    std::size_t unpicturable = 0;
    // Values the file no longer holds as its index says.
    std::size_t unreadable = 0;
    // Values of ports that carry neither frames nor depth maps.
    std::size_t otherType = 0;
};

// Whether the port named `name` ("Camera0:stereo", "Camera0.stereo") is the one `wanted` names:
// in full, by its last part ("stereo"), or any port when `wanted` is empty.
bool portMatches(const std::string& name, const std::string& wanted);

// Exports the chosen values of `file` into the existing directory `dir` as
// <port>-<n>.png/.npy/.tiff/.json, n counting each port's values from 0. Notes on what was
// skipped go to `notes`, one line each (the first few skipped values one by one). Throws
// RecordingError when a file cannot be written.
ExportCounts exportRecording(const RecordingReader& file, const std::string& dir,
                             const ExportOptions& options, std::ostream& notes);

// Writes `image` (rows of any stride) as a NumPy .npy file of shape (rows, cols) or
// (rows, cols, channels) with the image's element type; false when it cannot be written.
bool writeNpy(const std::string& path, const cv::Mat& image);

// The z plane of a map: height x width 32-bit floats, NaN where the map holds no point. A map
// whose sizes do not fit (depthImageFits) leaves `plane` empty.
void depthPlane(const QOR::TimedStereoData& map, cv::Mat& plane);

}  // namespace recording
