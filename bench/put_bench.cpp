// A value put over loopback GIOP into an input port of another process: the client's
// InPortCdr::put() of a map and of a frame's CDR bytes, each beside a memcpy of the same bytes.
// The server programs (put_sink_stereo, put_sink_image) empty their port every cycle.
#include <StereoCameraService.hh>
#include <rtm/idl/BasicDataTypeSkel.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Harness.h"
#include "PortStages.h"
#include "RemotePeer.h"

namespace {

struct Size {
    int width;
    int height;
};

QOR::TimedStereoData makeMap(Size size) {
    QOR::TimedStereoData map;
    map.width = size.width;
    map.height = size.height;
    const CORBA::ULong points = static_cast<CORBA::ULong>(size.width) * size.height;
    map.data.length(points);
    for (CORBA::ULong i = 0; i < points; ++i) {
        map.data[i].x = (i % size.width) * 0.01;
        map.data[i].y = (i / size.width) * 0.01;
        map.data[i].z = 0.3 + 0.001 * (i % 9000);
    }
    return map;
}

QOR::TimedImageData makeFrame(Size size) {
    QOR::TimedImageData f;
    QOR::ImageData& d = f.data;
    d.nChannels = 3;
    d.depth = 8;
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

// `bytes` as the sequence put() sends, without taking ownership: the client marshals from it.
OpenRTM::CdrData borrowed(bench::CdrBytes& bytes) {
    const auto n = static_cast<CORBA::ULong>(bytes.size());
    return OpenRTM::CdrData(n, n, bytes.data(), false);
}

template <class T, class Make>
void putStages(bench::Report& report, const char* program, const std::string& stage,
               const std::vector<Size>& sizes, Make make) {
    if (!report.wanted(stage)) return;
    std::unique_ptr<remotetest::Component> sink = benchpeer::startComponent(program);
    bench::require(!sink->ior().empty(), std::string(program) + " printed no reference: " +
                                             sink->output());
    std::string why;
    OpenRTM::InPortCdr_var in = benchpeer::connectFirstPort(sink->ior(), why);
    bench::require(!CORBA::is_nil(in), std::string(program) + ": " + why);
    for (const Size& s : sizes) {
        bench::CdrBytes cdr = bench::encodeCdr(make(s));
        bench::MemcpyBaseline baseline(cdr.size());
        const OpenRTM::CdrData value = borrowed(cdr);
        bool ok = true;
        const bench::Measurement m = bench::measure(
            report.options(),
            [&] { ok = in->put(value) == OpenRTM::PORT_OK && ok; }, baseline);
        bench::require(ok, stage + ": put() did not answer PORT_OK");
        report.add({stage, std::to_string(s.width) + "x" + std::to_string(s.height), m,
                    baseline.bytes()});
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bench::Options options = bench::parseOptions(
        argc, argv, "put() of a map and of a frame over loopback GIOP into another process's port");
    bench::Report report(options);
    // CDR streams need an initialised ORB (its code sets) before the first encoding.
    benchpeer::orb();
    const std::vector<Size> sizes = options.quick ? std::vector<Size>{{32, 24}}
                                                  : std::vector<Size>{{320, 240}, {640, 480}, {1280, 720}};
    putStages<QOR::TimedStereoData>(report, "put_sink_stereo", "g. put() over loopback GIOP, map",
                                    sizes, makeMap);
    putStages<QOR::TimedImageData>(report, "put_sink_image", "g. put() over loopback GIOP, frame",
                                   sizes, makeFrame);
    return 0;
}
