// The settings record in memory: its byte layout, the scramble, the defaults and damaged input.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "settings/CfgF.h"

namespace zul {
namespace {

// A record with every field set to bytes of its own, decoded from a file whose reserved bytes are
// 0xAB.
TCfgRec GoldenRecord() {
  TCfgRec r;
  // What only the file knows: the reserved bytes, kept through every save.
  for (std::size_t i : {7, 15, 22, 23, 42, 43, 51, 54, 55, 271, 342, 343}) r.Stored[i] = 0xAB;
  r.Version = 2009;
  r.OnTop = true;
  r.ShowCaption = true;
  r.StartMinimized = false;
  r.ShowAverage = true;
  r.Transparent = true;
  r.VisiblePercent = 0x1234;
  r.DisplayMode = 0x0102;
  r.RateUnit = 0x0304;
  r.AllInterfaces = true;
  r.InterfaceIndex = 65535;
  r.GridLines = true;
  r.ShowMaxValue = false;
  r.GridPeriod = 0x0506;
  r.ColorDownload = 0x00112233;
  r.ColorUpload = 0x44556677;
  r.ColorBoth = 0x8899AABB;
  r.ColorIdle = 0x00D0B0B0;
  r.Connection = 15;
  r.CustomKbps = -2;
  r.CustomPlus = 0x0A0B;
  r.NotifyEnabled = true;
  r.NotifyCondition = 0x0C0D;
  r.NotifyAmount = 0x01020304;
  r.NotifyUnit = 0x0E0F;
  r.NotifyTarget = 12;
  r.NotifyTime = 0x1011;
  r.NotifyTimeUnit = 0x1213;
  r.PlaySound = true;
  r.DisplayMessage = false;
  r.SoundFile = "a.wav";
  r.TrayView = 3;
  r.WindowVisible = {false, true, false, true};
  r.WindowRect[0] = {1, -1, 0x0100, 0x7F};
  r.WindowRect[3] = {2, 3, 4, 5};
  return r;
}

// The file's 344 bytes for GoldenRecord, 24 a line: every field little-endian at its place, the
// sound file as a length byte and 200 bytes, the reserved bytes (0xab) as they were stored.
TCfgImage GoldenImage() {
  static const char* const kHex =
      "d9070101000101ab34120201040301abffff01000605abab"
      "3322110077665544bbaa9988b0b0d0000f00ababfeffffff"
      "0b0a01ab0d0cabab040302010f0e0c001110131201000561"
      "2e7761760000000000000000000000000000000000000000"
      "000000000000000000000000000000000000000000000000"
      "000000000000000000000000000000000000000000000000"
      "000000000000000000000000000000000000000000000000"
      "000000000000000000000000000000000000000000000000"
      "000000000000000000000000000000000000000000000000"
      "000000000000000000000000000000000000000000000000"
      "000000000000000000000000000000000000000000000000"
      "00000000000000ab03000001000101000000ffffffff0001"
      "00007f000000000000000000000000000000000000000000"
      "000000000000000000000000000002000000030000000400"
      "000005000000abab";
  TCfgImage image{};
  const std::string hex = kHex;
  EXPECT_EQ(hex.size(), 2 * kCfgSize);
  for (std::size_t i = 0; i < kCfgSize && 2 * i + 1 < hex.size(); ++i)
    image[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return image;
}

TEST(CfgImage, EncodesEveryFieldAtItsPlaceAndDecodesTheImageBack) {
  const TCfgImage golden = GoldenImage();
  const TCfgImage image = EncodeCfg(GoldenRecord());
  for (std::size_t i = 0; i < kCfgSize; ++i) EXPECT_EQ(image[i], golden[i]) << "byte " << i;
  // Decoding is checked through the encoding just checked: a field read from the wrong place or
  // width comes back as other bytes.
  const TCfgRec decoded = DecodeCfg(golden);
  EXPECT_EQ(EncodeCfg(decoded), golden);
  EXPECT_EQ(decoded.SoundFile, "a.wav");
  EXPECT_EQ(decoded.Version, 2009);
}

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
