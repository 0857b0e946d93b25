// CDR encoding of the QOR types as the generated code produces it, and what it does with hostile
// input. Built against StereoCameraService.idl, the file the depth viewer uses.
#include <StereoCameraService.hh>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <string>

#include "CanonicalValues.h"
#include "Cdr.h"
#include "ChildProcess.h"
#include "Orb.h"

using testsupport::Bytes;
using testsupport::decode;
using testsupport::encode;

namespace {

// Largest single allocation while tracking is on: shows whether a decoder sized storage from an
// unchecked element count.
std::atomic<bool> g_track{false};
std::atomic<std::size_t> g_largest{0};

}  // namespace

void* operator new(std::size_t n) {
    if (g_track.load(std::memory_order_relaxed)) {
        std::size_t prev = g_largest.load();
        while (n > prev && !g_largest.compare_exchange_weak(prev, n)) {
        }
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

class QorWire : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testsupport::orb(); }
};

std::uint32_t u32(const Bytes& b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}

std::uint64_t bitsOf(double d) {
    std::uint64_t v;
    std::memcpy(&v, &d, 8);
    return v;
}

QOR::TimedStereoData onePointMap() {
    QOR::TimedStereoData m;
    m.tm.sec = 0x01020304u;
    m.tm.nsec = 0x05060708u;
    m.width = 1;
    m.height = 1;
    m.data.length(1);
    m.data[0].x = 1.5;
    m.data[0].y = -2.25;
    m.data[0].z = 3.0;
    return m;
}

