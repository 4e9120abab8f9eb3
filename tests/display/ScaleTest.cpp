// Full-scale table, bar runs, settings read by the graphs, and the texts they show.
#include <gtest/gtest.h>

#include <limits>

#include "HistoryPush.h"
#include "display/Scale.h"

namespace zul {
namespace {

struct ConnectionRow {
  uint16_t Connection;
  uint32_t BytesPerSecond;
};

class ConnectionTable : public ::testing::TestWithParam<ConnectionRow> {};

TEST_P(ConnectionTable, GivesTheListedFullScale) {
  EXPECT_EQ(FullScaleFor(GetParam().Connection, 1000, 10, 77), GetParam().BytesPerSecond);
}

// 1 kbps = 128 bytes per second, 1 mbps = 1024 kbps, whole bytes.
INSTANTIATE_TEST_SUITE_P(
    EveryConnectionType, ConnectionTable,
    ::testing::Values(ConnectionRow{0, 0}, ConnectionRow{1, 4300}, ConnectionRow{2, 6822},
                      ConnectionRow{3, 64 * 128}, ConnectionRow{4, 128 * 128},
                      ConnectionRow{5, 256 * 128}, ConnectionRow{6, 384 * 128},
                      ConnectionRow{7, 512 * 128}, ConnectionRow{8, 768 * 128},
                      ConnectionRow{9, 1024 * 128}, ConnectionRow{10, 1536 * 128},
                      ConnectionRow{11, 2048 * 128}, ConnectionRow{12, 10 * 1024 * 128},
                      ConnectionRow{13, 5863637}, ConnectionRow{14, 100 * 1024 * 128},
                      // Custom 1000 kbps with 10 % headroom: 1100 kbps.
                      ConnectionRow{15, 1100 * 128}));

TEST(CustomConnection, DividesBeforeMultiplying) {
  // (7 + 100) * 3 = 321, div 100 = 3, * 128.
  EXPECT_EQ(FullScaleFor(15, 3, 7, 0), 3u * 128);
}

TEST(CustomConnection, SaturatesAtTheLargest32BitValue) {
  EXPECT_EQ(FullScaleFor(15, std::numeric_limits<int32_t>::max(), 65535, 0),
            std::numeric_limits<uint32_t>::max());
  // 33554432 kbps * 128 is exactly 2^32: one past the largest value.
  EXPECT_EQ(FullScaleFor(15, 33554432, 0, 0), std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(FullScaleFor(15, 33554431, 0, 0), 33554431u * 128);
}

TEST(CustomConnection, SpeedNotAboveZeroCountsAsTheDefault) {
  EXPECT_EQ(FullScaleFor(15, 0, 10, 0), 1100u * 128);
  EXPECT_EQ(FullScaleFor(15, -5, 10, 0), 1100u * 128);
}

TEST(ConnectionOutOfRange, KeepsThePreviousFullScaleAndScalesAutomatically) {
  EXPECT_EQ(FullScaleFor(16, 1000, 10, 4300), 4300u);
  TCfgRec cfg;
  cfg.Connection = 16;
  EXPECT_TRUE(IsAutomaticScale(cfg));
  cfg.Connection = 15;
  EXPECT_FALSE(IsAutomaticScale(cfg));
}

TEST(DamagedDisplaySettings, DrawAsTheirDefaults) {
  TCfgRec cfg;
  cfg.DisplayMode = 9;
  cfg.RateUnit = 4;
  cfg.TrayView = 12;
  EXPECT_EQ(EffectiveDisplayMode(cfg), dmBoth);
  EXPECT_EQ(EffectiveRateUnit(cfg), 0);
  EXPECT_EQ(EffectiveTrayView(cfg), 0);
  EXPECT_EQ(GridPeriodSeconds(2), 30);
  EXPECT_EQ(GridPeriodSeconds(3), 60);
  EXPECT_EQ(GridPeriodSeconds(4), 0) << "no grid for a period outside the table";
  EXPECT_EQ(GridPeriodSeconds(65535), 0);
}

TEST(WindowOpacity, FollowsThePercentWithinTenToNinety) {
  EXPECT_EQ(OpacityAlpha(true, 80), 204);
  EXPECT_EQ(OpacityAlpha(false, 80), 255);
  EXPECT_EQ(OpacityAlpha(true, 0), 25) << "10 %";
  EXPECT_EQ(OpacityAlpha(true, 100), 229) << "90 %";
}

TEST(BarHeight, IsFormedAtFullWidth) {
  // 4000000000 * 109 overflows 32 bits.
  EXPECT_EQ(BarHeight(109, 4000000000u, 4000000000u), 109);
  EXPECT_EQ(BarHeight(0, 5, 5), 0);
  EXPECT_EQ(BarHeight(-3, 5, 5), 0);
  EXPECT_EQ(BarHeight(10, 5, 0), 0) << "a zero full scale is never divided by";
}

class HistoryRingView : public ::testing::Test {
 protected:
  void Push(uint32_t down, uint32_t up) { PushSecond(T, down, up); }
  TTraffic T;
};

TEST_F(HistoryRingView, CandidateLooksOnlyAtTheNewestSecondsThatFit) {
  Push(900, 0);
  Push(10, 20);
  Push(30, 5);
  EXPECT_EQ(AutoScaleCandidate(T, ciWanLanUp, ciWanLanDown, 2), 30u);
  EXPECT_EQ(AutoScaleCandidate(T, ciWanLanUp, ciWanLanDown, 3), 900u);
  EXPECT_EQ(AutoScaleCandidate(T, ciWanLanUp, ciWanLanDown, 0), 0u);
}

TEST_F(HistoryRingView, WrapsAroundAndHoldsAtMost499Seconds) {
  for (uint32_t i = 0; i < 700; ++i) Push(i, 0);
  ASSERT_EQ(T.SampleCount(), 499);
  EXPECT_EQ(T.Newest(0)[ciWanLanDown], 699u);
  EXPECT_EQ(T.Newest(498)[ciWanLanDown], 201u);
}

TEST_F(HistoryRingView, CorruptedIndexesReadAsEmpty) {
  T.HistoryHead = 3;
  T.HistoryTail = 500;
  EXPECT_EQ(T.SampleCount(), 0);
  T.HistoryTail = -1;
  EXPECT_EQ(AutoScaleCandidate(T, 0, 1, 499), 0u);
}

TEST(GraphTexts, ScaleLabelAndReadoutInBothUnits) {
  EXPECT_EQ(FormatScaleLabel(1, 0), "  0.0kB/s");
  EXPECT_EQ(FormatScaleLabel(1408000, 0), "1375.0kB/s");
  EXPECT_EQ(FormatScaleLabel(4300, 1), " 33.6kbps");
  EXPECT_EQ(FormatSecond(2048, 512, 0), "DL: 2.0 kB/s  UL: 0.5 kB/s");
  EXPECT_EQ(FormatSecond(2048, 512, 1), "DL: 16.0 kbps  UL: 4.0 kbps");
  // 36000 bytes over an hour counter of 10: 3600 B/s.
  EXPECT_EQ(FormatAverage(36000, 0, 10, 0), "DL: 3.5 kB/s  UL: 0.0 kB/s");
  EXPECT_EQ(FormatAverage(36000, 1280, 10, 1), "DL: 28.1 kbps  UL: 1.0 kbps");
  EXPECT_EQ(FormatAverage(1024, 0, 0, 0), "DL: 1.0 kB/s  UL: 0.0 kB/s") << "never divides by 0";
}

}  // namespace
}  // namespace zul
