#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <StereoCameraService.hh>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "CanonicalValues.h"
#include "Cdr.h"
#include "DepthImage.h"
#include "FrameImage.h"
#include "Orb.h"
#include "RecordedType.h"
#include "RecordingExport.h"
#include "RecordingReader.h"
#include "RecordingWriter.h"

namespace {

using recording::RecordedPort;
using recording::RecordingReader;
using recording::RecordingWriter;
using Bytes = testsupport::Bytes;

class Recording : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::orb();
        char dir[] = "/tmp/recording_test.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        m_path = m_dir + "/r.qrec";
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    Bytes fileBytes() const {
        std::ifstream in(m_path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void setFileBytes(const Bytes& bytes) const {
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    std::string m_dir;
    std::string m_path;
};

const std::vector<RecordedPort> kPorts = {{"Camera0:stereo", "TimedStereoData"},
                                          {"Camera0:image", "IDL:QOR/TimedImageData:1.0"}};

QOR::TimedStereoData makeMap(int width, int height, const std::vector<double>& z) {
    QOR::TimedStereoData map;
    map.tm.sec = 1700000001u;
    map.tm.nsec = 5u;
    map.width = width;
    map.height = height;
    map.data.length(static_cast<CORBA::ULong>(z.size()));
    for (CORBA::ULong i = 0; i < z.size(); ++i) {
        map.data[i].x = i;
        map.data[i].y = -1.0 * i;
        map.data[i].z = z[i];
    }
    return map;
}

template <class T>
Bytes encodeIn(const T& value, bool littleEndian) {
    cdrMemoryStream s;
    s.setByteSwapFlag(littleEndian);
    value >>= s;
    const auto* p = static_cast<const std::uint8_t*>(s.bufPtr());
    return Bytes(p, p + s.bufSize());
}

// Three values of each port in both byte orders, the way a recorder gets them.
struct Sent {
    std::vector<Bytes> cdr;
    std::vector<bool> little;
    std::vector<std::size_t> port;
};

Sent recordSome(const std::string& path) {
    Sent sent;
    RecordingWriter w(path, kPorts, 0, 42);
    for (int i = 0; i < 6; ++i) {
        const bool little = i % 2 == 0;
        const std::size_t port = static_cast<std::size_t>(i % 3 == 2);
        const Bytes cdr = port == 0 ? encodeIn(makeMap(3, 2, {1, 2, 3, 4, 5, 6.5 + i}), little)
                                    : encodeIn(canonical::frame<QOR::TimedImageData>(), little);
        EXPECT_EQ(w.append(port, cdr.data(), cdr.size(), little, 1000000000ull * i + 7),
                  RecordingWriter::Result::Written);
        sent.cdr.push_back(cdr);
        sent.little.push_back(little);
        sent.port.push_back(port);
    }
    w.close();
    EXPECT_EQ(w.endReason(), "");
    return sent;
}

// The values read back are the values sent, octet for octet, and decode to what was encoded.
void expectReadsBack(const RecordingReader& r, const Sent& sent, std::size_t count) {
    ASSERT_EQ(r.values().size(), count);
    std::vector<unsigned char> cdr;
    for (std::size_t i = 0; i < count; ++i) {
        const recording::RecordedValue& v = r.values()[i];
        EXPECT_EQ(v.port, sent.port[i]);
        EXPECT_EQ(v.littleEndian, sent.little[i]);
        EXPECT_EQ(v.arrivalNs, 1000000000ull * i + 7);
        ASSERT_TRUE(r.read(v, cdr));
        EXPECT_EQ(Bytes(cdr.begin(), cdr.end()), sent.cdr[i]) << "value " << i;
        if (v.port == 1) {
            QOR::TimedImageData f;
            ASSERT_TRUE(recording::decodeRecorded(cdr, v.littleEndian, f));
            EXPECT_TRUE(canonical::sameFrame(f, canonical::frame<QOR::TimedImageData>()));
        } else {
            QOR::TimedStereoData m;
            ASSERT_TRUE(recording::decodeRecorded(cdr, v.littleEndian, m));
            EXPECT_EQ(m.data.length(), 6u);
            EXPECT_EQ(m.data[5].z, 6.5 + i);
        }
    }
}

TEST_F(Recording, ValuesComeBackAsSentInBothByteOrders) {
    const Sent sent = recordSome(m_path);
    const RecordingReader r(m_path);
    EXPECT_EQ(r.problem(), "");
    EXPECT_EQ(r.version(), 1);
    EXPECT_EQ(r.createdNs(), 42u);
    ASSERT_EQ(r.ports().size(), 2u);
    EXPECT_EQ(r.ports()[1].name, "Camera0:image");
    EXPECT_EQ(r.ports()[1].type, "IDL:QOR/TimedImageData:1.0");
    expectReadsBack(r, sent, 6);
}

// A crash or a full disk can end the file anywhere: every cut leaves the whole values before it.
TEST_F(Recording, FileCutAnywhereReadsUpToItsLastWholeValue) {
    const Sent sent = recordSome(m_path);
    const Bytes whole = fileBytes();
    std::vector<std::size_t> ends;
    {
        const RecordingReader r(m_path);
        for (const auto& v : r.values()) ends.push_back(v.offset + 24 + v.length);
        ASSERT_EQ(ends.size(), 6u);
    }
    const std::size_t headerEnd = RecordingReader(m_path).values()[0].offset;
    for (std::size_t size = 0; size < whole.size(); ++size) {
        setFileBytes(Bytes(whole.begin(), whole.begin() + size));
        if (size < headerEnd) {
            EXPECT_THROW(RecordingReader r(m_path), recording::RecordingError) << size;
            continue;
        }
        const RecordingReader r(m_path);
        std::size_t expected = 0;
        while (expected < ends.size() && ends[expected] <= size) ++expected;
        EXPECT_NE(r.problem().find("no index"), std::string::npos) << size << ": " << r.problem();
        expectReadsBack(r, sent, expected);
    }
}

TEST_F(Recording, ForeignNewerAndDamagedFilesSayWhatIsWrong) {
    auto message = [&](const Bytes& bytes) {
        setFileBytes(bytes);
        try {
            RecordingReader r(m_path);
        } catch (const recording::RecordingError& e) {
            return std::string(e.what());
        }
        return std::string("opened");
    };
    EXPECT_NE(message(Bytes{'h', 'e', 'l', 'l', 'o', '\n', 0, 0, 0, 0}).find("is not a recording"),
              std::string::npos);
    EXPECT_NE(message(Bytes()).find("is not a recording"), std::string::npos);
    ::unlink(m_path.c_str());
    recordSome(m_path);
    const Bytes whole = fileBytes();
    Bytes newer = whole;
    newer[8] = 2;
    EXPECT_NE(message(newer).find("format version 2, newer than this reader's 1"),
              std::string::npos);
    Bytes header = whole;
    header[30] ^= 0x40;  // inside the first port's name
    EXPECT_NE(message(header).find("header of"), std::string::npos);
}

TEST_F(Recording, DamagedIndexOrRecordFallsBackToScanning) {
    const Sent sent = recordSome(m_path);
    const Bytes whole = fileBytes();
    Bytes index = whole;
    index[whole.size() - 24 - 8 - 30] ^= 1;  // in the last index entry
    setFileBytes(index);
    {
        const RecordingReader r(m_path);
        EXPECT_NE(r.problem().find("the index of " + m_path + " is damaged"), std::string::npos)
            << r.problem();
        expectReadsBack(r, sent, 6);
    }
    // A damaged record head stops the scan there; what came before stays readable.
    std::uint64_t third = 0;
    {
        const RecordingReader r(m_path);
        third = r.values()[2].offset;
    }
    Bytes record = whole;
    record[third + 9] ^= 1;
    record.resize(record.size() - 1);  // and no trailer
    setFileBytes(record);
    const RecordingReader r(m_path);
    EXPECT_NE(r.problem().find("the record at offset " + std::to_string(third) + " is damaged"),
              std::string::npos)
        << r.problem();
    expectReadsBack(r, sent, 2);
}

TEST_F(Recording, SizeLimitAndFullDiskEndTheFileWhole) {
    const Bytes cdr(1000, 7);
    {
        RecordingWriter w(m_path, kPorts, 4096);
        int written = 0;
        while (w.append(0, cdr.data(), cdr.size(), true, 1) == RecordingWriter::Result::Written)
            ++written;
        EXPECT_EQ(written, 3);
        EXPECT_NE(w.endReason().find("size limit of 4096 bytes"), std::string::npos);
        EXPECT_EQ(w.append(1, cdr.data(), 1, true, 1), RecordingWriter::Result::Ended);
    }
    EXPECT_LE(fileBytes().size(), 4096u);
    EXPECT_EQ(RecordingReader(m_path).problem(), "");
    EXPECT_EQ(RecordingReader(m_path).values().size(), 3u);

    // A file size limit fails writes as a full disk does.
    ::unlink(m_path.c_str());
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 3500;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string reason;
    {
        RecordingWriter w(m_path, kPorts);
        while (w.append(0, cdr.data(), cdr.size(), true, 1) == RecordingWriter::Result::Written) {
        }
        w.close();
        reason = w.endReason();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(reason, "");
    const RecordingReader r(m_path);
    EXPECT_EQ(r.values().size(), 3u) << r.problem();
    std::vector<unsigned char> back;
    for (const auto& v : r.values()) {
        ASSERT_TRUE(r.read(v, back));
        EXPECT_EQ(Bytes(back.begin(), back.end()), cdr);
    }
}

cv::Mat readNpy(const std::string& path, int type) {
    std::ifstream in(path, std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 10 || std::memcmp(bytes.data(), "\x93NUMPY\x01\x00", 8) != 0) return {};
    const std::size_t headerLength = bytes[8] | (bytes[9] << 8);
    const std::string header(bytes.begin() + 10, bytes.begin() + 10 + headerLength);
    int rows = 0, cols = 0;
    if (std::sscanf(header.c_str() + header.find("'shape': ("), "'shape': (%d, %d", &rows, &cols) !=
            2 ||
        (10 + headerLength) % 64 != 0 || header.back() != '\n')
        return {};
    cv::Mat m(rows, cols, type);
    if (bytes.size() != 10 + headerLength + m.total() * m.elemSize()) return {};
    std::memcpy(m.data, bytes.data() + 10 + headerLength, m.total() * m.elemSize());
    return m;
}

// The exported pictures are the viewers' own pixels; the z plane holds every depth.
TEST_F(Recording, ExportWritesTheViewersPixelsAndTheDepths) {
    const double nan = std::nan("");
    // One point short of 3x2; depths without colour and at both ends of the scale.
    const QOR::TimedStereoData map = makeMap(3, 2, {0.5, 0.0, -1.0, nan, 8.0});
    const QOR::TimedImageData frame = canonical::frame<QOR::TimedImageData>();
    {
        RecordingWriter w(m_path, kPorts);
        const Bytes m = encodeIn(map, false);
        const Bytes f = encodeIn(frame, true);
        const Bytes bad(m.begin(), m.begin() + 40);
        w.append(0, m.data(), m.size(), false, 1000000000);
        w.append(1, f.data(), f.size(), true, 1500000000);
        w.append(0, bad.data(), bad.size(), true, 2000000000);
        w.append(0, m.data(), m.size(), false, 3000000000u);
    }
    const RecordingReader r(m_path);
    std::ostringstream notes;
    recording::ExportOptions options;
    options.to = 1.5;
    recording::ExportCounts c = recording::exportRecording(r, m_dir, options, notes);
    EXPECT_EQ(c.depthMaps, 1u);
    EXPECT_EQ(c.frames, 1u);

    cv::Mat expected;
    ASSERT_TRUE(buildFrameImage(frame.data, expected));
    const cv::Mat png = cv::imread(m_dir + "/Camera0_image-000000.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(png.type(), expected.type());
    EXPECT_EQ(cv::norm(png, expected, cv::NORM_INF), 0);

    convertToDepthImage(map, expected);
    const cv::Mat colours = cv::imread(m_dir + "/Camera0_stereo-000000.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(colours.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(colours, expected, cv::NORM_INF), 0);

    const cv::Mat z = readNpy(m_dir + "/Camera0_stereo-000000.npy", CV_32FC1);
    ASSERT_EQ(z.size(), cv::Size(3, 2));
    const float want[] = {0.5f, 0.0f, -1.0f, NAN, 8.0f, NAN};
    for (int i = 0; i < 6; ++i) {
        const float got = z.at<float>(i / 3, i % 3);
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(got)) << i;
        else
            EXPECT_EQ(got, want[i]) << i;
    }
    std::ifstream json(m_dir + "/Camera0_stereo-000000.json");
    const std::string text((std::istreambuf_iterator<char>(json)),
                           std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"port\": \"Camera0:stereo\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"tm\": {\"sec\": 1700000001, \"nsec\": 5}"), std::string::npos) << text;

    // The undecodable value is skipped and counted; the choices pick by port, time and count.
    options = recording::ExportOptions();
    options.port = "stereo";
    options.tiff = true;
    c = recording::exportRecording(r, m_dir, options, notes);
    EXPECT_EQ(c.undecodable, 1u);
    EXPECT_EQ(c.depthMaps, 2u);
    EXPECT_EQ(c.frames, 0u);
    const cv::Mat tiff = cv::imread(m_dir + "/Camera0_stereo-000002.tiff", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(tiff.type(), CV_32FC1);
    EXPECT_EQ(tiff.at<float>(1, 1), 8.0f);
    options.every = 2;
    c = recording::exportRecording(r, m_dir, options, notes);
    EXPECT_EQ(c.depthMaps + c.undecodable, 2u);
}

}  // namespace
