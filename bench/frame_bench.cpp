// The image viewer's road for one camera frame: its encoding by a producer, its reading into the
// bound variable, the building of the image to show, and the whole viewer side of one display
// cycle, each beside a memcpy of the frame's CDR bytes.
#include <ImageData.hh>
#include <rtm/idl/BasicDataTypeSkel.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FrameImage.h"
#include "Harness.h"
#include "PortStages.h"

namespace {

using Frame = QOR::TimedImageData;

struct FrameSize {
    int width;
    int height;
};

// The viewer side must stay within this many memcpys of the frame's CDR bytes at 640x480.
constexpr double kViewerGoal = 3.0;

// A 3-channel 8-bit frame laid out as cvCreateImage lays it out (rows padded to 4 bytes), full of
// pseudo-random bytes so that every byte value travels.
Frame makeFrame(FrameSize size) {
    Frame f;
    f.tm.sec = 1;
    f.tm.nsec = 2;
    QOR::ImageData& d = f.data;
    d.nChannels = 3;
    d.depth = 8;
    d.origin = 0;
    d.width = size.width;
    d.height = size.height;
    d.widthStep = (size.width * 3 + 3) / 4 * 4;
    d.imageSize = d.widthStep * size.height;
    d.imgData.length(static_cast<CORBA::ULong>(d.imageSize));
    std::uint32_t random = 54321;
    for (CORBA::ULong i = 0; i < d.imgData.length(); ++i) {
        random = random * 1664525u + 1013904223u;
        d.imgData[i] = static_cast<CORBA::Char>(random >> 24);
    }
    return f;
}

bool sameFrame(const Frame& a, const Frame& b) {
    const QOR::ImageData& p = a.data;
    const QOR::ImageData& q = b.data;
    return p.nChannels == q.nChannels && p.depth == q.depth && p.origin == q.origin &&
           p.width == q.width && p.height == q.height && p.imageSize == q.imageSize &&
           p.widthStep == q.widthStep && p.imgData.length() == q.imgData.length() &&
           std::memcmp(p.imgData.get_buffer(), q.imgData.get_buffer(), p.imgData.length()) == 0;
}

// Whether `image` shows the frame's bytes exactly as sent, padded rows and all.
bool showsFrame(const cv::Mat& image, const QOR::ImageData& d) {
    return image.rows == d.height && image.cols == d.width && image.type() == CV_8UC3 &&
           static_cast<CORBA::Long>(image.step[0]) == d.widthStep &&
           std::memcmp(image.data, d.imgData.get_buffer(), d.imgData.length()) == 0;
}

// What Kaleth's display cycle does with a new frame, less the window: read it into the bound
// variable and build the image to show.
void viewerCycle(RTC::InPort<Frame>& in, Frame& bound, cv::Mat& image) {
    if (!in.isNew()) return;
    in.read();
    buildFrameImage(bound.data, image);
}

void frameStages(bench::Report& report, FrameSize frameSize) {
    using bench::clobber;
    using bench::measure;
    using bench::require;
    const bench::Options& o = report.options();
    const std::string size =
        std::to_string(frameSize.width) + "x" + std::to_string(frameSize.height) + "x3";
    const Frame frame = makeFrame(frameSize);
    const bench::CdrBytes cdr = bench::encodeCdr(frame);
    bench::MemcpyBaseline baseline(cdr.size());

    bench::encodingStages(report, size, frame, baseline);
    bench::readStages<Frame>(report, size, cdr, baseline,
                             [&frame](const Frame& decoded) { return sameFrame(decoded, frame); });

    const std::string build = "f. buildFrameImage";
    if (report.wanted(build)) {
        // A fresh image each time, as the display cycle makes it.
        const bench::Measurement m = measure(
            o,
            [&] {
                cv::Mat image;
                buildFrameImage(frame.data, image);
                clobber(image.data);
            },
            baseline);
        cv::Mat image;
        require(buildFrameImage(frame.data, image) && showsFrame(image, frame.data),
                build + ": the image differs from the frame");
        report.add({build, size, m, baseline.bytes()});
    }

    const bool goalSize = frameSize.width == 640 && frameSize.height == 480;
    bench::viewerStage<Frame, cv::Mat>(
        report, "f. viewer: read+buildFrameImage", size, "InputImage", cdr, baseline,
        goalSize ? kViewerGoal : 0, viewerCycle,
        [&frame](const cv::Mat& image) { return showsFrame(image, frame.data); });
}

}  // namespace

int main(int argc, char** argv) {
    const bench::Options options = bench::parseOptions(
        argc, argv, "the image viewer's stages for one frame, beside a memcpy of its CDR bytes");
    // Memory streams take the ORB's code sets: the ORB must exist before the first one.
    int orbArgc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, nullptr);

    bench::Report report(options);
    // 642 pixels make rows of 1926 bytes, padded to 1928; the other widths need no padding.
    const std::vector<FrameSize> sizes =
        options.quick ? std::vector<FrameSize>{{32, 24}, {34, 24}}
                      : std::vector<FrameSize>{{320, 240}, {640, 480}, {642, 480}, {1280, 720}};
    for (const FrameSize& s : sizes) frameStages(report, s);

    orb->destroy();
    return 0;
}
