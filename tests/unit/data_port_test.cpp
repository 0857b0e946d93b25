// Data ports: the input port's ring of CDR slots, decoding into the bound variable, and output
// ports handing one encoding to every connection.
#include <StereoCameraService.hh>
#include <gtest/gtest.h>
#include <rtm/InPort.h>
#include <rtm/OutPort.h>
#include <rtm/ShmSegment.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <memory>
#include <set>

#include "Cdr.h"
#include "Orb.h"

namespace {

class DataPorts : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testsupport::orb(); }
};

OpenRTM::CdrData cdrOf(const std::vector<std::uint8_t>& bytes) {
    OpenRTM::CdrData d;
    d.length(static_cast<CORBA::ULong>(bytes.size()));
    if (!bytes.empty()) std::memcpy(d.get_buffer(), bytes.data(), bytes.size());
    return d;
}

OpenRTM::CdrData marker(CORBA::Octet value) { return cdrOf({value}); }

QOR::TimedStereoData mapOf(CORBA::Long width, CORBA::Long height, unsigned seconds) {
    QOR::TimedStereoData m;
    m.tm.sec = seconds;
    m.tm.nsec = 0;
    m.width = width;
    m.height = height;
    m.data.length(static_cast<CORBA::ULong>(width * height));
    for (CORBA::ULong i = 0; i < m.data.length(); ++i) m.data[i].x = m.data[i].y = m.data[i].z = i;
    return m;
}

TEST(CdrRing, KeepsOrderAndOverwritesTheOldestWhenFull) {
    RTC::CdrRing ring(3);
    for (CORBA::Octet v = 1; v <= 5; ++v) {
        OpenRTM::CdrData d = marker(v);
        EXPECT_EQ(OpenRTM::PORT_OK, ring.put(d, true));
        EXPECT_EQ(0u, d.length()) << "the ring takes the bytes over";
    }
    EXPECT_EQ(3u, ring.unread());
    RTC::CdrSlot slot;
    for (CORBA::Octet expected : {3, 4, 5}) {
        ASSERT_TRUE(ring.take(slot));
        ASSERT_EQ(1u, slot.data.length());
        EXPECT_EQ(expected, slot.data[0]);
    }
    EXPECT_FALSE(ring.take(slot));
    const auto c = ring.counters();
    EXPECT_EQ(5u, c.stored);
    EXPECT_EQ(2u, c.overwritten);
    EXPECT_EQ(3u, c.taken);
}

TEST(CdrRing, RefusePolicyAnswersBufferFullAndKeepsTheValue) {
    RTC::CdrRing ring(2);
    ring.setFullPolicy(RTC::CdrRing::FullPolicy::Refuse);
    OpenRTM::CdrData a = marker(1), b = marker(2), c = marker(3);
    ring.put(a, true);
    ring.put(b, true);
    EXPECT_EQ(OpenRTM::BUFFER_FULL, ring.put(c, true));
    EXPECT_EQ(1u, c.length());
    RTC::CdrSlot slot;
    ASSERT_TRUE(ring.take(slot));
    EXPECT_EQ(1, slot.data[0]);
    EXPECT_EQ(1u, ring.counters().refused);
}

TEST(CdrRing, ShrinkingKeepsTheNewestUnread) {
    RTC::CdrRing ring(4);
    for (CORBA::Octet v = 1; v <= 4; ++v) {
        OpenRTM::CdrData d = marker(v);
        ring.put(d, v % 2 == 0);
    }
    ring.setCapacity(2);
    RTC::CdrSlot slot;
    ASSERT_TRUE(ring.take(slot));
    EXPECT_EQ(3, slot.data[0]);
    EXPECT_FALSE(slot.littleEndian);
    ASSERT_TRUE(ring.take(slot));
    EXPECT_EQ(4, slot.data[0]);
    EXPECT_TRUE(slot.littleEndian);
    EXPECT_FALSE(ring.take(slot));
}

