// rtctl's probe without a connection: the time stamp read from a value's first bytes, and the
// lines it prints.
#include <gtest/gtest.h>

#include "Probe.h"

namespace {

TEST(ProbeStamp, ReadsTheStampInEitherByteOrderAndRefusesShortValues) {
    // tm.sec 0x01020304, tm.nsec 500000000 (0x1DCD6500), then a further byte of the value.
    const unsigned char little[] = {4, 3, 2, 1, 0x00, 0x65, 0xCD, 0x1D, 9};
    const unsigned char big[] = {1, 2, 3, 4, 0x1D, 0xCD, 0x65, 0x00, 9};
    double seconds = 0;
    ASSERT_TRUE(rtctl::timeStampOf(little, sizeof little, true, seconds));
    EXPECT_DOUBLE_EQ(16909060.5, seconds);
    ASSERT_TRUE(rtctl::timeStampOf(big, sizeof big, false, seconds));
    EXPECT_DOUBLE_EQ(16909060.5, seconds);
    EXPECT_FALSE(rtctl::timeStampOf(little, 7, true, seconds));
    EXPECT_FALSE(rtctl::timeStampOf(nullptr, 0, true, seconds));
}

TEST(ProbeLines, SayEachMeasureOfAnInterval) {
    rtctl::ProbeFigures f;
    f.seconds = 2.0;
    f.values = 30;
    f.gaps = 29;
    f.gapMean = 0.0666;
    f.gapMin = 0.05;
    f.gapMax = 0.08;
    f.gapDev = 0.004;
    f.delayMean = 0.012;
    f.delayMin = 0.001;
    f.delayMax = 0.0305;
    f.delayDev = 0.002;
    f.bytes = 3000000 + 8;
    f.shortValues = 2;
    EXPECT_EQ("rate 15.00 Hz: interval mean 66.60 ms, min 50.00 ms, max 80.00 ms, dev 4.00 ms "
              "(30 values)",
              rtctl::describe(rtctl::Measure::Rate, f));
    EXPECT_EQ("delay mean 12.00 ms, min 1.00 ms, max 30.50 ms, dev 2.00 ms (30 values)",
              rtctl::describe(rtctl::Measure::Delay, f));
    // Short values count for the bytes and the mean size too.
    EXPECT_EQ("bandwidth 1.500 MB/s, mean value 93.8 kB (30 values)",
              rtctl::describe(rtctl::Measure::Bandwidth, f));

    rtctl::ProbeFigures quiet;
    quiet.seconds = 1.0;
    EXPECT_EQ("rate 0.00 Hz (0 values)", rtctl::describe(rtctl::Measure::Rate, quiet));
    EXPECT_EQ("delay: no values", rtctl::describe(rtctl::Measure::Delay, quiet));
    EXPECT_EQ("bandwidth 0.000 MB/s, mean value 0.0 kB (0 values)",
              rtctl::describe(rtctl::Measure::Bandwidth, quiet));
}

}  // namespace
