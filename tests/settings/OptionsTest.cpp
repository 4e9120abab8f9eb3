// What OK stores and applies, without the dialog: the record field by field, the operations each
// change calls and their order, the number fields' forms and the sound file's cut.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "settings/Options.h"

namespace zul {
namespace {

using TCalls = std::vector<std::string>;

class TRecorder final : public TOptionEffects {
 public:
  void SetTopmost(bool on) override { Calls.push_back("SetTopmost(" + B(on) + ")"); }
  void SetAllCaptions(bool show) override { Calls.push_back("SetAllCaptions(" + B(show) + ")"); }
  void SetAllTransparency(bool on, uint16_t percent) override {
    Calls.push_back("SetAllTransparency(" + B(on) + "," + std::to_string(percent) + ")");
  }
  void StartAllWatchers() override { Calls.push_back("StartAllWatchers"); }
  void MonitorOneAdapter(int32_t index) override {
    Calls.push_back("MonitorOneAdapter(" + std::to_string(index) + ")");
  }
  void UpdateFullScale() override { Calls.push_back("UpdateFullScale"); }
  void ArmNotification() override { Calls.push_back("ArmNotification"); }
  void RepaintAll() override { Calls.push_back("RepaintAll"); }
  TCalls Calls;

 private:
  static std::string B(bool b) { return b ? "1" : "0"; }
};

std::u16string U(const std::string& ascii) {
  return {ascii.begin(), ascii.end()};
}

// The controls as the dialog fills them from `c`.
TOptionsInput Showing(const TCfgRec& c) {
  TOptionsInput in;
  in.OnTop = c.OnTop;
  in.ShowCaption = c.ShowCaption;
  in.StartMinimized = c.StartMinimized;
  in.ShowAverage = c.ShowAverage;
  in.Transparent = c.Transparent;
  in.VisiblePercent = c.VisiblePercent;
  in.DisplayMode = c.DisplayMode;
  in.RateUnit = c.RateUnit;
  in.AllInterfaces = c.AllInterfaces;
  in.Adapter = c.InterfaceIndex;
  in.GridLines = c.GridLines;
  in.ShowMaxValue = c.ShowMaxValue;
  in.GridPeriod = c.GridPeriod;
  in.ColorDownload = c.ColorDownload;
  in.ColorUpload = c.ColorUpload;
  in.ColorBoth = c.ColorBoth;
  in.ColorIdle = c.ColorIdle;
  in.Connection = c.Connection;
  in.CustomKbps = U(std::to_string(static_cast<uint32_t>(c.CustomKbps)));
  in.CustomPlus = U(std::to_string(c.CustomPlus));
  in.NotifyEnabled = c.NotifyEnabled;
  in.NotifyCondition = c.NotifyCondition;
  in.NotifyAmount = U(std::to_string(c.NotifyAmount));
  in.NotifyUnit = c.NotifyUnit;
  in.NotifyTarget = c.NotifyTarget;
  in.NotifyTime = U(std::to_string(c.NotifyTime));
  in.NotifyTimeUnit = c.NotifyTimeUnit;
  in.PlaySound = c.PlaySound;
  in.DisplayMessage = c.DisplayMessage;
  in.TrayView = c.TrayView;
  return in;
}

TCfgRec Defaults() {
  TCfgRec c;
  SetDefaultCfg(c, "/opt/zul/");
  return c;
}

TEST(Options, EachChangeIsStoredAndAppliedInTheOrderOfTheFields) {
  struct TRow {
    const char* What;
    std::function<void(TCfgRec&)> Start;  // the stored record before OK, from the defaults
    std::function<void(TOptionsInput&)> Edit;
    std::function<void(TCfgRec&)> Stored;  // what changes in the record
    TCalls Applied;
    bool Changed;
  };
  const auto none = [](auto&) {};
  const std::vector<TRow> rows = {
      {"nothing", none, none, none, {}, false},
      {"stored only",
       none,
       [](TOptionsInput& in) {
         in.StartMinimized = true;
         in.ShowAverage = true;
         in.PlaySound = false;
         in.DisplayMessage = true;
         in.TrayView = 3;
       },
       [](TCfgRec& c) {
         c.StartMinimized = true;
         c.ShowAverage = true;
         c.PlaySound = false;
         c.DisplayMessage = true;
         c.TrayView = 3;
       },
       {},
       true},
      {"every operation once, in order",
       none,
       [](TOptionsInput& in) {
         in.TrayView = 1;
         in.NotifyEnabled = true;
         in.CustomPlus = u"12";
         in.ColorIdle = 0x123456;
         in.AllInterfaces = false;
         in.VisiblePercent = 40;
         in.ShowCaption = false;
         in.OnTop = false;
       },
       [](TCfgRec& c) {
         c.TrayView = 1;
         c.NotifyEnabled = true;
         c.CustomPlus = 12;
         c.ColorIdle = 0x123456;
         c.AllInterfaces = false;
         c.VisiblePercent = 40;
         c.ShowCaption = false;
         c.OnTop = false;
       },
       {"SetTopmost(0)", "SetAllCaptions(0)", "SetAllTransparency(1,40)", "MonitorOneAdapter(0)",
        "UpdateFullScale", "ArmNotification", "RepaintAll"},
       true},
      {"transparency and opacity together are applied once",
       none,
       [](TOptionsInput& in) {
         in.Transparent = false;
         in.VisiblePercent = 30;
       },
       [](TCfgRec& c) {
         c.Transparent = false;
         c.VisiblePercent = 30;
       },
       {"SetAllTransparency(0,30)"},
       true},
      {"every graph option repaints once",
       none,
       [](TOptionsInput& in) {
         in.DisplayMode = 0;
         in.RateUnit = 1;
         in.GridLines = true;
         in.ShowMaxValue = true;
         in.GridPeriod = 3;
         in.ColorDownload = 1;
         in.ColorUpload = 2;
         in.ColorBoth = 3;
       },
       [](TCfgRec& c) {
         c.DisplayMode = 0;
         c.RateUnit = 1;
         c.GridLines = true;
         c.ShowMaxValue = true;
         c.GridPeriod = 3;
         c.ColorDownload = 1;
         c.ColorUpload = 2;
         c.ColorBoth = 3;
       },
       {"RepaintAll"},
       true},
      {"from all adapters to another one: the switch, then the adapter",
       none,
       [](TOptionsInput& in) {
         in.AllInterfaces = false;
         in.Adapter = 2;
       },
       [](TCfgRec& c) {
         c.AllInterfaces = false;
         c.InterfaceIndex = 2;
       },
       {"MonitorOneAdapter(2)", "MonitorOneAdapter(2)"},
       true},
      {"from one adapter to all",
       [](TCfgRec& c) { c.AllInterfaces = false; },
       [](TOptionsInput& in) { in.AllInterfaces = true; },
       [](TCfgRec& c) { c.AllInterfaces = true; },
       {"StartAllWatchers"},
       true},
      // The list is disabled under all; its selection moves only with adapters that come and go,
      // and reaches the file with the next change.
      {"another adapter under all is only remembered",
       none,
       [](TOptionsInput& in) { in.Adapter = 1; },
       [](TCfgRec& c) { c.InterfaceIndex = 1; },
       {},
       false},
      {"under all, a list that selects none keeps the remembered adapter",
       [](TCfgRec& c) { c.InterfaceIndex = 4; },
       [](TOptionsInput& in) { in.Adapter = -1; },
       none,
       {},
       false},
      {"the speed typed with blanks and a leading zero",
       none,
       [](TOptionsInput& in) { in.CustomKbps = u"\u00a0 0256\u3000"; },
       [](TCfgRec& c) { c.CustomKbps = 256; },
       {"UpdateFullScale", "RepaintAll"},
       true},
      {"the speed typed as stored, with a sign, still counts as typed",
       [](TCfgRec& c) { c.CustomKbps = 256; },
       [](TOptionsInput& in) { in.CustomKbps = u"+256"; },
       none,
       {"UpdateFullScale", "RepaintAll"},
       true},
      {"connection and speed rescale once",
       none,
       [](TOptionsInput& in) {
         in.Connection = 15;
         in.CustomKbps = u"2147483647";
         in.CustomPlus = u"65535";
       },
       [](TCfgRec& c) {
         c.Connection = 15;
         c.CustomKbps = 2147483647;
         c.CustomPlus = 65535;
       },
       {"UpdateFullScale", "RepaintAll"},
       true},
      {"the amount is compared as a number",
       [](TCfgRec& c) { c.NotifyAmount = 5; },
       [](TOptionsInput& in) { in.NotifyAmount = u"0005"; },
       none,
       {},
       false},
      {"the largest amount",
       none,
       [](TOptionsInput& in) { in.NotifyAmount = u"2147483647"; },
       [](TCfgRec& c) { c.NotifyAmount = 2147483647u; },
       {"ArmNotification"},
       true},
      {"the time is compared as typed",
       [](TCfgRec& c) { c.NotifyTime = 7; },
       [](TOptionsInput& in) { in.NotifyTime = u"07"; },
       none,
       {"ArmNotification"},
       true},
      {"every notification field arms once",
       none,
       [](TOptionsInput& in) {
         in.NotifyCondition = 1;
         in.NotifyUnit = 3;
         in.NotifyTarget = 11;
         in.NotifyTime = u"65535";
         in.NotifyTimeUnit = 2;
       },
       [](TCfgRec& c) {
         c.NotifyCondition = 1;
         c.NotifyUnit = 3;
         c.NotifyTarget = 11;
         c.NotifyTime = 65535;
         c.NotifyTimeUnit = 2;
       },
       {"ArmNotification"},
       true},
      {"a typed sound file",
       none,
       [](TOptionsInput& in) { in.SoundFile = "/snd/bell \xc3\xb6.wav"; },
       [](TCfgRec& c) { c.SoundFile = "/snd/bell \xc3\xb6.wav"; },
       {},
       true},
      {"a long sound file is cut before the character that passes 200 bytes",
       none,
       [](TOptionsInput& in) { in.SoundFile = std::string(199, 'a') + "\xc3\xb6" + "bc"; },
       [](TCfgRec& c) { c.SoundFile = std::string(199, 'a'); },
       {},
       true},
      {"a sound file of exactly 200 bytes is kept",
       none,
       [](TOptionsInput& in) { in.SoundFile = std::string(198, 'a') + "\xc3\xb6"; },
       [](TCfgRec& c) { c.SoundFile = std::string(198, 'a') + "\xc3\xb6"; },
       {},
       true},
  };
  for (const TRow& r : rows) {
    TCfgRec cfg = Defaults();
    r.Start(cfg);
    TCfgRec expected = cfg;
    r.Stored(expected);
    TOptionsInput in = Showing(cfg);
    r.Edit(in);
    TRecorder effects;
    EXPECT_EQ(ApplyOptions(in, cfg, effects), r.Changed) << r.What;
    EXPECT_EQ(effects.Calls, r.Applied) << r.What;
    EXPECT_EQ(EncodeCfg(cfg), EncodeCfg(expected)) << r.What;
    EXPECT_EQ(cfg.SoundFile, expected.SoundFile) << r.What;
  }
}

TEST(Options, NumberFieldsAcceptSignedDecimalIntegersOf32Bits) {
  struct TRow {
    std::u16string Text;
    std::optional<int32_t> Value;
  };
  const std::vector<TRow> rows = {
      {u"0", 0},
      {u"  42\t", 42},
      {u"\u2003-17\u00a0", -17},
      {u"+8", 8},
      {u"2147483647", 2147483647},
      {u"-2147483648", std::numeric_limits<int32_t>::min()},
      {u"2147483648", std::nullopt},
      {u"-2147483649", std::nullopt},
      {u"99999999999999999999", std::nullopt},
      {u"", std::nullopt},
      {u"  ", std::nullopt},
      {u"-", std::nullopt},
      {u"1 2", std::nullopt},
      {u"12k", std::nullopt},
      {u"0x10", std::nullopt},
      {u"\uff11", std::nullopt},  // a full-width digit is no digit here
  };
  for (const TRow& r : rows)
    EXPECT_EQ(IntegerOf(r.Text), r.Value) << std::string(r.Text.begin(), r.Text.end());
}

}  // namespace
}  // namespace zul