TEST(CdrRing, ByteCapDropsTheOldestButKeepsOneValue) {
    RTC::CdrRing ring(8, /*maxBytes=*/10);
    for (CORBA::Octet v = 1; v <= 3; ++v) {
        OpenRTM::CdrData d = cdrOf(std::vector<std::uint8_t>(4, v));
        ring.put(d, true);
    }
    EXPECT_EQ(2u, ring.unread()) << "three values of 4 bytes do not fit in 10";
    OpenRTM::CdrData huge = cdrOf(std::vector<std::uint8_t>(100, 9));
    EXPECT_EQ(OpenRTM::PORT_OK, ring.put(huge, true));
    EXPECT_EQ(1u, ring.unread()) << "a value over the cap is stored alone";
    RTC::CdrSlot slot;
    ASSERT_TRUE(ring.take(slot));
    EXPECT_EQ(100u, slot.data.length());
    EXPECT_EQ(3u, ring.counters().overwritten);
}

TEST(CdrRing, ReaderThatKeepsUpAlternatesTwoBuffers) {
    RTC::CdrRing ring(64);
    RTC::CdrSlot slot;
    CORBA::Octet bytes[1000] = {};
    std::set<const CORBA::Octet*> buffers;
    for (int i = 0; i < 10; ++i) {
        OpenRTM::CdrData borrowed(1000, 1000, bytes, false);
        ring.put(borrowed, true);
        ASSERT_TRUE(ring.take(slot));
        buffers.insert(slot.data.get_buffer());
    }
    EXPECT_EQ(2u, buffers.size()) << "copied values reuse the ring's buffers";
}

TEST(CdrRing, ReceiverOfItsOwnBuffersGetsOneBackAlsoWhenTheReaderFallsBehind) {
    // As a shared-memory receiver does: it fills the buffer the ring handed back, if any.
    RTC::CdrRing ring(2);
    OpenRTM::CdrData mine;
    RTC::CdrSlot slot;
    for (int i = 0; i < 6; ++i) {
        if (mine.maximum() < 1000) mine = OpenRTM::CdrData();
        mine.length(1000);
        ring.put(mine, true);
        // No reader: from the third value on each overwrites the oldest, whose buffer comes back
        // instead of being freed.
        if (i >= 2) {
            EXPECT_GE(mine.maximum(), 1000u) << "value " << i;
        }
    }
    // The reader behind: its previous buffer is kept for the next put.
    ASSERT_TRUE(ring.take(slot));
    ASSERT_TRUE(ring.take(slot));
    ring.put(mine, true);
    ring.put(mine, true);
    ASSERT_TRUE(ring.take(slot));
    mine = OpenRTM::CdrData();
    mine.length(1000);
    ring.put(mine, true);
    EXPECT_GE(mine.maximum(), 1000u) << "the reader's previous buffer";
}

TEST(CdrRing, BorrowedBytesAreCopiedNotAdopted) {
    RTC::CdrRing ring(1);
    CORBA::Octet bytes[] = {9, 8, 7};
    OpenRTM::CdrData borrowed(3, 3, bytes, false);
    ring.put(borrowed, true);
    bytes[0] = 0;
    RTC::CdrSlot slot;
    ASSERT_TRUE(ring.take(slot));
    EXPECT_EQ(9, slot.data[0]);
}

TEST_F(DataPorts, AdvertisedTypeNameIsTheSimpleTypeCodeName) {
    QOR::TimedStereoData map;
    RTC::InPort<QOR::TimedStereoData> in("stereo", map);
    EXPECT_EQ("TimedStereoData", in.getProperties().getProperty("dataport.data_type"));
    EXPECT_EQ("DataInPort", in.getProperties().getProperty("port.port_type"));
    QOR::TimedImageData frame;
    RTC::OutPort<QOR::TimedImageData> out("image", frame);
    EXPECT_EQ("TimedImageData", out.getProperties().getProperty("dataport.data_type"));
    EXPECT_EQ("DataOutPort", out.getProperties().getProperty("port.port_type"));
}

