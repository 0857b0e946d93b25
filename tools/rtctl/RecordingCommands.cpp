#include "RecordingCommands.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "RecordingExport.h"
#include "RecordingReader.h"

namespace rtctl {

namespace {

std::string utcTime(std::uint64_t ns) {
    const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000u);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03u UTC",
                  static_cast<unsigned>(ns % 1000000000u / 1000000u));
    return text;
}

std::string bytesText(double bytes) {
    char text[32];
    if (bytes < 1e3)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else if (bytes < 1e6)
        std::snprintf(text, sizeof text, "%.1f kB", bytes / 1e3);
    else if (bytes < 1e9)
        std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    else
        std::snprintf(text, sizeof text, "%.2f GB", bytes / 1e9);
    return text;
}

double seconds(std::uint64_t fromNs, std::uint64_t toNs) {
    return toNs >= fromNs ? static_cast<double>(toNs - fromNs) / 1e9
                          : -static_cast<double>(fromNs - toNs) / 1e9;
}

double numberArgument(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v))
        throw std::invalid_argument(option + " takes a number, not \"" + text + "\"");
    return v;
}

}  // namespace

int recordingInfo(const std::vector<std::string>& args) {
    if (args.size() != 1) throw std::invalid_argument("info takes one file");
    const recording::RecordingReader file(args[0]);
    if (!file.problem().empty()) std::cerr << "rtctl: " << file.problem() << std::endl;
    const auto& ports = file.ports();
    const auto& values = file.values();
    std::cout << args[0] << ": recording format " << file.version() << ", created "
              << utcTime(file.createdNs()) << ", "
              << bytesText(static_cast<double>(file.fileBytes())) << "\n";
    if (values.empty()) {
        std::cout << "  no values\n";
    } else {
        std::printf("  %zu values over %.3f s, from %s to %s\n", values.size(),
                    seconds(values.front().arrivalNs, values.back().arrivalNs),
                    utcTime(values.front().arrivalNs).c_str(),
                    utcTime(values.back().arrivalNs).c_str());
    }
    for (std::size_t p = 0; p < ports.size(); ++p) {
        std::size_t count = 0;
        std::uint64_t total = 0, first = 0, last = 0;
        std::uint32_t smallest = 0, largest = 0;
        for (const recording::RecordedValue& v : values) {
            if (v.port != p) continue;
            if (count == 0) {
                first = v.arrivalNs;
                smallest = largest = v.length;
            }
            last = v.arrivalNs;
            smallest = std::min(smallest, v.length);
            largest = std::max(largest, v.length);
            total += v.length;
            ++count;
        }
        std::cout << "  port " << ports[p].name << " (" << ports[p].type << "): " << count
                  << " values";
        if (count > 0) {
            const double span = seconds(first, last);
            std::cout << " over " << span << " s";
            if (count > 1 && span > 0) std::cout << " (" << (count - 1) / span << " per second)";
            std::cout << ", " << bytesText(static_cast<double>(total)) << " in all, "
                      << (smallest == largest ? bytesText(smallest) + " each"
                                              : bytesText(smallest) + " to " + bytesText(largest));
        }
        std::cout << "\n";
    }
    return 0;
}

int recordingExport(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    recording::ExportOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
            return args[++i];
        };
        if (a == "--port") {
            options.port = value();
        } else if (a == "--from") {
            options.from = numberArgument(a, value());
        } else if (a == "--to") {
            options.to = numberArgument(a, value());
        } else if (a == "--every") {
            const double n = numberArgument(a, value());
            if (n < 1 || n != std::floor(n) || n > 1e9)
                throw std::invalid_argument("--every takes a whole number from 1");
            options.every = static_cast<std::size_t>(n);
        } else if (a == "--tiff") {
            options.tiff = true;
        } else if (a.compare(0, 2, "--") == 0) {
            throw std::invalid_argument("export does not know " + a);
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) throw std::invalid_argument("export takes a file and a directory");
    const recording::RecordingReader file(files[0]);
    if (!file.problem().empty()) std::cerr << "rtctl: " << file.problem() << std::endl;
    if (::mkdir(files[1].c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make " + files[1] + ": " + std::strerror(errno));
    if (!options.port.empty()) {
        bool known = false;
        for (const auto& p : file.ports())
            known = known || recording::portMatches(p.name, options.port);
        if (!known) throw std::runtime_error("the recording has no port " + options.port);
    }
    const recording::ExportCounts c =
        recording::exportRecording(file, files[1], options, std::cerr);
    std::cout << "exported " << c.frames << " frames and " << c.depthMaps << " depth maps to "
              << files[1];
    const std::size_t skipped = c.undecodable + c.unpicturable + c.unreadable;
    if (skipped > 0)
        std::cout << "; skipped " << c.undecodable << " that do not decode, " << c.unpicturable
                  << " that cannot be pictured, " << c.unreadable << " the file no longer holds";
    std::cout << std::endl;
    return file.problem().empty() && skipped == 0 ? 0 : 1;
}

}  // namespace rtctl
