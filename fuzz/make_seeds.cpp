// Writes the seed corpora of the fuzz targets: real CDR encodings, in both byte orders, of the maps
// and frames the unit tests use, and the same values in the input form of the targets that build
// values directly, and connection requests that a peer would send (and a few it should not) for
// the connector-profile target. Usage: make_seeds <directory>; it gets one subdirectory per target.
//
// Built against StereoCameraService.idl alone: its ImageData and TimedImageData encode exactly as
// ImageData.idl's, so its frames seed the image viewer's port as well.
#include <StereoCameraService.hh>

#include "Cases.h"
#include "ProfileCase.h"
#include "RecordingWriter.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "make_seeds: %s\n", what.c_str());
    std::exit(1);
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) die("cannot write " + path.string());
}

bool same(const QOR::TimedStereoData& a, const QOR::TimedStereoData& b) {
    if (a.tm.sec != b.tm.sec || a.tm.nsec != b.tm.nsec || a.width != b.width || a.height != b.height ||
        a.data.length() != b.data.length())
        return false;
    for (CORBA::ULong i = 0; i < a.data.length(); ++i) {
        const QOR::StereoData &p = a.data[i], &q = b.data[i];
        // Bit for bit, so that NaNs compare too.
        if (std::memcmp(&p.x, &q.x, sizeof p.x) != 0 || std::memcmp(&p.y, &q.y, sizeof p.y) != 0 ||
            std::memcmp(&p.z, &q.z, sizeof p.z) != 0 || p.dmy.length() != q.dmy.length())
            return false;
        for (CORBA::ULong k = 0; k < p.dmy.length(); ++k)
            if (p.dmy[k] != q.dmy[k]) return false;
    }
    return true;
}

bool same(const QOR::TimedImageData& a, const QOR::TimedImageData& b) {
    const QOR::ImageData &f = a.data, &g = b.data;
    if (a.tm.sec != b.tm.sec || a.tm.nsec != b.tm.nsec || f.nChannels != g.nChannels ||
        f.depth != g.depth || f.origin != g.origin || f.width != g.width || f.height != g.height ||
        f.imageSize != g.imageSize || f.widthStep != g.widthStep ||
        f.imgData.length() != g.imgData.length())
        return false;
    return f.imgData.length() == 0 ||
           std::memcmp(f.imgData.get_buffer(), g.imgData.get_buffer(), f.imgData.length()) == 0;
}

// The port targets' input: the byte-order byte, then the encoding in that order.
template <class T>
Bytes portInput(const T& value, bool littleEndian) {
    // Sized and cleared up front, so that filler octets are zero and the seeds reproducible.
    cdrMemoryStream s(64 * 1024, true);
    s.setByteSwapFlag(littleEndian);
    value >>= s;
    const auto* p = static_cast<const std::uint8_t*>(s.bufPtr());
    Bytes out{static_cast<std::uint8_t>(littleEndian ? 1 : 0)};
    out.insert(out.end(), p, p + s.bufSize());

    // The seed must decode to what was encoded, or it seeds nothing but the error path.
    Bytes body(out.begin() + 1, out.end());  // the stream counts alignment from its start
    cdrMemoryStream in(body.data(), body.size());
    in.setByteSwapFlag(littleEndian);
    T back;
    back <<= in;
    if (!same(value, back)) die("an encoding does not decode to its value");
    return out;
}

// The shared-memory target's input: flags (the byte order only), a zero size offset and cut, the
// length header in that order, then the encoding.
Bytes segmentInput(const QOR::TimedStereoData& value, bool littleEndian) {
    const Bytes port = portInput(value, littleEndian);
    const unsigned long long n = port.size() - 1;
    Bytes out{static_cast<std::uint8_t>(littleEndian ? 1 : 0), 0, 0, 0, 0};
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<std::uint8_t>(n >> (8 * (littleEndian ? i : 7 - i))));
    out.insert(out.end(), port.begin() + 1, port.end());
    return out;
}

// A one-point map whose point announces 2^31 dmy elements: twice that in octets wraps to 0 in a
// 32-bit product, which is how a sequence check that multiplies in 32 bits lets it through.
Bytes wrappingDmyCount(bool littleEndian) {
    QOR::TimedStereoData v;
    v.tm.sec = v.tm.nsec = 0;
    v.width = v.height = 1;
    v.data.length(1);
    v.data[0].x = v.data[0].y = v.data[0].z = 1.0;
    Bytes b = portInput(v, littleEndian);
    const std::uint8_t count[4] = {0x00, 0x00, 0x00, 0x80};  // 0x80000000, little-endian
    for (int i = 0; i < 4; ++i) b[1 + 48 + i] = count[littleEndian ? i : 3 - i];
    return b;
}