TEST_F(DataPorts, ReadDecodesIntoTheBoundVariableReusingItsStorage) {
    QOR::TimedStereoData map;
    RTC::InPort<QOR::TimedStereoData> in("stereo", map);
    EXPECT_FALSE(in.isNew());
    EXPECT_FALSE(in.read());

    for (unsigned s : {1u, 2u}) {
        OpenRTM::CdrData d = cdrOf(testsupport::encode(mapOf(8, 4, s)));
        in.put(d, true);
    }
    ASSERT_TRUE(in.isNew());
    ASSERT_TRUE(in.read());
    EXPECT_EQ(1u, map.tm.sec);
    ASSERT_EQ(32u, map.data.length());
    EXPECT_EQ(31.0, map.data[31].z);
    const QOR::StereoData* storage = map.data.get_buffer();
    ASSERT_TRUE(in.read());
    EXPECT_EQ(2u, map.tm.sec);
    EXPECT_EQ(storage, map.data.get_buffer()) << "a map of the same size reuses the points";
    EXPECT_FALSE(in.isNew());
}

TEST_F(DataPorts, UndecodableValueIsDroppedAndTheNextOneRead) {
    QOR::TimedStereoData map;
    RTC::InPort<QOR::TimedStereoData> in("stereo", map);
    auto bad = testsupport::encode(mapOf(2, 2, 7));
    const std::uint32_t huge = 0xfffffff0u;
    std::memcpy(&bad[16], &huge, 4);
    OpenRTM::CdrData d1 = cdrOf(bad);
    OpenRTM::CdrData d2 = cdrOf({1, 2, 3});
    OpenRTM::CdrData d3 = cdrOf(testsupport::encode(mapOf(2, 2, 9)));
    in.put(d1, true);
    in.put(d2, true);
    in.put(d3, true);
    EXPECT_FALSE(in.read());
    EXPECT_FALSE(in.read());
    EXPECT_EQ(2u, in.undecodable());
    ASSERT_TRUE(in.read());
    EXPECT_EQ(9u, map.tm.sec);
    EXPECT_EQ(4u, map.data.length());
}

// omniORB checks a sequence's count against the input left in 32 bits: 2^31 two-octet elements
// wrapped to 0 octets and the decoder allocated 4 GiB for one point's dmy.
TEST_F(DataPorts, DmyCountThatWrapsTheSizeCheckIsRefused) {
    QOR::TimedStereoData map;
    RTC::InPort<QOR::TimedStereoData> in("stereo", map);
    auto bytes = testsupport::encode(mapOf(1, 1, 1));
    const std::uint32_t wraps = 0x80000000u;
    std::memcpy(&bytes[48], &wraps, 4);  // the dmy count of the only point
    OpenRTM::CdrData d = cdrOf(bytes);
    in.put(d, true);
    EXPECT_FALSE(in.read());
    EXPECT_EQ(1u, in.undecodable());
}

TEST_F(DataPorts, OutPortReachesEveryConnectionInTheByteOrderItAskedFor) {
    QOR::TimedStereoData sent = mapOf(3, 2, 42);
    RTC::OutPort<QOR::TimedStereoData> out("out", sent);
    QOR::TimedStereoData a, b;
    RTC::InPort<QOR::TimedStereoData> inA("a", a), inB("b", b);
    out.connectLocal(inA);
    RTC::ConnectorInfo big;
    big.properties.setProperty("dataport.serializer.cdr.endian", "big,little");
    out.connectLocal(inB, big);
    EXPECT_EQ(2u, out.connectors().size());

    ASSERT_TRUE(out.write());
    ASSERT_TRUE(inA.read());
    ASSERT_TRUE(inB.read());
    for (const auto* m : {&a, &b}) {
        EXPECT_EQ(42u, m->tm.sec);
        EXPECT_EQ(3, m->width);
        ASSERT_EQ(6u, m->data.length());
        EXPECT_EQ(5.0, m->data[5].z);
    }
}

TEST_F(DataPorts, ConnectionToAnInPortThatIsGoneIsDropped) {
    QOR::TimedStereoData sent = mapOf(1, 1, 1);
    RTC::OutPort<QOR::TimedStereoData> out("out", sent);
    {
        QOR::TimedStereoData got;
        RTC::InPort<QOR::TimedStereoData> in("in", got);
        out.connectLocal(in);
        EXPECT_TRUE(out.write());
    }
    EXPECT_FALSE(out.write());
    EXPECT_EQ(1u, out.droppedConnections());
    EXPECT_TRUE(out.connectors().empty());
    EXPECT_TRUE(out.write()) << "with no connection left nothing fails";
}

