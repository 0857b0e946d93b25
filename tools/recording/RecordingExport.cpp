#include "RecordingExport.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <ostream>
#include <sstream>
#include <vector>

#include "DepthImage.h"
#include "FrameImage.h"
#include "RecordedType.h"

namespace recording {

namespace {

bool hostIsLittle() {
    const std::uint16_t one = 1;
    return *reinterpret_cast<const unsigned char*>(&one) == 1;
}

const char* npyDescr(int depth) {
    const bool little = hostIsLittle();
    switch (depth) {
        case CV_8U:
            return "|u1";
        case CV_8S:
            return "|i1";
        case CV_16U:
            return little ? "<u2" : ">u2";
        case CV_16S:
            return little ? "<i2" : ">i2";
        case CV_32S:
            return little ? "<i4" : ">i4";
        case CV_32F:
            return little ? "<f4" : ">f4";
        case CV_64F:
            return little ? "<f8" : ">f8";
        default:
            return nullptr;
    }
}

// "Camera0:stereo" -> "Camera0_stereo": a port's name as part of a file name.
std::string fileStem(const std::string& port) {
    std::string s = port;
    for (char& c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) c = '_';
    return s.empty() ? "port" : s;
}

std::string jsonText(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Values skipped are listed one a line up to this many; the counts say the rest.
constexpr std::size_t kListedSkips = 10;

// 8- and 16-bit pictures of 1, 3 or 4 channels go losslessly into PNG; others into .npy.
bool pngTakes(const cv::Mat& image) {
    const int depth = image.depth();
    const int channels = image.channels();
    return (depth == CV_8U || depth == CV_16U) && (channels == 1 || channels == 3 || channels == 4);
}

void writeImage(const std::string& path, const cv::Mat& image) {
    bool ok = false;
    try {
        ok = cv::imwrite(path, image);
    } catch (const cv::Exception&) {
    }
    if (!ok) throw RecordingError("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw RecordingError("cannot write " + path);
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool portMatches(const std::string& name, const std::string& wanted) {
    if (wanted.empty() || name == wanted) return true;
    if (name.size() <= wanted.size()) return false;
    const char before = name[name.size() - wanted.size() - 1];
    return (before == ':' || before == '.') &&
           name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0;
}

bool writeNpy(const std::string& path, const cv::Mat& image) {
    const char* descr = npyDescr(image.depth());
    if (descr == nullptr || image.dims != 2) return false;
    std::ostringstream dict;
    dict << "{'descr': '" << descr << "', 'fortran_order': False, 'shape': (" << image.rows << ", "
         << image.cols;
    if (image.channels() > 1) dict << ", " << image.channels();
    dict << "), }";
    std::string header = dict.str();
    // Magic, version and length take 10 octets; the whole header is padded to 64 with spaces
    // and ends in a newline.
    const std::size_t total = (10 + header.size() + 1 + 63) / 64 * 64;
    header.append(total - 10 - header.size() - 1, ' ');
    header += '\n';
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const unsigned char lead[] = {0x93,
                                  'N',
                                  'U',
                                  'M',
                                  'P',
                                  'Y',
                                  1,
                                  0,
                                  static_cast<unsigned char>(header.size() & 0xff),
                                  static_cast<unsigned char>(header.size() >> 8)};
    out.write(reinterpret_cast<const char*>(lead), sizeof lead);
    out << header;
    const std::size_t rowBytes = image.cols * image.elemSize();
    for (int r = 0; r < image.rows; ++r)
        out.write(reinterpret_cast<const char*>(image.ptr(r)),
                  static_cast<std::streamsize>(rowBytes));
    out.close();
    return static_cast<bool>(out);
}

void depthPlane(const QOR::TimedStereoData& map, cv::Mat& plane) {
    if (!depthImageFits(map)) {
        plane.release();
        return;
    }
    plane.create(static_cast<int>(map.height), static_cast<int>(map.width), CV_32FC1);
    plane.setTo(std::numeric_limits<float>::quiet_NaN());
    const std::size_t points = std::min<std::size_t>(map.data.length(), plane.total());
    float* z = plane.ptr<float>(0);
    for (std::size_t i = 0; i < points; ++i) z[i] = static_cast<float>(map.data[i].z);
}

ExportCounts exportRecording(const RecordingReader& file, const std::string& dir,
                             const ExportOptions& options, std::ostream& notes) {
    ExportCounts counts;
    const std::vector<RecordedPort>& ports = file.ports();
    const std::vector<RecordedValue>& values = file.values();
    if (values.empty()) return counts;
    const std::uint64_t start = values.front().arrivalNs;
    std::vector<std::size_t> ordinal(ports.size(), 0);
    std::vector<std::size_t> chosen(ports.size(), 0);
    std::vector<bool> noted(ports.size(), false);
    std::vector<unsigned char> cdr;
    QOR::TimedStereoData map;
    QOR::TimedImageData frame;
    cv::Mat picture, plane;
    const std::size_t every = std::max<std::size_t>(options.every, 1);
    std::size_t skips = 0;
    auto skip = [&](std::size_t& counter, const std::string& port, std::size_t n,
                    const std::string& why) {
        ++counter;
        if (skips++ < kListedSkips)
            notes << port << " value " << n << " skipped: " << why << "\n";
        else if (skips == kListedSkips + 1)
            notes << "further skipped values are only counted\n";
    };
    for (const RecordedValue& v : values) {
        const RecordedPort& port = ports[v.port];
        const std::size_t n = ordinal[v.port]++;
        const double t = (static_cast<double>(v.arrivalNs) - static_cast<double>(start)) / 1e9;
        if (!portMatches(port.name, options.port) || t < options.from || t > options.to) continue;
        if (chosen[v.port]++ % every != 0) continue;
        const ValueKind kind = kindOfType(port.type);
        if (kind == ValueKind::Other) {
            ++counts.otherType;
            if (!noted[v.port])
                notes << "port " << port.name << " carries " << port.type
                      << ", neither frames nor depth maps: not exported\n";
            noted[v.port] = true;
            continue;
        }
        std::string why;
        if (!file.read(v, cdr, &why)) {
            skip(counts.unreadable, port.name, n, why);
            continue;
        }
        char number[24];
        std::snprintf(number, sizeof number, "%06zu", n);
        const std::string base = dir + "/" + fileStem(port.name) + "-" + number;
        std::ostringstream json;
        json.precision(12);
        json << "{\n  \"port\": " << jsonText(port.name) << ",\n  \"type\": " << jsonText(port.type)
             << ",\n  \"index\": " << n
             << ",\n  \"arrival\": {\"sec\": " << v.arrivalNs / 1000000000u
             << ", \"nsec\": " << v.arrivalNs % 1000000000u << "},\n  \"seconds_from_start\": " << t
             << ",\n";
        std::vector<std::string> written;
        if (kind == ValueKind::DepthMap) {
            if (!decodeRecorded(cdr, v.littleEndian, map)) {
                skip(counts.undecodable, port.name, n, "does not decode as TimedStereoData");
                continue;
            }
            if (!depthImageFits(map, &why)) {
                skip(counts.unpicturable, port.name, n, why);
                continue;
            }
            depthPlane(map, plane);
            const std::string zPath = base + (options.tiff ? ".tiff" : ".npy");
            if (options.tiff)
                writeImage(zPath, plane);
            else if (!writeNpy(zPath, plane))
                throw RecordingError("cannot write " + zPath);
            convertToDepthImage(map, picture);
            writeImage(base + ".png", picture);
            written = {baseName(zPath), baseName(base + ".png")};
            json << "  \"tm\": {\"sec\": " << map.tm.sec << ", \"nsec\": " << map.tm.nsec
                 << "},\n  \"width\": " << map.width << ",\n  \"height\": " << map.height
                 << ",\n  \"points\": " << map.data.length() << ",\n";
            ++counts.depthMaps;
        } else {
            if (!decodeRecorded(cdr, v.littleEndian, frame)) {
                skip(counts.undecodable, port.name, n, "does not decode as TimedImageData");
                continue;
            }
            if (!buildFrameImage(frame.data, picture, &why)) {
                skip(counts.unpicturable, port.name, n, why);
                continue;
            }
            const std::string path = base + (pngTakes(picture) ? ".png" : ".npy");
            if (pngTakes(picture))
                writeImage(path, picture);
            else if (!writeNpy(path, picture))
                throw RecordingError("cannot write " + path);
            written = {baseName(path)};
            const QOR::ImageData& d = frame.data;
            json << "  \"tm\": {\"sec\": " << frame.tm.sec << ", \"nsec\": " << frame.tm.nsec
                 << "},\n  \"width\": " << d.width << ",\n  \"height\": " << d.height
                 << ",\n  \"nChannels\": " << d.nChannels << ",\n  \"depth\": " << d.depth
                 << ",\n  \"origin\": " << d.origin << ",\n  \"widthStep\": " << d.widthStep
                 << ",\n  \"imageSize\": " << d.imageSize << ",\n";
            ++counts.frames;
        }
        json << "  \"files\": [";
        for (std::size_t i = 0; i < written.size(); ++i)
            json << (i ? ", " : "") << jsonText(written[i]);
        json << "]\n}\n";
        writeText(base + ".json", json.str());
    }
    return counts;
}

}  // namespace recording