struct Map {
    const char* name;
    CORBA::Long width, height;
    std::vector<double> z;
    std::vector<CORBA::Short> dmy;  // given to every point
};

struct Frame {
    const char* name;
    CORBA::Long width, height, depth, nChannels, imageSize, widthStep, origin;
    Bytes imgData;
};

QOR::TimedStereoData stereoOf(const Map& m) {
    QOR::TimedStereoData v;
    v.tm.sec = 0x01020304u;
    v.tm.nsec = 0x05060708u;
    v.width = m.width;
    v.height = m.height;
    v.data.length(static_cast<CORBA::ULong>(m.z.size()));
    for (CORBA::ULong i = 0; i < m.z.size(); ++i) {
        v.data[i].x = 1.5;
        v.data[i].y = -2.25;
        v.data[i].z = m.z[i];
        v.data[i].dmy.length(static_cast<CORBA::ULong>(m.dmy.size()));
        for (CORBA::ULong k = 0; k < m.dmy.size(); ++k) v.data[i].dmy[k] = m.dmy[k];
    }
    return v;
}

QOR::TimedImageData imageOf(const Frame& f) {
    QOR::TimedImageData v;
    v.tm.sec = 1700000000u;
    v.tm.nsec = 999999999u;
    v.data.nChannels = f.nChannels;
    v.data.depth = f.depth;
    v.data.origin = f.origin;
    v.data.width = f.width;
    v.data.height = f.height;
    v.data.imageSize = f.imageSize;
    v.data.widthStep = f.widthStep;
    v.data.imgData.length(static_cast<CORBA::ULong>(f.imgData.size()));
    for (CORBA::ULong i = 0; i < f.imgData.size(); ++i) v.data.imgData[i] = static_cast<char>(f.imgData[i]);
    return v;
}

Bytes depthInput(const Map& m) {
    cases::DepthCase c;
    c.width = m.width;
    c.height = m.height;
    c.points = static_cast<std::uint32_t>(m.z.size());
    c.z = m.z;
    const Bytes bytes = cases::writeDepthCase(c, false);
    FuzzedDataProvider in(bytes.data(), bytes.size());
    const cases::DepthCase back = cases::readDepthCase(in);
    if (back.width != c.width || back.height != c.height || back.points != c.points ||
        back.z.size() != c.z.size() || std::memcmp(back.z.data(), c.z.data(), c.z.size() * sizeof(double)) != 0)
        die(std::string("depth input of ") + m.name + " does not read back");
    return bytes;
}

Bytes frameInput(const Frame& f) {
    cases::FrameCase c;
    c.width = f.width;
    c.height = f.height;
    c.depth = f.depth;
    c.nChannels = f.nChannels;
    c.imageSize = f.imageSize;
    c.origin = f.origin;
    c.widthStep = f.widthStep;
    c.imgData = f.imgData;
    const Bytes bytes = cases::writeFrameCase(c);
    FuzzedDataProvider in(bytes.data(), bytes.size());
    const cases::FrameCase back = cases::readFrameCase(in);
    if (back.width != c.width || back.height != c.height || back.depth != c.depth ||
        back.nChannels != c.nChannels || back.imageSize != c.imageSize || back.origin != c.origin ||
        back.widthStep != c.widthStep || back.imgData != c.imgData)
        die(std::string("frame input of ") + f.name + " does not read back");
    return bytes;
}

Bytes counting(std::size_t n, unsigned first) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

std::vector<Map> maps() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> fourByTwo(8, 0.0);
    fourByTwo[5] = 1.0;
    std::vector<double> eightByFour(32);
    for (std::size_t i = 0; i < eightByFour.size(); ++i) eightByFour[i] = static_cast<double>(i);
    return {
        {"one_point", 1, 1, {3.0}, {}},
        {"one_point_dmy", 1, 1, {3.0}, {-32768, 32767}},
        {"map_4x2", 4, 2, fourByTwo, {}},
        {"map_3x2", 3, 2, {0.01, 1.0, 4.0, 7.99, 8.0, -1.0}, {}},
        {"map_8x4", 8, 4, eightByFour, {}},
        {"empty", 0, 0, {}, {}},
        {"odd_depths", 3, 3, {nan, -nan, inf, -inf, 0.0, -0.0, -1.0, 7.99,
                              std::numeric_limits<double>::denorm_min()}, {}},
        {"more_points_than_pixels", 2, 2, std::vector<double>(7, 1.0), {}},
        {"fewer_points_than_pixels", 3, 3, {1.0, 1.0, 1.0, 1.0}, {}},
        {"negative_width", -4, 2, {1.0, 2.0}, {}},
        {"side_too_long", 16385, 1, {1.0, 2.0}, {}},
        {"too_many_pixels", 16384, 4097, {1.0, 2.0}, {}},
        {"widest", 16384, 1, {1.0, 2.0}, {}},
    };
}