TEST_F(DataPorts, BufferLengthOfTheConnectorSizesTheRing) {
    QOR::TimedStereoData sent = mapOf(1, 1, 0), got;
    RTC::OutPort<QOR::TimedStereoData> out("out", sent);
    RTC::InPort<QOR::TimedStereoData> in("in", got);
    RTC::ConnectorInfo info;
    info.properties.setProperty("dataport.buffer.length", "2");
    out.connectLocal(in, info);
    for (unsigned s = 1; s <= 5; ++s) {
        sent.tm.sec = s;
        out.write();
    }
    ASSERT_TRUE(in.read());
    EXPECT_EQ(4u, got.tm.sec);
    ASSERT_TRUE(in.read());
    EXPECT_EQ(5u, got.tm.sec);
    EXPECT_EQ(3u, in.counters().overwritten);
}

// Sees every value that reaches the port: its connection and the stamp at the start of its bytes.
struct ReceivedLog : RTC::ConnectorDataListener {
    explicit ReceivedLog(int& counter) : alive(counter) { ++alive; }
    ~ReceivedLog() override { --alive; }
    ReturnCode operator()(RTC::ConnectorInfo& info, cdrMemoryStream& data) override {
        CORBA::ULong sec = 0;
        sec <<= data;
        seen.push_back(info.id + ":" + info.properties.getProperty("dataport.interface_type") +
                       ":" + std::to_string(sec));
        return NO_CHANGE;
    }
    int& alive;
    std::vector<std::string> seen;
};

TEST_F(DataPorts, ReceivedListenersSeeEveryArrivalEvenRefusedOnesAndGoWithThePort) {
    int alive = 0;
    QOR::TimedStereoData sent = mapOf(1, 1, 0), got;
    RTC::OutPort<QOR::TimedStereoData> out("out", sent);
    ReceivedLog* log = new ReceivedLog(alive);
    {
        RTC::InPort<QOR::TimedStereoData> in("in", got);
        in.addConnectorDataListener(RTC::ON_RECEIVED, log);
        in.addConnectorDataListener(RTC::ON_BUFFER_READ, new ReceivedLog(alive));
        RTC::ConnectorInfo info;
        info.id = "c1";
        info.properties.setProperty("dataport.buffer.length", "1");
        info.properties.setProperty("dataport.buffer.write.full_policy", "do_nothing");
        out.connectLocal(in, info);
        for (unsigned s = 1; s <= 3; ++s) {
            sent.tm.sec = s;
            out.write();
        }
        EXPECT_EQ((std::vector<std::string>{"c1:local:1", "c1:local:2", "c1:local:3"}), log->seen);
        EXPECT_EQ(1u, in.unreadCount()) << "the full buffer refused two of them";
        ASSERT_TRUE(in.read());
        EXPECT_EQ(1u, got.tm.sec) << "the listener left the value as it came";
        EXPECT_EQ(3u, log->seen.size()) << "no event but ON_RECEIVED is raised";
        EXPECT_EQ(2, alive);
    }
    EXPECT_EQ(0, alive) << "autoclean listeners go with the port";
}

TEST_F(DataPorts, ConcurrentWriterAndReaderSeeOrderAndAccountForEveryValue) {
    QOR::TimedStereoData sent = mapOf(16, 16, 0), got;
    RTC::OutPort<QOR::TimedStereoData> out("out", sent);
    RTC::InPort<QOR::TimedStereoData> in("in", got, 4);
    out.connectLocal(in);
    const unsigned kValues = 5000;
    std::thread writer([&] {
        for (unsigned s = 1; s <= kValues; ++s) {
            sent.tm.sec = s;
            out.write();
        }
    });
    unsigned last = 0, read = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (last < kValues && std::chrono::steady_clock::now() < deadline) {
        if (!in.read()) continue;
        ASSERT_GT(got.tm.sec, last) << "values arrive in order";
        ASSERT_EQ(256u, got.data.length());
        last = got.tm.sec;
        ++read;
    }
    writer.join();
    while (in.read()) ++read;
    const auto c = in.counters();
    EXPECT_EQ(kValues, c.stored);
    EXPECT_EQ(kValues, read + c.overwritten) << "every value was read or overwritten";
}

