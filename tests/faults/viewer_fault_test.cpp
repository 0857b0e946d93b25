// Faults across processes against the real viewer programs: what a hostile or dying peer, a
// naming service that goes away, a signal or a missing display does to MorvaneComp and KalethComp.
#include <gtest/gtest.h>
#include <rtm/RemoteUtil.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <random>
#include <thread>

#include "Orb.h"
#include "StereoPattern.h"
#include "ViewerPeer.h"

namespace {

using namespace std::chrono_literals;
using faults::cdr;
using faults::Viewer;
using faults::ViewerKind;
using remotetest::Component;
using RTC::remote::setNV;
using testsupport::Bytes;

std::string kindName(const ::testing::TestParamInfo<const ViewerKind*>& info) {
    return info.param->name;
}

const std::vector<std::string> kFast = {"exec_cxt.periodic.rate:1000"};

class EachViewer : public ::testing::TestWithParam<const ViewerKind*> {};

// ---- values a hostile peer puts straight into the port's InPortCdr ----

void patch32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

// Decodable values whose sizes do not fit what they carry.
std::vector<Bytes> misfits(const ViewerKind& kind) {
    std::vector<Bytes> out;
    if (&kind == &faults::kMorvane) {
        struct Dims { long w, h, points; };
        for (const Dims d : {Dims{0, 4, 20}, Dims{-5, 4, 20}, Dims{5, -4, 20}, Dims{5, 4, 0},
                             Dims{2147483647, 1, 4}, Dims{1, 2147483647, 4},
                             Dims{65536, 65536, 4}, Dims{5, 1, 20}, Dims{5, 40, 20},
                             Dims{-2147483647 - 1, -1, 4}}) {
            QOR::TimedStereoData map;
            pattern::fill(map, 9, d.points, 1);
            map.width = d.w;
            map.height = d.h;
            out.push_back(testsupport::encode(map));
        }
        return out;
    }
    struct Frame { long w, h, depth, channels, imageSize, bytes; };
    for (const Frame f : {Frame{4, 2, 8, 3, 24, 10}, Frame{4, 2, 8, 3, 1000, 1000},
                          Frame{4, 2, 8, 3, -24, 24}, Frame{4, 2, 8, 3, 2147483647, 24},
                          Frame{0, 2, 8, 3, 24, 24}, Frame{4, -2, 8, 3, 24, 24},
                          Frame{4, 2, 7, 3, 24, 24}, Frame{4, 2, 32, 3, 24, 24},
                          Frame{4, 2, -1, 3, 24, 24}, Frame{4, 2, 8, 0, 24, 24},
                          Frame{4, 2, 8, 1000, 24, 24}, Frame{4, 2, 8, -3, 24, 24},
                          Frame{2147483647, 2147483647, 8, 3, 24, 24},
                          Frame{65536, 65536, 16, 4, 24, 24}}) {
        QOR::TimedImageData frame;
        frame.tm.sec = 9;
        frame.data.width = f.w;
        frame.data.height = f.h;
        frame.data.depth = f.depth;
        frame.data.nChannels = f.channels;
        frame.data.imageSize = f.imageSize;
        frame.data.widthStep = f.w * 3;
        frame.data.imgData.length(static_cast<CORBA::ULong>(f.bytes));
        out.push_back(testsupport::encode(frame));
    }
    return out;
}

struct HostileValues {
    std::vector<Bytes> truncated, counts, random, misfit;
};

HostileValues hostileValues(const ViewerKind& kind) {
    HostileValues h;
    const Bytes good = faults::goodValue(kind, 7);
    for (std::size_t cut = 1; cut < good.size(); cut += 1 + cut / 4)
        h.truncated.emplace_back(good.begin(), good.begin() + static_cast<long>(cut));
    // Every 32-bit field of the header and the first element, and the last one: lengths and sizes
    // far past the end of the value.
    for (std::size_t at = 0; at + 4 <= 48; at += 4)
        for (std::uint32_t v : {0x7fffffffu, 0xffffffffu, 0x80000000u, 0x00100000u}) {
            Bytes b = good;
            patch32(b, at, v);
            h.counts.push_back(b);
        }
    for (std::uint32_t v : {0x7fffffffu, 0xffffffffu}) {
        Bytes b = good;
        patch32(b, good.size() - 4, v);
        h.counts.push_back(b);
    }
    std::mt19937 rng(20110620);
    for (int i = 0; i < 100; ++i) {
        Bytes b(1 + rng() % 4096);
        for (auto& byte : b) byte = static_cast<std::uint8_t>(rng());
        h.random.push_back(b);
    }
    h.misfit = misfits(kind);
    return h;
}

// Each hostile value is stored and taken, then a good one is: the ring of one slot holds one
// value at a time, so each store proves the one before it went through the display cycle.
TEST_P(EachViewer, MalformedValuesAreDroppedAndTheNextGoodOneTaken) {
    Viewer v(*GetParam(), "", kFast);
    ASSERT_EQ("", v.problem());
    ASSERT_TRUE(v.activate());
    const HostileValues h = hostileValues(*GetParam());
    const OpenRTM::CdrData good = cdr(faults::goodValue(*GetParam(), 8));
    struct Class { const char* name; const std::vector<Bytes>* values; };
    for (const Class c : {Class{"truncated", &h.truncated}, Class{"counts", &h.counts},
                          Class{"random", &h.random}, Class{"misfit", &h.misfit}}) {
        std::size_t i = 0;
        for (const Bytes& bad : *c.values) {
            ASSERT_TRUE(v.deliver(cdr(bad))) << c.name << " " << i;
            ASSERT_TRUE(v.deliver(good)) << c.name << " " << i << " not taken";
            ++i;
        }
        EXPECT_TRUE(v.healthy()) << c.name;
        std::cerr << GetParam()->name << ": " << c.values->size() << " " << c.name << " values\n";
    }
}

TEST_P(EachViewer, ValueOverTheMessageLimitIsRefusedAndTheNextGoodOneTaken) {
    Viewer v(*GetParam(), "", {"exec_cxt.periodic.rate:1000",
                               "corba.args:-ORBgiopMaxMsgSize 4194304"});
    ASSERT_EQ("", v.problem());
    ASSERT_TRUE(v.activate());
    const OpenRTM::CdrData huge = cdr(Bytes(5u << 20, 0x5a));
    for (int i = 0; i < 3; ++i) {
        EXPECT_THROW(v.probe->put(huge), CORBA::SystemException);
        EXPECT_TRUE(v.healthy()) << i;
    }
    // Just under the limit is a value like any other.
    const bool stereo = GetParam() == &faults::kMorvane;
    const Bytes big = faults::goodValue(*GetParam(), 11, stereo ? 320 : 1000, stereo ? 320 : 1000);
    ASSERT_LT(big.size(), 4000000u);
    EXPECT_TRUE(v.deliver(cdr(big)));
    EXPECT_TRUE(v.healthy());
}

RTC::PortService_ptr unreachablePort() {
    const std::string loc =
        "corbaloc::127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()) + "/nobody";
    CORBA::Object_var obj = testsupport::orb()->string_to_object(loc.c_str());
    RTC::PortService_ptr p = RTC::PortService::_unchecked_narrow(obj);
    omniORB::setClientCallTimeout(p, 5000);
    return p;
}

TEST_P(EachViewer, NonsenseConnectRequestsAreAnsweredAndTheNextGoodValueTaken) {
    Viewer v(*GetParam(), "", kFast);
    ASSERT_EQ("", v.problem());
    ASSERT_TRUE(v.activate());
    RTC::PortService_var nowhere = unreachablePort();
    auto with = [&](std::vector<RTC::PortService_ptr> ports, const char* key, const char* value) {
        RTC::ConnectorProfile p = faults::profileFor(ports);
        if (key) setNV(p.properties, key, value);
        return p;
    };
    struct Case {
        const char* what;
        RTC::ConnectorProfile profile;
        bool notify;  // notify_connect instead of connect
        RTC::ReturnCode_t expected;
    };
    std::vector<Case> cases;
    cases.push_back({"no ports", with({}, nullptr, nullptr), false, RTC::BAD_PARAMETER});
    RTC::ConnectorProfile noPortsWithId = with({}, nullptr, nullptr);
    noPortsWithId.connector_id = CORBA::string_dup("x1");
    cases.push_back({"notify, no ports", noPortsWithId, true, RTC::BAD_PARAMETER});
    cases.push_back({"notify, no id", with({v.port.in()}, nullptr, nullptr), true,
                     RTC::BAD_PARAMETER});
    for (const char* type : {"direct", "", "corba_cdr\x01", "\xff\xfe"})
        cases.push_back({"interface_type", with({v.port.in()}, "dataport.interface_type", type),
                         false, RTC::BAD_PARAMETER});
    cases.push_back({"dataflow pull", with({v.port.in()}, "dataport.dataflow_type", "pull"), false,
                     RTC::BAD_PARAMETER});
    cases.push_back({"nil next port", with({v.port.in(), RTC::PortService::_nil()}, nullptr,
                                           nullptr), false, RTC::BAD_PARAMETER});
    cases.push_back({"unreachable next port", with({v.port.in(), nowhere.in()}, nullptr, nullptr),
                     false, RTC::RTC_ERROR});
    cases.push_back({"unreachable first port", with({nowhere.in(), v.port.in()}, nullptr, nullptr),
                     false, RTC::RTC_ERROR});
    for (const char* ior : {"IOR:zz", "", "IOR:", "corbaloc::nowhere/x"})
        cases.push_back({"garbage inport_ior", with({v.port.in()}, "dataport.corba_cdr.inport_ior",
                                                    ior), false, RTC::RTC_OK});
    for (const char* length : {"-1", "0", "abc", "99999999999999999999", "1e9", " 7"})
        cases.push_back({"buffer.length", with({v.port.in()}, "dataport.buffer.length", length),
                         false, RTC::RTC_OK});
    RTC::ConnectorProfile bare = with({v.port.in()}, nullptr, nullptr);
    bare.properties.length(0);
    cases.push_back({"no properties", bare, false, RTC::RTC_OK});
    RTC::ConnectorProfile typed = with({v.port.in()}, nullptr, nullptr);
    CORBA::Any number;
    number <<= CORBA::Long(42);
    setNV(typed.properties, "dataport.interface_type", number);
    setNV(typed.properties, "dataport.buffer.length", number);
    cases.push_back({"non-string values", typed, false, RTC::RTC_OK});
    RTC::ConnectorProfile many = with({v.port.in()}, nullptr, nullptr);
    many.properties.length(50000);
    for (CORBA::ULong i = 0; i < many.properties.length(); ++i) {
        many.properties[i].name = CORBA::string_dup(("k" + std::to_string(i % 977)).c_str());
        many.properties[i].value <<= "v";
    }
    cases.push_back({"50000 properties", many, false, RTC::RTC_OK});

    for (Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        RTC::ReturnCode_t r = RTC::RTC_ERROR;
        try {
            r = c.notify ? v.port->notify_connect(c.profile) : v.port->connect(c.profile);
        } catch (const CORBA::Exception& e) {
            ADD_FAILURE() << c.what << ": " << e._name();
        }
        EXPECT_EQ(c.expected, r) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << c.what;
        if (r == RTC::RTC_OK) {
            // It published a reference of its own, whatever the request carried.
            OpenRTM::InPortCdr_var in = faults::inPortOf(c.profile);
            EXPECT_FALSE(CORBA::is_nil(in)) << c.what;
            EXPECT_EQ(RTC::RTC_OK, v.port->disconnect(c.profile.connector_id)) << c.what;
        }
        // Buffer properties of a connection apply to the port; put the probe's back.
        ASSERT_TRUE(v.reconnectProbe()) << c.what;
        EXPECT_TRUE(v.healthy()) << c.what;
    }
    std::cerr << GetParam()->name << ": " << cases.size() << " connect requests\n";
}

TEST_P(EachViewer, SigtermWhileShowingAtFullSpeedExitsWithStatusZero) {
    Viewer v(*GetParam(), "", kFast);
    ASSERT_EQ("", v.problem());
    ASSERT_TRUE(v.activate());
    const OpenRTM::CdrData frame = cdr(faults::goodValue(*GetParam(), 5, 640, 480));
    std::atomic<int> stored{0};
    std::thread writer([&] {
        for (;;) {
            try {
                if (v.probe->put(frame) == OpenRTM::PORT_OK) ++stored;
            } catch (const CORBA::SystemException&) {
                return;
            }
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (stored.load() < 20 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    const int taken = stored.load();
    const int status = v.stop(SIGTERM, 10s);
    writer.join();
    EXPECT_GE(taken, 20);
    EXPECT_EQ(0, status) << v.program().output();
}

TEST_P(EachViewer, WithoutADisplayActivationFailsWithOneLineAndThePortStillTakesValues) {
    // The child inherits this process's environment, minus what names a display.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(name);
    Viewer v(*GetParam(), "", kFast, {});
    ASSERT_EQ("", v.problem());
    (void)v.ec->activate_component(v.comp);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (v.state() != RTC::ERROR_STATE && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(RTC::ERROR_STATE, v.state());
    std::string line;
    ASSERT_TRUE(v.program().expect("cannot open the window", 10s)) << v.program().output();
    // Whatever else it would print about the display comes now, if at all.
    while (v.program().process().readLine(line, 500ms)) {
    }
    const std::string out = v.program().output();
    const std::string own = std::string(GetParam()->name) + ": ";
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = out.find(own, at)) != std::string::npos; ++at)
        if (at == 0 || out[at - 1] == '\n') ++lines;
    EXPECT_EQ(1u, lines) << out;
    EXPECT_EQ(std::string::npos, out.find("qt.qpa")) << out;
    EXPECT_TRUE(v.program().process().running());
    EXPECT_TRUE(v.deliver(cdr(faults::goodValue(*GetParam(), 3))));
    EXPECT_EQ(RTC::ERROR_STATE, v.state());
}

INSTANTIATE_TEST_SUITE_P(Viewers, EachViewer, ::testing::Values(&faults::kMorvane, &faults::kKaleth),
                         kindName);

// ---- a producer killed while a large map is on its way ----

TEST(ProducerKilled, MidPutLeavesTheViewerConnectableAndANewProducersValuesArrive) {
    Viewer v(faults::kMorvane, "", kFast);
    ASSERT_EQ("", v.problem());
    ASSERT_TRUE(v.activate());
    auto connectProducer = [&](Component& producer) {
        RTC::RTObject_var comp = faults::componentAt(producer.ior());
        RTC::PortService_var out = faults::firstPort(comp);
        RTC::ConnectorProfile p = faults::profileFor({out.in(), v.port.in()});
        if (out->connect(p) != RTC::RTC_OK) return false;
        RTC::ExecutionContext_var ec = faults::ownContext(comp);
        return ec->activate_component(comp) == RTC::RTC_OK;
    };
    const int kills = 10;
    for (int i = 0; i < kills; ++i) {
        Component producer(PRODUCER_PATH, "", {"exec_cxt.periodic.rate:1000"},
                           {{"PRODUCER_SIZE", "1280x720"}});
        ASSERT_FALSE(producer.ior().empty()) << producer.output();
        ASSERT_TRUE(connectProducer(producer)) << i;
        ASSERT_TRUE(producer.expect("wrote 1 ", 30s)) << producer.output();
        // Where in the next 30 MB put the kill lands, varied from run to run; not a wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(3 + 4 * i));
        producer.process().signal(SIGKILL);
        ASSERT_TRUE(producer.process().wait(5s));
        ASSERT_TRUE(v.healthy()) << "after kill " << i;
    }
    Component producer(PRODUCER_PATH, "", {"exec_cxt.periodic.rate:200"});
    ASSERT_TRUE(connectProducer(producer));
    // With the port's ring of one slot refusing when full, a second stored map means the viewer
    // took the first.
    std::size_t ok = 0;
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ok < 3 && std::chrono::steady_clock::now() < deadline &&
           producer.process().readLine(line, 1s))
        if (line.find(" ok") != std::string::npos) ++ok;
    EXPECT_EQ(3u, ok) << producer.output();
    EXPECT_TRUE(v.healthy());
}

// ---- the naming service stopped and started again ----

TEST(NamingRestart, ComponentsAreBoundAgainAndDataKeepsFlowing) {
    auto naming = std::make_unique<remotetest::NamingService>();
    ASSERT_TRUE(naming->ready());
    const std::string address = naming->address();
    const int port = std::stoi(address.substr(address.find(':') + 1));
    const std::vector<std::string> rebinding = {"exec_cxt.periodic.rate:100",
                                                "naming.update.interval:0.5"};
    Viewer morvane(faults::kMorvane, address, rebinding);
    Viewer kaleth(faults::kKaleth, address, rebinding);
    ASSERT_EQ("", morvane.problem());
    ASSERT_EQ("", kaleth.problem());
    Component producer(PRODUCER_PATH, address, rebinding);
    const std::vector<std::string> names = {"Morvane0.rtc", "Kaleth0.rtc", "StereoProducer0.rtc"};
    ASSERT_TRUE(remotetest::listed(address, names, 10s));
    ASSERT_EQ(0, remotetest::rtctl(address, {"connect", "StereoProducer0.rtc:stereo",
                                             "Morvane0.rtc:stereo"}).status);
    for (const char* c : {"Morvane0", "Kaleth0", "StereoProducer0"})
        ASSERT_EQ(0, remotetest::rtctl(address, {"activate", c}).status) << c;
    ASSERT_TRUE(producer.expect("ok", 10s));

    naming.reset();
    ASSERT_TRUE(producer.expect("ok", 10s)) << "data stopped with the naming service";
    EXPECT_TRUE(morvane.healthy());
    naming = std::make_unique<remotetest::NamingService>(port);
    ASSERT_TRUE(naming->ready()) << "omniNames did not start again on " << port;
    EXPECT_TRUE(remotetest::listed(address, names, 15s));
    for (const char* c : {"Morvane0", "Kaleth0"}) {
        const auto r = remotetest::rtctl(address, {"state", c});
        EXPECT_EQ("ACTIVE\n", r.output) << c;
    }
    std::string line;
    producer.process().readLine(line, 0ms);
    EXPECT_TRUE(producer.expect("ok", 10s));
    EXPECT_TRUE(morvane.healthy());
    EXPECT_TRUE(kaleth.healthy());
}

}  // namespace
