// The threshold check driven by the sampler with a clock the test moves: threshold and window
// arithmetic beyond 32 and 16 bits, what each target sums, when a window ends, and what a window
// that fires asks for.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "capture/Notify.h"
#include "history/LogTestSupport.h"
#include "history/Sampler.h"
#include "settings/CfgF.h"

namespace zul {
namespace {
using namespace std::chrono;

constexpr uint64_t k4G = 4294967296ull;
constexpr uint32_t kMax32 = 0xFFFFFFFFu;

struct TSettings {
  uint16_t Condition = 1;
  uint32_t Amount = 1000;
  uint16_t Unit = 0;
  uint16_t Target = 7;  // LAN upload
  uint16_t Time = 60;
  uint16_t TimeUnit = 0;
};

class Notify : public ::testing::Test {
 protected:
  void SetUp() override {
    Log.Open(Tmp.Path() + "db/");
    S = std::make_unique<TSampler>(Tr, Log, [this] { return Now(); });
    S->OnError = [this](const std::string& e) { SamplerErrors.push_back(e); };
    // What is due is recorded as the program's receivers would get it.
    S->OnSecond = [this](const TCounterBlock& counters) {
      const TNotifyDue due = CheckNotification(counters);
      if (due.SoundFile) Sounds.push_back({Second - Base, *due.SoundFile});
      if (due.Message) Warnings.push_back({Second - Base, *due.Message});
    };
    S->ResetTotals();

    SetDefaultCfg(Cfg, "");
    Cfg.NotifyEnabled = true;
    Cfg.PlaySound = false;
    Cfg.DisplayMessage = true;
  }
  void TearDown() override { SetDefaultCfg(Cfg, ""); }

  void Apply(const TSettings& s) {
    Cfg.NotifyCondition = s.Condition;
    Cfg.NotifyAmount = s.Amount;
    Cfg.NotifyUnit = s.Unit;
    Cfg.NotifyTarget = s.Target;
    Cfg.NotifyTime = s.Time;
    Cfg.NotifyTimeUnit = s.TimeUnit;
    ArmNotification();
  }
  // One sampler tick per second; the first second carries `first`, the rest `rest`.
  void Run(uint64_t seconds, const TCounterBlock& first, const TCounterBlock& rest = {}) {
    for (uint64_t i = 0; i < seconds; ++i) {
      ++Second;
      Tr.Counters = i == 0 ? first : rest;
      S->SampleTick();
    }
  }
  TLocalTime Now() const {
    const uint64_t secs = 10 * 3600 + Second;
    return {TDate{sys_days{days{20000 + static_cast<int>(secs / 86400)}}},
            static_cast<int>(secs / 3600 % 24), static_cast<int>(secs / 60 % 60),
            static_cast<int>(secs % 60)};
  }

  struct TCall {
    uint64_t At;
    std::string Text;
    bool operator==(const TCall&) const = default;
  };