TEST(ConnectorIds, AreFreshUuids) {
    const std::string a = RTC::newConnectorId(), b = RTC::newConnectorId();
    EXPECT_NE(a, b);
    ASSERT_EQ(36u, a.size());
    for (std::size_t i : {8u, 13u, 18u, 23u}) EXPECT_EQ('-', a[i]);
}

TEST(EndianProperty, FirstNamedOrderWins) {
    EXPECT_TRUE(RTC::firstEndianIsLittle(""));
    EXPECT_TRUE(RTC::firstEndianIsLittle("little,big"));
    EXPECT_FALSE(RTC::firstEndianIsLittle("big,little"));
    EXPECT_FALSE(RTC::firstEndianIsLittle("big"));
    EXPECT_TRUE(RTC::firstEndianIsLittle("nonsense"));
}

}  // namespace

TEST(SegmentSize, KiloAndMegaSuffixesAndPlainOctets) {
    struct Case {
        const char* text;
        std::size_t size;
    };
    for (const Case& c : {Case{"16M", 16777216}, Case{" 16m ", 16777216}, Case{"64k", 65536},
                          Case{"4096", 4096}, Case{"", 2097152}, Case{"1G", 2097152},
                          Case{"-5", 2097152}, Case{"0", 2097152}, Case{"4x", 2097152},
                          Case{"99999999999999", 2097152}})
        EXPECT_EQ(c.size, RTC::parseSegmentSize(c.text)) << '"' << c.text << '"';
}

// The ports move chars as octets instead of through omniORB's converters, and encode into
// buffers of their own: the bytes on the wire and the chars decoded must be exactly what
// omniORB's own streams give, for a value that outgrows the first buffer as for a small one.
TEST_F(DataPorts, CharsCrossThePortsAsOmniOrbEncodesThem) {
    QOR::TimedImageData sent;
    sent.data.imageSize = 256;
    sent.data.imgData.length(256);
    for (CORBA::ULong i = 0; i < 256; ++i) sent.data.imgData[i] = static_cast<CORBA::Char>(i);
    const std::vector<std::uint8_t> expected = testsupport::encode(sent);

    alignas(8) unsigned char area[512];
    RTC::SegmentStream segment(area, sizeof area, true);
    sent >>= segment;
    ASSERT_EQ(expected.size(), segment.length());
    EXPECT_EQ(0, std::memcmp(expected.data(), area, expected.size()));

    // 20 kB grows the stream three times; a multiple of 4 chars leaves no padding, whose octets
    // omniORB does not define.
    QOR::TimedImageData large = sent;
    large.data.imgData.length(20000);
    for (CORBA::ULong i = 0; i < 20000; ++i) large.data.imgData[i] = static_cast<CORBA::Char>(i * 7);
    for (const bool little : {true, false}) {
        cdrMemoryStream omni;
        omni.setByteSwapFlag(little);
        large >>= omni;
        RTC::GrowingCdrStream grown(little);
        large >>= grown;
        ASSERT_EQ(omni.bufSize(), grown.length());
        EXPECT_EQ(0, std::memcmp(omni.bufPtr(), grown.data(), grown.length()))
            << (little ? "little" : "big");
    }

    RTC::OutPort<QOR::TimedImageData> out("out", sent);
    QOR::TimedImageData got;
    RTC::InPort<QOR::TimedImageData> in("in", got);
    out.connectLocal(in);
    ASSERT_TRUE(out.write());
    ASSERT_TRUE(in.read());
    ASSERT_EQ(256u, got.data.imgData.length());
    EXPECT_EQ(0, std::memcmp(sent.data.imgData.get_buffer(), got.data.imgData.get_buffer(), 256));

    // Sets that differ keep omniORB's converter.
    using omni::omniCodeSet;
    omniCodeSet::NCS_C* utf8 = omniCodeSet::getNCS_C(omniCodeSet::ID_UTF_8);
    omniCodeSet::NCS_C* latin1 = omniCodeSet::getNCS_C(omniCodeSet::ID_8859_1);
    omniCodeSet::TCS_C* latin1Tcs = omniCodeSet::getTCS_C(omniCodeSet::ID_8859_1, GIOP::Version{1, 2});
    EXPECT_EQ(utf8, RTC::octetChars(utf8, latin1Tcs));
    EXPECT_NE(latin1, RTC::octetChars(latin1, latin1Tcs));
}
