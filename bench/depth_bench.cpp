// The depth viewer's road for one map: its encoding by a producer, its reading into the bound
// variable, its colouring, and the whole viewer side of one display cycle, each beside a memcpy of
// the map's CDR bytes.
#include <StereoCameraService.hh>
#include <rtm/idl/BasicDataTypeSkel.h>

#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "DepthImage.h"
#include "Harness.h"
#include "PortStages.h"

namespace {

using Map = QOR::TimedStereoData;

struct MapSize {
    int width;
    int height;
};

// The viewer side must stay within this many memcpys of the map's CDR bytes at 640x480.
constexpr double kViewerGoal = 4.0;

// Like a stereo camera's map: depth rising from left to right across the whole colour scale and
// beyond it, a little noise, and about one point in twenty without depth. Every dmy is empty.
Map makeMap(MapSize size) {
    Map map;
    map.tm.sec = 1;
    map.tm.nsec = 2;
    map.width = size.width;
    map.height = size.height;
    const CORBA::ULong points = static_cast<CORBA::ULong>(size.width) * size.height;
    map.data.length(points);
    std::uint32_t random = 12345;
    for (CORBA::ULong i = 0; i < points; ++i) {
        random = random * 1664525u + 1013904223u;
        const double column = static_cast<double>(i % size.width);
        QOR::StereoData& p = map.data[i];
        p.x = column * 0.01;
        p.y = static_cast<double>(i / size.width) * 0.01;
        const bool hole = (random >> 24) < 13;
        p.z = hole ? 0.0 : 0.3 + 9.7 * column / size.width + 0.05 * ((random >> 8) & 0xff) / 255.0;
    }
    return map;
}

bool sameMap(const Map& a, const Map& b) {
    if (a.width != b.width || a.height != b.height || a.data.length() != b.data.length())
        return false;
    for (CORBA::ULong i = 0; i < a.data.length(); ++i) {
        const QOR::StereoData& p = a.data[i];
        const QOR::StereoData& q = b.data[i];
        if (p.x != q.x || p.y != q.y || p.z != q.z || p.dmy.length() != q.dmy.length())
            return false;
    }
    return true;
}

bool sameImage(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// What Morvane's display cycle does with a new map, less the window: read it into the bound
// variable, create the display image and colour the map into it.
void viewerCycle(RTC::InPort<Map>& in, Map& bound, cv::Mat& image) {
    if (!in.isNew()) return;
    in.read();
    if (!depthImageFits(bound)) return;
    image = cv::Mat(static_cast<int>(bound.height), static_cast<int>(bound.width), CV_8UC3);
    convertToDepthImage(bound, image);
}

void depthStages(bench::Report& report, MapSize mapSize) {
    using bench::measure;
    using bench::require;
    using bench::clobber;
    const bench::Options& o = report.options();
    const std::string size = std::to_string(mapSize.width) + "x" + std::to_string(mapSize.height);
    const Map map = makeMap(mapSize);
    const bench::CdrBytes cdr = bench::encodeCdr(map);
    bench::MemcpyBaseline baseline(cdr.size());

    bench::encodingStages(report, size, map, baseline);
    bench::readStages<Map>(report, size, cdr, baseline,
                           [&map](const Map& decoded) { return sameMap(decoded, map); });

    cv::Mat hsv;
    fillDepthHsv(map, hsv);
    cv::Mat expected;
    convertToDepthImage(map, expected);
    require(hsv.rows == mapSize.height && hsv.cols == mapSize.width && !expected.empty(),
            "the reference images of a " + size + " map are missing");

    const std::string colour = "c. fillDepthHsv";
    if (report.wanted(colour)) {
        // A fresh image each time, as convertToDepthImage makes its work image.
        const bench::Measurement m = measure(
            o,
            [&] {
                cv::Mat work;
                fillDepthHsv(map, work);
                clobber(work.data);
            },
            baseline);
        report.add({colour, size, m, baseline.bytes()});
    }

    const std::string convert = "d. cv::cvtColor HSV2BGR";
    if (report.wanted(convert)) {
        cv::Mat bgr(hsv.size(), CV_8UC3);
        const bench::Measurement m = measure(
            o,
            [&] {
                cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
                clobber(bgr.data);
            },
            baseline);
        require(sameImage(bgr, expected), convert + ": the BGR image differs");
        report.add({convert, size, m, baseline.bytes()});
    }

    const std::string whole = "e. convertToDepthImage (c+d)";
    if (report.wanted(whole)) {
        // A fresh display image each time, as the display cycle makes it.
        const bench::Measurement m = measure(
            o,
            [&] {
                cv::Mat display(mapSize.height, mapSize.width, CV_8UC3);
                convertToDepthImage(map, display);
                clobber(display.data);
            },
            baseline);
        report.add({whole, size, m, baseline.bytes()});
    }

    const bool goalSize = mapSize.width == 640 && mapSize.height == 480;
    bench::viewerStage<Map, cv::Mat>(
        report, "e. viewer: read+colour+convert", size, "stereo", cdr, baseline,
        goalSize ? kViewerGoal : 0, viewerCycle,
        [&expected](const cv::Mat& image) { return sameImage(image, expected); });
}

}  // namespace

int main(int argc, char** argv) {
    const bench::Options options = bench::parseOptions(
        argc, argv, "the depth viewer's stages for one map, beside a memcpy of its CDR bytes");
    // Memory streams take the ORB's code sets: the ORB must exist before the first one.
    int orbArgc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, nullptr);

    bench::Report report(options);
    const std::vector<MapSize> sizes = options.quick
                                           ? std::vector<MapSize>{{32, 24}}
                                           : std::vector<MapSize>{{320, 240}, {640, 480}, {1280, 720}};
    for (const MapSize& s : sizes) depthStages(report, s);

    orb->destroy();
    return 0;
}
