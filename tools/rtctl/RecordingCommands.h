// The commands of rtctl that work on recording files: info and export.
#pragma once

#include <string>
#include <vector>

namespace rtctl {

// `info FILE`: the ports, types, value counts, duration and sizes of a recording, on standard
// output; a problem of the file as one line on standard error. Returns the exit status.
// Throws std::invalid_argument for wrong arguments, std::runtime_error when the file cannot be
// read at all.
int recordingInfo(const std::vector<std::string>& args);

// `export FILE DIR [--port P] [--from T] [--to T] [--every N] [--tiff]`: exports what the
// recording holds into DIR (made if missing). Returns 0 when every chosen value was exported, 1
// when the file had a problem or values were skipped; throws as recordingInfo() does.
int recordingExport(const std::vector<std::string>& args);

}  // namespace rtctl
