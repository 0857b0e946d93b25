// Ten thousand values through each real viewer program, then its end: the exit status carries
// LeakSanitizer's verdict when the tree is built with -DQOR_SANITIZE=ON, and its resident memory
// after the last value must stay near what it was after the first thousand.
#include <gtest/gtest.h>
#include <signal.h>

#include "ViewerPeer.h"

namespace {

using namespace std::chrono_literals;

const int kValues = 10000;
const int kSettled = 1000;
const long kGrowthBoundKiB = 64 * 1024;

void soak(const faults::ViewerKind& kind) {
    faults::Viewer v(kind, "", {"exec_cxt.periodic.rate:1000"});
    ASSERT_EQ("", v.problem());
    ASSERT_TRUE(v.activate());
    const OpenRTM::CdrData value = faults::cdr(faults::goodValue(kind, 1, 640, 480));
    long settled = -1;
    // With the port's ring of one slot, the n-th store means n-1 values were taken and shown.
    for (int n = 1; n <= kValues + 1; ++n) {
        ASSERT_TRUE(v.deliver(value, 30s)) << "value " << n << "\n" << v.program().output();
        if (n == kSettled + 1) settled = v.rssKiB();
    }
    EXPECT_EQ(RTC::ACTIVE_STATE, v.state());
    const long last = v.rssKiB();
    std::cerr << kind.name << ": VmRSS " << settled << " KiB after " << kSettled << ", " << last
              << " KiB after " << kValues << "\n";
    EXPECT_GT(settled, 0);
    EXPECT_LE(last, settled + kGrowthBoundKiB);
    const int status = v.stop(SIGTERM, 120s);
    EXPECT_EQ(0, status) << v.program().output();
}

TEST(Soak, MorvaneShowsTenThousandDepthMapsWithoutLeaking) { soak(faults::kMorvane); }
TEST(Soak, KalethShowsTenThousandFramesWithoutLeaking) { soak(faults::kKaleth); }

}  // namespace