std::vector<Frame> frames() {
    return {
        {"frame_4x2", 4, 2, 8, 3, 24, 12, 0, counting(24, 1)},
        {"frame_5x2_padded", 5, 2, 8, 3, 32, 16, 1, counting(32, 1)},
        {"frame_all_bytes", 5, 2, 8, 3, 256, 16, 1, counting(256, 0)},
        {"empty", 0, 0, 0, 0, 0, 0, 0, {}},
        {"size_beyond_data", 5, 2, 8, 3, 100, 16, 0, counting(10, 1)},
        {"data_beyond_image", 5, 2, 8, 3, 40, 16, 0, counting(40, 1)},
        {"negative_size", 5, 2, 8, 3, -5, 16, 0, counting(32, 1)},
        {"s8_1ch", 5, 3, static_cast<CORBA::Long>(0x80000008u), 1, 1000, 8, 0, counting(1000, 1)},
        {"u16_2ch", 5, 3, 16, 2, 1000, 20, 0, counting(1000, 1)},
        {"s16_3ch", 5, 3, static_cast<CORBA::Long>(0x80000010u), 3, 1000, 32, 0, counting(1000, 1)},
        {"s32_4ch", 5, 3, static_cast<CORBA::Long>(0x80000020u), 4, 1000, 80, 0, counting(1000, 1)},
        {"f32_1ch", 5, 3, 32, 1, 1000, 20, 0, counting(1000, 1)},
        {"f64_4ch", 5, 3, 64, 4, 1000, 160, 0, counting(1000, 1)},
        {"unknown_depth", 4, 2, 12, 3, 24, 12, 0, counting(24, 1)},
        {"five_channels", 4, 2, 8, 5, 24, 20, 0, counting(24, 1)},
        {"too_many_bytes", 8192, 8192, 64, 1, 24, 65536, 0, counting(24, 1)},
    };
}


// Connection requests for fuzz_connector_profile, in its input form.
namespace pc = profilecase;

int keyIndex(const char* key) {
    for (int i = 0; i < pc::kKeyCount; ++i)
        if (std::strcmp(pc::kKnownKeys[i], key) == 0) return i;
    die(std::string("no known key ") + key);
}

pc::Property text(const char* key, const char* value) {
    pc::Property p;
    p.keyIndex = keyIndex(key);
    for (int i = 0; i < pc::kValueCount; ++i)
        if (std::strcmp(pc::kKnownValues[i], value) == 0) p.value.index = i;
    if (std::strcmp(pc::kKnownValues[p.value.index], value) != 0)
        die(std::string("no known value ") + value);
    return p;
}

pc::Property typed(const char* key, pc::Value value) {
    pc::Property p;
    p.keyIndex = keyIndex(key);
    p.value = value;
    return p;
}

pc::Value ofKind(int kind) {
    pc::Value v;
    v.kind = kind;
    return v;
}

// What a port of the other implementation sends: the facts both sides agree on.
std::vector<pc::Property> agreed(const char* endian) {
    return {text("dataport.interface_type", "corba_cdr"), text("dataport.dataflow_type", "push"),
            text("dataport.subscription_type", "flush"),
            text("dataport.data_type", "IDL:QOR/TimedStereoData:1.0"),
            text("dataport.serializer.cdr.endian", endian)};
}

pc::PortEntry entry(int ref) {
    pc::PortEntry e;
    e.ref = ref;
    return e;
}

pc::Call call(bool outPort, bool connect, std::vector<int> ports, std::vector<pc::Property> properties) {
    pc::Call c;
    c.outPort = outPort;
    c.connect = connect;
    c.name = "seed";
    // notify_connect refuses an empty id; connect makes one up.
    static int made = 0;
    if (!connect) {
        c.idMode = pc::kGivenId;
        c.id = "seed" + std::to_string(made++);
    }
    for (int r : ports) c.ports.push_back(entry(r));
    c.properties = std::move(properties);
    return c;
}

