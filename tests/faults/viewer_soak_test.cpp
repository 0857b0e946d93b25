// Values through each real viewer program, then its end: the exit status carries LeakSanitizer's
// verdict when the tree is built with -DQOR_SANITIZE=ON, and its resident memory after the last
// value must stay near what it was after the first tenth.
//
// How much comes from the environment, so that one program serves both the short soak that CI
// runs and the long one: QOR_SOAK_VALUES (default 10000) and QOR_SOAK_SIZE (default 640x480).
// Each case runs once per transport in kTransports.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "ViewerPeer.h"

namespace {

using namespace std::chrono_literals;

const long kGrowthBoundKiB = 64 * 1024;
// The connections a soak feeds the viewer through; faults::Viewer holds a writer for each.
const char* const kTransports[] = {"corba_cdr", "shared_memory"};

long fromEnvironment(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

class Soak : public ::testing::TestWithParam<std::tuple<const faults::ViewerKind*, const char*>> {};

TEST_P(Soak, ShowsEveryValueWithoutLeakingOrGrowing) {
    const faults::ViewerKind& kind = *std::get<0>(GetParam());
    const long values = fromEnvironment("QOR_SOAK_VALUES", 10000);
    const std::string size = std::getenv("QOR_SOAK_SIZE") ? std::getenv("QOR_SOAK_SIZE") : "640x480";
    const long width = std::strtol(size.c_str(), nullptr, 10);
    const long height = std::strtol(size.c_str() + size.find('x') + 1, nullptr, 10);
    ASSERT_GT(values, 10);
    ASSERT_GT(width * height, 0) << size;

    faults::Viewer v(kind, "", {"exec_cxt.periodic.rate:1000"},
                     {{"QT_QPA_PLATFORM", "offscreen"}}, std::get<1>(GetParam()));
    ASSERT_EQ("", v.problem());
    ASSERT_TRUE(v.activate());
    const OpenRTM::CdrData value = faults::cdr(faults::goodValue(kind, 1, width, height));
    const long settledAt = values / 10;
    long settled = -1;
    // With the port's ring of one slot, the n-th store means n-1 values were taken and shown.
    for (long n = 1; n <= values + 1; ++n) {
        ASSERT_TRUE(v.deliver(value, 30s)) << "value " << n << "\n" << v.program().output();
        if (n == settledAt + 1) settled = v.rssKiB();
    }
    EXPECT_EQ(RTC::ACTIVE_STATE, v.state());
    const long last = v.rssKiB();
    std::cerr << kind.name << ": " << values << " values of " << size << ", VmRSS " << settled
              << " KiB after " << settledAt << ", " << last << " KiB after " << values << "\n";
    EXPECT_GT(settled, 0);
    EXPECT_LE(last, settled + kGrowthBoundKiB);
    const int status = v.stop(SIGTERM, 120s);
    EXPECT_EQ(0, status) << v.program().output();
}

INSTANTIATE_TEST_SUITE_P(Viewers, Soak,
                         ::testing::Combine(::testing::Values(&faults::kMorvane, &faults::kKaleth),
                                            ::testing::ValuesIn(kTransports)),
                         [](const auto& param) {
                             return std::string(std::get<0>(param.param)->name) + "_" +
                                    std::get<1>(param.param);
                         });

}  // namespace
