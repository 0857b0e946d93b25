// Many activate/deactivate cycles of a viewer with its real window, on Qt's offscreen platform:
// every cycle opens the window, shows a value and closes it again, and the component stays
// healthy throughout. Built once per viewer (VIEWER_MORVANE or VIEWER_KALETH).
#if defined(VIEWER_MORVANE)
#include "Morvane.h"
#else
#include "Kaleth.h"
#endif

#include <gtest/gtest.h>
#include <rtm/OutPort.h>

#include <cstdlib>

#include "ComponentHarness.h"

namespace {

#if defined(VIEWER_MORVANE)
using Value = QOR::TimedStereoData;
const char* const kPort = "stereo";

Value value() {
    Value m;
    m.tm.sec = m.tm.nsec = 0;
    m.width = 32;
    m.height = 24;
    m.data.length(32 * 24);
    for (CORBA::ULong i = 0; i < m.data.length(); ++i) m.data[i].x = m.data[i].y = m.data[i].z = i % 9;
    return m;
}
testsupport::ComponentHarness* makeHarness() {
    return new testsupport::ComponentHarness(MorvaneInit, "Morvane");
}
#else
using Value = QOR::TimedImageData;
const char* const kPort = "InputImage";

Value value() {
    Value f;
    f.tm.sec = f.tm.nsec = 0;
    f.data.nChannels = 3;
    f.data.depth = 8;
    f.data.origin = 0;
    f.data.width = 33;
    f.data.height = 24;
    f.data.widthStep = 100;
    f.data.imageSize = 100 * 24;
    f.data.imgData.length(100 * 24);
    for (CORBA::ULong i = 0; i < f.data.imgData.length(); ++i) f.data.imgData[i] = static_cast<char>(i);
    return f;
}
testsupport::ComponentHarness* makeHarness() {
    return new testsupport::ComponentHarness(KalethInit, "Kaleth");
}
#endif

TEST(ViewerCycles, AThousandActivationsWithTheWindow) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::unique_ptr<testsupport::ComponentHarness> harness(makeHarness());
    Value sent = value();
    RTC::OutPort<Value> out("out", sent);
    out.connectLocal(*dynamic_cast<RTC::InPortBase*>(harness->comp->findPort(kPort)));
    RTC::InPortBase* in = dynamic_cast<RTC::InPortBase*>(harness->comp->findPort(kPort));
    for (int i = 0; i < 1000; ++i) {
        harness->activate();
        ASSERT_EQ(RTC::ACTIVE_STATE, harness->state()) << "cycle " << i;
        out.write();
        harness->step();
        ASSERT_FALSE(in->isNew()) << "cycle " << i << ": the value was not taken";
        harness->deactivate();
        ASSERT_EQ(RTC::INACTIVE_STATE, harness->state()) << "cycle " << i;
    }
    EXPECT_EQ(1000u, in->counters().taken);
    EXPECT_EQ(0u, in->undecodable());
}

}  // namespace