std::vector<std::pair<const char*, pc::Case>> profileCases() {
    std::vector<std::pair<const char*, pc::Case>> out;
    auto add = [&](const char* name, std::vector<pc::Call> calls, bool write) {
        pc::Case c;
        c.calls = std::move(calls);
        c.write = write;
        out.emplace_back(name, c);
    };
    add("input_first", {call(false, false, {pc::kInPort, pc::kOutPort}, agreed("little"))}, true);
    {
        std::vector<pc::Property> p = agreed("big,little");
        p.push_back(text("dataport.buffer.length", "1"));
        p.push_back(text("dataport.buffer.write.full_policy", "overwrite"));
        add("output_connects", {call(true, true, {pc::kOutPort, pc::kInPort}, p)}, true);
    }
    {
        pc::Call first = call(false, true, {pc::kInPort, pc::kOutPort}, agreed("big"));
        first.idMode = pc::kGivenId;
        first.id = "conn0";
        pc::Call again = call(true, false, {pc::kInPort, pc::kOutPort}, agreed("big"));
        again.idMode = pc::kEarlierId;
        add("same_id_twice", {first, again}, false);
    }
    {
        // The output side alone, pointed at the consumer the input side published first.
        pc::Value consumer = ofKind(pc::kOwnIor);
        consumer.ref = pc::kConsumer;
        std::vector<pc::Property> p = agreed("little");
        p.push_back(typed("dataport.corba_cdr.inport_ior", consumer));
        add("output_to_published_consumer",
            {call(false, false, {pc::kInPort}, agreed("little")), call(true, false, {pc::kOutPort}, p)},
            true);
    }
    {
        pc::Value cut = ofKind(pc::kGarbageIor);
        cut.garbage.form = pc::kTruncated;
        cut.garbage.cut = 40;
        std::vector<pc::Property> p = agreed("little");
        p.push_back(typed("dataport.corba_cdr.inport_ior", cut));
        pc::Call c = call(true, true, {pc::kOutPort}, p);
        pc::Call d = call(true, true, {pc::kOutPort, pc::kNil}, agreed("little"));
        pc::PortEntry spoiled;
        spoiled.ref = pc::kGarbage;
        spoiled.garbage.form = pc::kBadDigit;
        spoiled.garbage.cut = 7;
        d.ports.insert(d.ports.begin(), spoiled);
        add("spoiled_references", {c, d}, true);
    }
    {
        pc::Value number = ofKind(pc::kLong);
        number.number = 8;
        pc::Value octets = ofKind(pc::kOctets);
        octets.text = "little";
        std::vector<pc::Property> p = {typed("dataport.data_type", number),
                                       typed("dataport.corba_cdr.inport_ref", ofKind(pc::kNilObject)),
                                       typed("dataport.serializer.cdr.endian", octets),
                                       typed("dataport.buffer.length", number)};
        add("values_not_strings", {call(false, false, {pc::kInPort, pc::kOutPort}, p)}, true);
    }
    {
        std::vector<pc::Property> p = agreed("little");
        p.push_back(text("dataport.buffer.length", "99999999999999999999"));
        p.push_back(text("dataport.buffer.length", "8"));
        p.push_back(text("dataport.buffer.write.full_policy", "block"));
        add("absurd_buffer_length", {call(false, true, {pc::kInPort, pc::kOutPort}, p)}, true);
    }
    {
        // A component and a consumer listed as ports; the refusals the chain must undo.
        add("not_ports", {call(false, false, {pc::kInPort, pc::kComponent}, agreed("little")),
                          call(true, true, {pc::kConsumer, pc::kOutPort}, agreed("little"))},
            false);
    }
    return out;
}

Bytes encoded(const QOR::TimedStereoData& v, bool littleEndian) {
    cdrMemoryStream s;
    s.setByteSwapFlag(littleEndian);
    v >>= s;
    const auto* p = static_cast<const std::uint8_t*>(s.bufPtr());
    return Bytes(p, p + s.bufSize());
}

Bytes encoded(const QOR::TimedImageData& v, bool littleEndian) {
    cdrMemoryStream s;
    s.setByteSwapFlag(littleEndian);
    v >>= s;
    const auto* p = static_cast<const std::uint8_t*>(s.bufPtr());
    return Bytes(p, p + s.bufSize());
}