  test::TTempDir Tmp;
  TTrafficLog Log;
  TTraffic Tr;
  std::unique_ptr<TSampler> S;
  uint64_t Second = 0;
  uint64_t Base = 0;  // calls are timed from here
  std::vector<TCall> Sounds, Warnings;
  std::vector<std::string> SamplerErrors;
};

TEST_F(Notify, ThresholdAndWindowLengthFollowTheirUnitsIn64Bits) {
  struct TRow {
    uint32_t Amount;
    uint16_t Unit;
    uint16_t Time;
    uint16_t TimeUnit;
    uint64_t Threshold;
    uint64_t Window;
  };
  const TRow rows[] = {
      {10000, 1, 60, 0, 10000ull * 1024, 60},
      {4, 3, 1, 3, k4G, 86400},
      {kMax32, 3, 2, 2, 4294967295ull * 1073741824ull, 7200},
      {7, 2, 30, 2, 7ull * 1048576, 108000},
      {1000, 0, 65535, 3, 1000, 65535ull * 86400},  // beyond 32 bits of seconds
      {1, 6, 5, 1, 1ull << 60, 300},
      {16, 6, 5, 9, std::numeric_limits<uint64_t>::max(), 5},  // saturates; odd unit: seconds
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(testing::Message() << r.Amount << " unit " << r.Unit << ", " << r.Time
                                    << " time unit " << r.TimeUnit);
    Run(3, {5, 5, 5, 5, 0, 0, 5, 5, 0});
    Apply({1, r.Amount, r.Unit, 2, r.Time, r.TimeUnit});
    EXPECT_EQ(NotifyState().Threshold, r.Threshold);
    EXPECT_EQ(NotifyState().WindowSeconds, r.Window);
    EXPECT_EQ(NotifyState().Accum, 0u);
    EXPECT_EQ(NotifyState().Ticks, 0u);
  }
}

TEST_F(Notify, AWindowIsJudgedInTheSecondThatCompletesIt) {
  const char* kAbove = "The data transfer has exceeded the threshold vale.";
  const char* kBelow = "The data transfer rate has dropped below the threshold vale.";
  struct TRow {
    const char* Name;
    TSettings Settings;
    TCounterBlock First;  // the first second; later seconds are quiet
    uint64_t Seconds;
    std::vector<TCall> Fired;
    uint64_t Accum, Ticks;  // after the run
  };
  const TCounterBlock lanUp1000 = {1000, 0, 0, 0, 0, 0, 0, 0, 0};
  const TCounterBlock lanUp1001 = {1001, 0, 0, 0, 0, 0, 0, 0, 0};
  const TCounterBlock full = {kMax32, 2, 0, 0, 0, 0, 0, 0, 0};
  const TCounterBlock lan300200 = {300, 200, 7, 9, 0, 0, 11, 13, 0};
  const TCounterBlock everything = {kMax32, kMax32, 9, 9, 0, 0, kMax32, kMax32, 0};
  const TRow rows[] = {
      {"1000 bytes do not exceed 1000", {1, 1000, 0, 7, 60, 0}, lanUp1000, 60, {}, 0, 0},
      {"1001 bytes exceed 1000", {1, 1000, 0, 7, 60, 0}, lanUp1001, 60, {{60, kAbove}}, 0, 0},
      {"nothing is judged before the window ends",
       {1, 1000, 0, 7, 60, 0},
       lanUp1001,
       59,
       {},
       1001,
       59},
      {"4 GB is above what one 32-bit second holds", {1, 4, 3, 7, 1, 0}, full, 1, {}, 0, 0},
      {"less than 4 GB fires for one full second",
       {0, 4, 3, 7, 1, 0},
       full,
       1,
       {{1, kBelow}},
       0,
       0},
      {"both directions add in 64 bits", {1, 4, 3, 2, 1, 0}, full, 1, {{1, kAbove}}, 0, 0},
      {"a day's window ends after 86400 s", {0, 1, 0, 7, 1, 3}, {}, 86400, {{86400, kBelow}}, 0, 0},
      {"30 hours end after 108000 s", {0, 1, 0, 7, 30, 2}, {}, 108000, {{108000, kBelow}}, 0, 0},
      {"less than 0 never fires", {0, 0, 0, 7, 1, 0}, {}, 5, {}, 0, 0},
      {"a window of 0 judges every second",
       {0, 1, 0, 7, 0, 0},
       {},
       3,
       {{1, kBelow}, {2, kBelow}, {3, kBelow}},
       0,
       0},
      {"target 8 adds LAN up and down", {1, 1000, 0, 8, 10, 0}, lan300200, 1, {}, 500, 1},
      {"target 10 is all PCs up", {1, 1000, 0, 10, 10, 0}, lan300200, 1, {}, 11, 1},
      {"target 3 is Internet down", {1, 1000, 0, 3, 10, 0}, lan300200, 1, {}, 9, 1},
      {"target 1 is Internet and LAN up", {1, 1000, 0, 1, 10, 0}, lan300200, 1, {}, 307, 1},
      {"target 12 sums nothing", {1, 0, 0, 12, 10, 0}, everything, 2, {}, 0, 2},
      {"target 65535 sums nothing and less than fires",
       {0, 1, 0, 65535, 2, 0},
       everything,
       4,
       {{2, kBelow}, {4, kBelow}},
       0,
       0},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Name);
    Warnings.clear();
    Base = Second;
    Apply(r.Settings);
    Run(r.Seconds, r.First);
    EXPECT_EQ(Warnings, r.Fired);
    EXPECT_EQ(NotifyState().Accum, r.Accum);
    EXPECT_EQ(NotifyState().Ticks, r.Ticks);
  }
  EXPECT_TRUE(SamplerErrors.empty());
}

TEST_F(Notify, ArmingStartsAFreshWindowAndEachWindowRereadsTheSettings) {
  Apply({1, 1000, 0, 7, 60, 0});
  Run(30, {5000, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(NotifyState().Accum, 5000u);
  EXPECT_EQ(NotifySecondsLeft(), 30u);

  // The options dialog re-arms: the 5000 bytes are gone and a full window starts.
  ArmNotification();
  EXPECT_EQ(NotifyState().Accum, 0u);
  EXPECT_EQ(NotifyState().Ticks, 0u);
  EXPECT_EQ(NotifySecondsLeft(), 60u);
  Run(60, {600, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_TRUE(Warnings.empty());  // with the 5000 kept, the old window would have fired at 60

  // A new amount and length wait for the end of the running window.
  Cfg.NotifyAmount = 500;
  Cfg.NotifyTime = 2;
  const TCounterBlock ten = {10, 0, 0, 0, 0, 0, 0, 0, 0};
  const TCounterBlock busy = {300, 0, 0, 0, 0, 0, 0, 0, 0};
  Run(60, ten, ten);  // 600 bytes: above 500, not above the 1000 this window was armed with
  EXPECT_TRUE(Warnings.empty());
  EXPECT_EQ(NotifyState().Threshold, 500u);
  EXPECT_EQ(NotifyState().WindowSeconds, 2u);
  Run(2, busy, busy);
  EXPECT_EQ(Warnings, (std::vector<TCall>{{152, kNotifyAboveText}}));

  // Switched off: nothing is counted.
  Cfg.NotifyEnabled = false;
  Run(1, busy);
  const TNotifyState idle = NotifyState();
  Run(5, busy, busy);
  EXPECT_EQ(NotifyState().Accum, idle.Accum);
  EXPECT_EQ(NotifyState().Ticks, idle.Ticks);
  EXPECT_EQ(Warnings.size(), 1u);
}

TEST_F(Notify, AWindowThatFiresAsksForTheSoundAndTheMessageTheSettingsWantAndRearms) {
  struct TRow {
    const char* Name;
    bool PlaySound, DisplayMessage;
    std::size_t Sounds, Warnings;
  };
  const TRow rows[] = {
      {"sound and message", true, true, 1, 1},
      {"sound alone", true, false, 1, 0},
      {"message alone", false, true, 0, 1},
      {"neither", false, false, 0, 0},
  };
  Cfg.SoundFile = "sounds/Alert.wav";
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Name);
    Sounds.clear();
    Warnings.clear();
    Base = Second;
    Cfg.PlaySound = r.PlaySound;
    Cfg.DisplayMessage = r.DisplayMessage;
    Apply({1, 10, 0, 7, 3, 0});
    const TCounterBlock busy = {500, 1, 2, 3, 0, 0, 4, 5, 0};
    Run(3, busy, busy);
    EXPECT_EQ(Sounds, std::vector<TCall>(r.Sounds, TCall{3, "sounds/Alert.wav"}));
    EXPECT_EQ(Warnings, std::vector<TCall>(r.Warnings, TCall{3, kNotifyAboveText}));
    // The second completed and the next window started from zero.
    const TCounterBlock done = {500, 1, 2, 3, 502, 4, 4, 5, 0};
    EXPECT_EQ(Tr.LastSample, done);
    EXPECT_EQ(Tr.Counters, TCounterBlock{});
    EXPECT_EQ(NotifyState().Accum, 0u);
    EXPECT_EQ(NotifyState().Ticks, 0u);
    // The next window asks again.
    Run(3, busy, busy);
    EXPECT_EQ(Sounds.size(), 2 * r.Sounds);
    EXPECT_EQ(Warnings.size(), 2 * r.Warnings);
  }
  EXPECT_TRUE(SamplerErrors.empty());
}

}  // namespace
}  // namespace zul
