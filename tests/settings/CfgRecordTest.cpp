// The settings record in memory: its byte layout, the scramble, the defaults and damaged input.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "settings/CfgF.h"

namespace zul {
namespace {

// One field set to a value whose bytes are distinct, and the bytes expected at its offset.
struct FieldRow {
  const char* Name;
  std::function<void(TCfgRec&)> Set;
  std::size_t Offset;
  std::vector<uint8_t> Bytes;
};

void PrintTo(const FieldRow& row, std::ostream* os) {
  *os << row.Name;
}

class CfgFieldLayout : public testing::TestWithParam<FieldRow> {};

TEST_P(CfgFieldLayout, EncodesTheFieldLittleEndianAtItsOffsetAndNothingElse) {
  const FieldRow& row = GetParam();
  TCfgRec rec;
  row.Set(rec);
  const TCfgImage image = EncodeCfg(rec);
  for (std::size_t i = 0; i < kCfgSize; ++i) {
    const bool inField = i >= row.Offset && i < row.Offset + row.Bytes.size();
    const uint8_t expected = inField ? row.Bytes[i - row.Offset] : 0;
    ASSERT_EQ(image[i], expected) << "byte " << i;
  }
}

TEST_P(CfgFieldLayout, DecodesTheBytesBackIntoTheSameField) {
  const FieldRow& row = GetParam();
  TCfgRec expected;
  row.Set(expected);
  TCfgImage image{};
  for (std::size_t i = 0; i < row.Bytes.size(); ++i) image[row.Offset + i] = row.Bytes[i];
  const TCfgRec decoded = DecodeCfg(image);
  EXPECT_EQ(EncodeCfg(decoded), EncodeCfg(expected));
}

INSTANTIATE_TEST_SUITE_P(
    EveryField, CfgFieldLayout,
    testing::Values(
        FieldRow{"Version", [](TCfgRec& r) { r.Version = 2009; }, 0, {0xD9, 0x07}},
        FieldRow{"OnTop", [](TCfgRec& r) { r.OnTop = true; }, 2, {1}},
        FieldRow{"ShowCaption", [](TCfgRec& r) { r.ShowCaption = true; }, 3, {1}},
        FieldRow{"StartMinimized", [](TCfgRec& r) { r.StartMinimized = true; }, 4, {1}},
        FieldRow{"ShowAverage", [](TCfgRec& r) { r.ShowAverage = true; }, 5, {1}},
        FieldRow{"Transparent", [](TCfgRec& r) { r.Transparent = true; }, 6, {1}},
        FieldRow{"VisiblePercent", [](TCfgRec& r) { r.VisiblePercent = 0x1234; }, 8, {0x34, 0x12}},
        FieldRow{"DisplayMode", [](TCfgRec& r) { r.DisplayMode = 0x0102; }, 10, {2, 1}},
        FieldRow{"RateUnit", [](TCfgRec& r) { r.RateUnit = 0x0304; }, 12, {4, 3}},
        FieldRow{"AllInterfaces", [](TCfgRec& r) { r.AllInterfaces = true; }, 14, {1}},
        FieldRow{"InterfaceIndex", [](TCfgRec& r) { r.InterfaceIndex = 65535; }, 16, {0xFF, 0xFF}},
        FieldRow{"GridLines", [](TCfgRec& r) { r.GridLines = true; }, 18, {1}},
        FieldRow{"ShowMaxValue", [](TCfgRec& r) { r.ShowMaxValue = true; }, 19, {1}},
        FieldRow{"GridPeriod", [](TCfgRec& r) { r.GridPeriod = 0x0506; }, 20, {6, 5}},
        FieldRow{"ColorDownload",
                 [](TCfgRec& r) { r.ColorDownload = 0x00112233; },
                 24,
                 {0x33, 0x22, 0x11, 0x00}},
        FieldRow{"ColorUpload",
                 [](TCfgRec& r) { r.ColorUpload = 0x44556677; },
                 28,
                 {0x77, 0x66, 0x55, 0x44}},
        FieldRow{"ColorBoth",
                 [](TCfgRec& r) { r.ColorBoth = 0x8899AABB; },
                 32,
                 {0xBB, 0xAA, 0x99, 0x88}},
        FieldRow{"ColorIdle",
                 [](TCfgRec& r) { r.ColorIdle = 0x00D0B0B0; },
                 36,
                 {0xB0, 0xB0, 0xD0, 0x00}},
        FieldRow{"Connection", [](TCfgRec& r) { r.Connection = 15; }, 40, {15, 0}},
        FieldRow{"CustomKbps", [](TCfgRec& r) { r.CustomKbps = -2; }, 44, {0xFE, 0xFF, 0xFF, 0xFF}},
        FieldRow{"CustomPlus", [](TCfgRec& r) { r.CustomPlus = 0x0A0B; }, 48, {0x0B, 0x0A}},
        FieldRow{"NotifyEnabled", [](TCfgRec& r) { r.NotifyEnabled = true; }, 50, {1}},
        FieldRow{
            "NotifyCondition", [](TCfgRec& r) { r.NotifyCondition = 0x0C0D; }, 52, {0x0D, 0x0C}},
        FieldRow{"NotifyAmount", [](TCfgRec& r) { r.NotifyAmount = 0x01020304; }, 56, {4, 3, 2, 1}},
        FieldRow{"NotifyUnit", [](TCfgRec& r) { r.NotifyUnit = 0x0E0F; }, 60, {0x0F, 0x0E}},
        FieldRow{"NotifyTarget", [](TCfgRec& r) { r.NotifyTarget = 12; }, 62, {12, 0}},
        FieldRow{"NotifyTime", [](TCfgRec& r) { r.NotifyTime = 0x1011; }, 64, {0x11, 0x10}},
        FieldRow{"NotifyTimeUnit", [](TCfgRec& r) { r.NotifyTimeUnit = 0x1213; }, 66, {0x13, 0x12}},
        FieldRow{"PlaySound", [](TCfgRec& r) { r.PlaySound = true; }, 68, {1}},
        FieldRow{"DisplayMessage", [](TCfgRec& r) { r.DisplayMessage = true; }, 69, {1}},
        FieldRow{"SoundFile",
                 [](TCfgRec& r) { r.SoundFile = "a.wav"; },
                 70,
                 {5, 'a', '.', 'w', 'a', 'v'}},
        FieldRow{"TrayView", [](TCfgRec& r) { r.TrayView = 3; }, 272, {3, 0}},
        FieldRow{"WindowVisible",
                 [](TCfgRec& r) {
                   r.WindowVisible = {false, true, false, true};
                 },
                 274,
                 {0, 1, 0, 1}},
        FieldRow{"FirstWindowRect",
                 [](TCfgRec& r) {
                   r.WindowRect[0] = {1, -1, 0x0100, 0x7F};
                 },
                 278,
                 {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 0, 0, 0x7F, 0, 0, 0}},
        FieldRow{"LastWindowRect",
                 [](TCfgRec& r) {
                   r.WindowRect[3] = {2, 3, 4, 5};
                 },
                 326,
                 {2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0}}),
    [](const testing::TestParamInfo<FieldRow>& row) { return std::string(row.param.Name); });

TEST(CfgScramble, XorsOnlyTheFirstByteWithKeyBytesTwoToFive) {
  TCfgImage image{};
  for (std::size_t i = 0; i < kCfgSize; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  const TCfgImage before = image;
  ScrambleCfg(image);
  EXPECT_EQ(image[0], before[0] ^ 0x19 ^ 0xE4 ^ 0x70 ^ 0x2D);
  for (std::size_t i = 1; i < kCfgSize; ++i) ASSERT_EQ(image[i], before[i]) << "byte " << i;
  ScrambleCfg(image);
  EXPECT_EQ(image, before);
}

TEST(CfgScramble, TurnsVersion2009IntoBytes79And07) {
  TCfgImage image{};
  image[0] = 0xD9;
  image[1] = 0x07;
  ScrambleCfg(image);
  EXPECT_EQ(image[0], 0x79);
  EXPECT_EQ(image[1], 0x07);
}

class CfgDefaults : public testing::Test {
 protected:
  void SetUp() override {
    rec.Stored.fill(0xAB);
    SetDefaultCfg(rec, "/opt/zul/");
  }
  TCfgRec rec;
};

TEST_F(CfgDefaults, ShowOnlyTheFirstWindowWithNoPlacement) {
  EXPECT_EQ(rec.WindowVisible, (std::array<bool, 4>{true, false, false, false}));
  for (const TCfgRect& r : rec.WindowRect) EXPECT_TRUE(r.IsZero());
  EXPECT_FALSE(rec.StartMinimized);
  EXPECT_EQ(rec.TrayView, 0);
}

TEST_F(CfgDefaults, LeaveNotificationsOffWithTheBundledSound) {
  EXPECT_FALSE(rec.NotifyEnabled);
  EXPECT_TRUE(rec.PlaySound);
  EXPECT_FALSE(rec.DisplayMessage);
  EXPECT_EQ(rec.SoundFile, "/opt/zul/Alert.wav");
  EXPECT_EQ(rec.NotifyAmount, 10000u);
  EXPECT_EQ(rec.NotifyTime, 60);
  EXPECT_EQ(rec.NotifyCondition, 0);
  EXPECT_EQ(rec.NotifyUnit, 0);
  EXPECT_EQ(rec.NotifyTarget, 0);
  EXPECT_EQ(rec.NotifyTimeUnit, 0);
}

TEST_F(CfgDefaults, MatchTheDocumentedWindowAndGraphSettings) {
  EXPECT_EQ(rec.Version, 2009);
  EXPECT_TRUE(rec.OnTop);
  EXPECT_TRUE(rec.ShowCaption);
  EXPECT_FALSE(rec.ShowAverage);
  EXPECT_TRUE(rec.Transparent);
  EXPECT_EQ(rec.VisiblePercent, 80);
  EXPECT_EQ(rec.DisplayMode, 2);
  EXPECT_EQ(rec.RateUnit, 0);
  EXPECT_TRUE(rec.AllInterfaces);
  EXPECT_EQ(rec.InterfaceIndex, 0);
  EXPECT_FALSE(rec.GridLines);
  EXPECT_FALSE(rec.ShowMaxValue);
  EXPECT_EQ(rec.GridPeriod, 2);
  EXPECT_EQ(rec.ColorDownload, 0x000000FFu);
  EXPECT_EQ(rec.ColorUpload, 0x0000FF00u);
  EXPECT_EQ(rec.ColorBoth, 0x0000FFFFu);
  EXPECT_EQ(rec.ColorIdle, 0x00D0B0B0u);
  EXPECT_EQ(rec.Connection, 0);
  EXPECT_EQ(rec.CustomKbps, 1000);
  EXPECT_EQ(rec.CustomPlus, 10);
}

TEST_F(CfgDefaults, LeaveTheStoredReservedBytesAlone) {
  TCfgImage expected;
  expected.fill(0xAB);
  EXPECT_EQ(rec.Stored, expected);
  const TCfgImage image = EncodeCfg(rec);
  for (std::size_t i : {7, 15, 22, 23, 42, 43, 51, 54, 55, 271, 342, 343})
    EXPECT_EQ(image[i], 0xAB) << "reserved byte " << i;
}

TEST(CfgDefaultSound, KeepsTheFirst200CharactersOfALongPath) {
  const std::string exeDir = "/" + std::string(193, 'd') + "/";  // 195 characters
  TCfgRec rec;
  SetDefaultCfg(rec, exeDir);
  EXPECT_EQ(rec.SoundFile, exeDir + "Alert");
  EXPECT_EQ(rec.SoundFile.size(), 200u);
}

class CfgDamagedRecord : public testing::Test {
 protected:
  static TCfgImage Damaged() {
    TCfgImage image{};
    image.fill(0xFF);
    image[0] = 0xD9;
    image[1] = 0x07;
    return image;
  }
};

TEST_F(CfgDamagedRecord, ReadsEveryNonZeroBooleanByteAsTrue) {
  const TCfgRec rec = DecodeCfg(Damaged());
  EXPECT_TRUE(rec.OnTop && rec.ShowCaption && rec.StartMinimized && rec.ShowAverage &&
              rec.Transparent && rec.AllInterfaces && rec.GridLines && rec.ShowMaxValue &&
              rec.NotifyEnabled && rec.PlaySound && rec.DisplayMessage);
  EXPECT_EQ(rec.WindowVisible, (std::array<bool, 4>{true, true, true, true}));
}

TEST_F(CfgDamagedRecord, CountsASoundFileLengthAbove200As200) {
  const TCfgRec rec = DecodeCfg(Damaged());
  EXPECT_EQ(rec.SoundFile, std::string(200, '\xFF'));
}

TEST_F(CfgDamagedRecord, EncodesBackToTheSameBytesWhenNothingChanged) {
  const TCfgImage image = Damaged();
  EXPECT_EQ(EncodeCfg(DecodeCfg(image)), image);
}

TEST_F(CfgDamagedRecord, RewritesOnlyTheFieldsThatChanged) {
  TCfgRec rec = DecodeCfg(Damaged());
  rec.OnTop = false;
  rec.SoundFile = "x";
  TCfgImage expected = Damaged();
  expected[2] = 0;
  expected[70] = 1;
  expected[71] = 'x';
  for (std::size_t i = 72; i < 271; ++i) expected[i] = 0;
  EXPECT_EQ(EncodeCfg(rec), expected);
}

TEST(CfgSoundFileEncoding, CutsAPathLongerThan200Bytes) {
  TCfgRec rec;
  rec.SoundFile = std::string(199, 'a') + "bc";
  const TCfgImage image = EncodeCfg(rec);
  EXPECT_EQ(image[70], 200);
  EXPECT_EQ(image[270], 'b');
  EXPECT_EQ(image[271], 0);
  EXPECT_EQ(DecodeCfg(image).SoundFile, std::string(199, 'a') + "b");
}

TEST(CfgRangeHelpers, FallBackForIndexesOutsideTheList) {
  EXPECT_EQ(CfgIndexOr(3, 4, 0), 3);
  EXPECT_EQ(CfgIndexOr(4, 4, 0), 0);
  EXPECT_EQ(CfgIndexOr(65535, 16, -1), -1);
  EXPECT_EQ(ClampVisiblePercent(0), 10);
  EXPECT_EQ(ClampVisiblePercent(55), 55);
  EXPECT_EQ(ClampVisiblePercent(65535), 90);
}

}  // namespace
}  // namespace zul