// Recordings of the test maps and frames in both byte orders: one closed with its index, and the
// same cut short inside its last value.
void writeRecordings(const fs::path& dir) {
    const fs::path whole = dir / "maps_and_frames";
    fs::remove(whole);
    {
        recording::RecordingWriter w(whole.string(), {{"Camera0:stereo", "TimedStereoData"},
                                                      {"Camera0:image", "TimedImageData"}});
        std::uint64_t at = 1700000000000000000ull;
        for (const Map& m : maps())
            for (const bool little : {true, false}) {
                const Bytes b = encoded(stereoOf(m), little);
                w.append(0, b.data(), b.size(), little, at += 33000000);
            }
        for (const Frame& f : frames())
            for (const bool little : {true, false}) {
                const Bytes b = encoded(imageOf(f), little);
                w.append(1, b.data(), b.size(), little, at += 33000000);
            }
        w.close();
        if (!w.endReason().empty()) die("cannot write " + whole.string() + ": " + w.endReason());
    }
    std::ifstream in(whole, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.resize(bytes.size() - 100);
    writeFile(dir / "cut_short", bytes);
}

Bytes profileInput(const pc::Case& c) {
    const Bytes bytes = pc::writeCase(c);
    FuzzedDataProvider in(bytes.data(), bytes.size());
    if (pc::writeCase(pc::readCase(in)) != bytes) die("a connection request does not read back");
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) die("usage: make_seeds <directory>");
    const fs::path root = argv[1];
    int orbArgc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, nullptr, "omniORB4");

    const fs::path stereoPort = root / "fuzz_stereo_port", imagePort = root / "fuzz_image_port",
                   colouring = root / "fuzz_depth_colouring", frameBuild = root / "fuzz_frame_build";
    for (const fs::path& dir : {stereoPort, imagePort, colouring, frameBuild}) fs::create_directories(dir);

    for (const Map& m : maps()) {
        const QOR::TimedStereoData v = stereoOf(m);
        writeFile(stereoPort / (std::string(m.name) + "_le"), portInput(v, true));
        writeFile(stereoPort / (std::string(m.name) + "_be"), portInput(v, false));
        writeFile(colouring / m.name, depthInput(m));
    }
    const fs::path segment = root / "fuzz_shm_segment";
    fs::create_directories(segment);
    for (const Map& m : maps()) {
        const QOR::TimedStereoData v = stereoOf(m);
        writeFile(segment / (std::string(m.name) + "_le"), segmentInput(v, true));
        writeFile(segment / (std::string(m.name) + "_be"), segmentInput(v, false));
    }
    writeFile(stereoPort / "dmy_count_wraps_le", wrappingDmyCount(true));
    writeFile(stereoPort / "dmy_count_wraps_be", wrappingDmyCount(false));
    for (const Frame& f : frames()) {
        const QOR::TimedImageData v = imageOf(f);
        writeFile(imagePort / (std::string(f.name) + "_le"), portInput(v, true));
        writeFile(imagePort / (std::string(f.name) + "_be"), portInput(v, false));
        writeFile(frameBuild / f.name, frameInput(f));
    }
    const fs::path recordings = root / "fuzz_recording_reader";
    fs::create_directories(recordings);
    writeRecordings(recordings);
    const fs::path connectorProfile = root / "fuzz_connector_profile";
    fs::create_directories(connectorProfile);
    for (const auto& named : profileCases()) writeFile(connectorProfile / named.first, profileInput(named.second));
    const fs::path management = root / "fuzz_management";
    fs::create_directories(management);
    const std::vector<std::pair<const char*, const char*>> calls = {
        {"configuration",
         "sexample.key\tvalue\nsmanager.modules.abs_path_allowed\tYES\n"
         "sFuzz.Probe.config_file\t/etc/passwd\nsexample%100000x\t1\ng\n"},
        {"modules",
         "l../x/Evil.so\tEvilInit\nl/lib/x86_64-linux-gnu/libc.so.6\tabort\n"
         "lhttp://127.0.0.1:1/x.so\t\nlProbe\t\n"},
        {"create",
         "cProbe?instance_name=p1&conf.default.gain=2\nc\nc?\ncRTC:::::\n"
         "cRTC:example.org:Fuzz:Probe:C++:1.0.0\ncNobody\ng\n"},
        {"sets",
         "vdefault\tgain\t2\nadefault2\tgain\t3\nAdefault2\nrdefault2\n"
         "vdeep\tk%100000\t1\nA__widget__\ng\n"},
        {"connector", "pdataport.%100000x\tx\npdataport.interface_type\tcorba_cdr\n"}};
    for (const auto& c : calls) {
        const std::string text = c.second;
        writeFile(management / c.first, Bytes(text.begin(), text.end()));
    }
    orb->destroy();
    return 0;
}