TEST_F(QorWire, OnePointMapHasTheWorkedLayout) {
    Bytes b = encode(onePointMap());
    ASSERT_EQ(52u, b.size());
    std::fill(b.begin() + 20, b.begin() + 24, 0);  // filler octets carry no value
    const double x = 1.5, y = -2.25, z = 3.0;
    Bytes expected = {
        0x04, 0x03, 0x02, 0x01,  // 0: tm.sec, little-endian
        0x08, 0x07, 0x06, 0x05,  // 4: tm.nsec
        0x01, 0x00, 0x00, 0x00,  // 8: width
        0x01, 0x00, 0x00, 0x00,  // 12: height
        0x01, 0x00, 0x00, 0x00,  // 16: point count
        0x00, 0x00, 0x00, 0x00,  // 20: filler up to the 8-aligned double
    };
    for (double d : {x, y, z}) {  // 24: x, 32: y, 40: z, IEEE 754 little-endian
        const std::uint64_t v = bitsOf(d);
        for (int i = 0; i < 8; ++i) expected.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    for (int i = 0; i < 4; ++i) expected.push_back(0x00);  // 48: dmy count 0
    EXPECT_EQ(expected, b);
}

TEST_F(QorWire, BigEndianInputDecodes) {
    Bytes b = {
        0x01, 0x02, 0x03, 0x04,  // tm.sec
        0x05, 0x06, 0x07, 0x08,  // tm.nsec
        0x00, 0x00, 0x00, 0x01,  // width
        0x00, 0x00, 0x00, 0x01,  // height
        0x00, 0x00, 0x00, 0x01,  // point count
        0x00, 0x00, 0x00, 0x00,  // filler
    };
    for (double d : {1.5, -2.25, 3.0}) {
        const std::uint64_t v = bitsOf(d);
        for (int i = 7; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    for (std::uint8_t o : {0x00, 0x00, 0x00, 0x02, 0x80, 0x00, 0x7f, 0xff})  // dmy: 2 shorts
        b.push_back(o);
    QOR::TimedStereoData m;
    decode(b, m, /*littleEndian=*/false);
    EXPECT_EQ(0x01020304u, m.tm.sec);
    EXPECT_EQ(0x05060708u, m.tm.nsec);
    EXPECT_EQ(1, m.width);
    ASSERT_EQ(1u, m.data.length());
    EXPECT_EQ(-2.25, m.data[0].y);
    EXPECT_EQ(3.0, m.data[0].z);
    ASSERT_EQ(2u, m.data[0].dmy.length());
    EXPECT_EQ(-32768, m.data[0].dmy[0]);
    EXPECT_EQ(32767, m.data[0].dmy[1]);
}

TEST_F(QorWire, EmptySequencesRoundTrip) {
    QOR::TimedImageAndStereoData v;
    v.stereo.tm.sec = v.stereo.tm.nsec = 0;
    v.stereo.width = v.stereo.height = 0;
    v.image.tm.sec = v.image.tm.nsec = 0;
    v.image.data.nChannels = v.image.data.depth = v.image.data.origin = 0;
    v.image.data.width = v.image.data.height = v.image.data.imageSize = 0;
    v.image.data.widthStep = 0;
    const Bytes b = encode(v);
    EXPECT_EQ(0u, u32(b, 16));  // point count
    QOR::TimedImageAndStereoData back;
    back.stereo.data.length(3);  // decoding must shrink what was there
    decode(b, back);
    EXPECT_EQ(0u, back.stereo.data.length());
    EXPECT_EQ(0u, back.image.data.imgData.length());
}

TEST_F(QorWire, DepthsSurviveBitForBit) {
    const double values[] = {std::numeric_limits<double>::quiet_NaN(),
                             -std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             0.0, -0.0, -1.0, 7.99, std::numeric_limits<double>::denorm_min()};
    QOR::TimedStereoData m;
    m.tm.sec = m.tm.nsec = 0;
    m.width = 3;
    m.height = 3;
    m.data.length(9);
    for (unsigned i = 0; i < 9; ++i) m.data[i].x = m.data[i].y = m.data[i].z = values[i];
    QOR::TimedStereoData back;
    decode(encode(m), back);
    ASSERT_EQ(9u, back.data.length());
    for (unsigned i = 0; i < 9; ++i) EXPECT_EQ(bitsOf(values[i]), bitsOf(back.data[i].z)) << i;
}

TEST_F(QorWire, PointsKeepTheirRowMajorOrder) {
    QOR::TimedStereoData m;
    m.tm.sec = m.tm.nsec = 0;
    m.width = 3;
    m.height = 2;
    m.data.length(6);
    for (unsigned i = 0; i < 6; ++i) m.data[i].x = m.data[i].y = m.data[i].z = i;
    QOR::TimedStereoData back;
    decode(encode(m), back);
    ASSERT_EQ(6u, back.data.length());
    for (unsigned i = 0; i < 6; ++i) EXPECT_EQ(double(i), back.data[i].z);
    EXPECT_EQ(4.0, back.data[1 * 3 + 1].z);  // row 1, column 1
}

TEST_F(QorWire, EveryPixelByteSurvives) {
    const auto f = canonical::frame<QOR::TimedImageData>();
    const Bytes b = encode(f);
    // imgData starts after tm (8), six longs (24) and its count (4): one octet per char.
    ASSERT_EQ(256u, u32(b, 32));
    for (unsigned i = 0; i < 256; ++i) EXPECT_EQ(i, b[36 + i]) << i;
    QOR::TimedImageData back;
    decode(b, back);
    EXPECT_TRUE(canonical::sameFrame(f, back));
}

class HostileCounts : public QorWire {
protected:
    template <class T>
    void expectMarshalWithoutLargeAllocation(const Bytes& b) {
        T v;
        g_largest = 0;
        g_track = true;
        EXPECT_THROW(decode(b, v), CORBA::MARSHAL);
        g_track = false;
        EXPECT_LT(g_largest.load(), 4096u);
    }
};

TEST_F(HostileCounts, PointCountPastTheEnd) {
    Bytes b = encode(onePointMap());
    b.resize(100, 0);
    const std::uint32_t huge = 0xfffffff0u;
    std::memcpy(&b[16], &huge, 4);
    expectMarshalWithoutLargeAllocation<QOR::TimedStereoData>(b);
}

TEST_F(HostileCounts, PixelCountPastTheEnd) {
    Bytes b = encode(canonical::frame<QOR::TimedImageData>());
    b.resize(100);
    const std::uint32_t huge = 0xffffffffu;
    std::memcpy(&b[32], &huge, 4);
    expectMarshalWithoutLargeAllocation<QOR::TimedImageData>(b);
}

TEST_F(HostileCounts, DmyCountPastTheEnd) {
    Bytes b = encode(onePointMap());
    const std::uint32_t huge = 0x7fffffffu;
    std::memcpy(&b[48], &huge, 4);
    expectMarshalWithoutLargeAllocation<QOR::TimedStereoData>(b);
}

TEST_F(HostileCounts, TruncatedValue) {
    Bytes b = encode(onePointMap());
    b.resize(30);
    expectMarshalWithoutLargeAllocation<QOR::TimedStereoData>(b);
}

void expectStruct(CORBA::TypeCode_ptr tc, const char* id, const char* name,
                  std::initializer_list<const char*> members) {
    SCOPED_TRACE(name);
    EXPECT_EQ(CORBA::tk_struct, tc->kind());
    EXPECT_STREQ(id, tc->id());
    EXPECT_STREQ(name, tc->name());
    ASSERT_EQ(members.size(), tc->member_count());
    CORBA::ULong i = 0;
    for (const char* m : members) EXPECT_STREQ(m, tc->member_name(i++));
}

TEST_F(QorWire, TypeCodesCarryTheDeclaredNames) {
    expectStruct(QOR::_tc_ImageData, "IDL:QOR/ImageData:1.0", "ImageData",
                 {"nChannels", "depth", "origin", "width", "height", "imageSize", "imgData",
                  "widthStep"});
    expectStruct(QOR::_tc_TimedImageData, "IDL:QOR/TimedImageData:1.0", "TimedImageData",
                 {"tm", "data"});
    expectStruct(QOR::_tc_StereoData, "IDL:QOR/StereoData:1.0", "StereoData",
                 {"x", "y", "z", "dmy"});
    expectStruct(QOR::_tc_TimedStereoData, "IDL:QOR/TimedStereoData:1.0", "TimedStereoData",
                 {"tm", "width", "height", "data"});
    expectStruct(QOR::_tc_TimedImageAndStereoData, "IDL:QOR/TimedImageAndStereoData:1.0",
                 "TimedImageAndStereoData", {"stereo", "image"});
    CORBA::TypeCode_var time = QOR::_tc_TimedStereoData->member_type(0);
    expectStruct(time, "IDL:RTC/Time:1.0", "Time", {"sec", "nsec"});

    // The three sequences are anonymous and unbounded.
    CORBA::TypeCode_var pixels = QOR::_tc_ImageData->member_type(6);
    CORBA::TypeCode_var dmy = QOR::_tc_StereoData->member_type(3);
    CORBA::TypeCode_var points = QOR::_tc_TimedStereoData->member_type(3);
    for (CORBA::TypeCode_ptr seq : {pixels.in(), dmy.in(), points.in()}) {
        EXPECT_EQ(CORBA::tk_sequence, seq->kind());
        EXPECT_EQ(0u, seq->length());
    }
    CORBA::TypeCode_var pixel = pixels->content_type();
    CORBA::TypeCode_var dummy = dmy->content_type();
    EXPECT_EQ(CORBA::tk_char, pixel->kind());
    EXPECT_EQ(CORBA::tk_short, dummy->kind());

    EXPECT_EQ(CORBA::tk_objref, QOR::_tc_StereoCameraService->kind());
    EXPECT_STREQ("IDL:QOR/StereoCameraService:1.0", QOR::_tc_StereoCameraService->id());
    EXPECT_STREQ("StereoCameraService", QOR::_tc_StereoCameraService->name());
}

TEST_F(QorWire, AnyNamesTheTypeAndRefusesAnother) {
    CORBA::Any any;
    any <<= QOR::TimedStereoData();
    CORBA::TypeCode_var tc = any.type();
    EXPECT_STREQ("TimedStereoData", tc->name());

    const QOR::TimedStereoData* map = nullptr;
    EXPECT_TRUE(any >>= map);
    const QOR::TimedImageData* frame = nullptr;
    EXPECT_FALSE(any >>= frame);
    EXPECT_EQ(nullptr, frame);
}

// The ImageData types from the two IDL files meet only on the wire: a peer built from
// ImageData.idl checks our bytes, and we check its bytes.
TEST_F(QorWire, ImageDataFileAgreesOnTheWire) {
    const std::string peer = testsupport::executableDir() + "/imagedata_peer";
    char dir[] = "/tmp/qor-wire-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir));
    const std::string ours = std::string(dir) + "/ours.cdr";
    const std::string theirs = std::string(dir) + "/theirs.cdr";

    const Bytes b = encode(canonical::frame<QOR::TimedImageData>());
    std::ofstream(ours, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    testsupport::ChildProcess check({peer, "check", ours});
    ASSERT_TRUE(check.wait(std::chrono::seconds(20)));
    EXPECT_TRUE(WIFEXITED(check.status()) && WEXITSTATUS(check.status()) == 0);

    testsupport::ChildProcess make({peer, "encode", theirs});
    ASSERT_TRUE(make.wait(std::chrono::seconds(20)));
    ASSERT_TRUE(WIFEXITED(make.status()) && WEXITSTATUS(make.status()) == 0);
    std::ifstream in(theirs, std::ios::binary);
    const Bytes got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(b, got);
    QOR::TimedImageData back;
    decode(got, back);
    EXPECT_TRUE(canonical::sameFrame(canonical::frame<QOR::TimedImageData>(), back));
    std::remove(ours.c_str());
    std::remove(theirs.c_str());
    ::rmdir(dir);
}

}  // namespace
