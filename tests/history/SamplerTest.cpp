// The per-second sampler with a clock the test moves: the history ring, the hour and day
// totals, and what reaches the traffic log around hour, day and clock changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "history/AppQuery.h"
#include "history/AppTestSupport.h"
#include "history/Export.h"
#include "history/LogTestSupport.h"
#include "history/Sampler.h"
#include "platform/ErrorReport.h"

namespace zul {
namespace {
using namespace std::chrono;
using test::Date;

// Local time in seconds from 1970-01-01 00:00 local; reads are counted.
class TFakeClock {
 public:
  void Set(TDate d, int h, int m, int s) {
    Secs = sys_days{d}.time_since_epoch().count() * 86400LL + h * 3600 + m * 60 + s;
  }
  TLocalTime Read() {
    ++Reads;
    const long long rest = Secs % 86400;
    Last = {TDate{sys_days{days{Secs / 86400}}}, static_cast<int>(rest / 3600),
            static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60)};
    return Last;
  }
  long long Secs = 0;
  int Reads = 0;
  TLocalTime Last;
};

// Bytes per second as classification counts them. kBusy is 1 KB/s of LAN upload, so a
// record's "LAN" upload in kilobytes is its seconds of kBusy; kBusier is twice that.
constexpr TCounterBlock kBusy = {1024, 2048, 512, 4096, 0, 0, 8192, 1024, 0};
constexpr TCounterBlock kBusier = {2048, 4096, 1024, 8192, 0, 0, 16384, 2048, 0};
constexpr TCounterBlock kQuiet = {};

class Sampler : public ::testing::Test {
 protected:
  void SetUp() override {
    Log.SetBusyTimeout(milliseconds(50));
    Log.Open(Dir);
    NewSampler();
  }
  void TearDown() override { zul::Sampler = nullptr; }

  void NewSampler() {
    S = std::make_unique<TSampler>(Tr, Log, [this] { return Clock.Read(); });
    // Each write's outcome is known at the tick that caused it.
    S->WriteWait = std::chrono::seconds(10);
    // The exit tries a locked log again until its deadline; the tests need not wait the 10 s.
    S->ExitWait = milliseconds(500);
    S->OnError = [this](const std::string& e) { Errors.push_back(e); };
    S->OnExitLoss = [this](const std::string& e) { Losses.push_back(e); };
  }
  void Start(TDate d, int h, int m, int s) {
    Clock.Set(d, h, m, s);
    S->ResetTotals();
  }
  // One tick per second of clock time.
  void Run(int seconds, const TCounterBlock& perSecond = kBusy) {
    for (int i = 0; i < seconds; ++i) {
      ++Clock.Secs;
      Tr.Counters = perSecond;
      S->SampleTick();
    }
  }
  // Exit, then start again on the same log (the totals are checked with it open).
  void ExitAndReopen() {
    S->FlushTotals();
    EXPECT_FALSE(Log.IsOpen());
    Log.Open(Dir);
    Tr = TTraffic{};
    NewSampler();
  }
  std::optional<double> LanUp(int grouping, TDate d, int hour) {
    for (const TLogRecord& r : Log.Select(test::SelectAll(grouping * 16 + tvLan)))
      if (r.CDate == d && r.Hour == hour) return r.Up;
    return std::nullopt;
  }
  std::size_t Records() { return test::RecordCount(test::ReadTable(Log)); }
  void ExpectConsistent() { test::ExpectConsistent(test::ReadTable(Log)); }

  test::TTempDir Tmp;
  std::string Dir = Tmp.Path() + "db/";
  TTrafficLog Log;
  TTraffic Tr;
  TFakeClock Clock;
  std::unique_ptr<TSampler> S;
  std::vector<std::string> Errors;
  std::vector<std::string> Losses;
};

// --- the second and the history ring ---

TEST_F(Sampler, TheRingKeeps499SamplesAndThenDropsTheOldest) {
  Start(Date(2026, 12, 9), 10, 0, 0);
  auto tick = [&](uint32_t value) {
    Tr.Counters[ciLanUp] = value;
    S->SampleTick();
  };
  for (uint32_t i = 1; i <= 499; ++i) tick(i);
  EXPECT_EQ(std::make_tuple(Tr.SampleCount(), Tr.HistoryHead, Tr.HistoryTail),
            std::make_tuple(499, 0, 499));
  tick(500);
  EXPECT_EQ(Tr.History[499][ciLanUp], 500u);
  EXPECT_EQ(std::make_tuple(Tr.SampleCount(), Tr.HistoryHead, Tr.HistoryTail),
            std::make_tuple(499, 1, 0));
  for (uint32_t i = 501; i <= 1700; ++i) tick(i);
  EXPECT_EQ(Tr.SampleCount(), 499);
  for (int i = 0; i < 499; ++i) ASSERT_EQ(Tr.Sample(i)[ciLanUp], 1202u + i);  // oldest first
}

TEST_F(Sampler, ASecondGetsItsSumsIsHandedOnAndIsThenCleared) {
  Start(Date(2026, 12, 9), 10, 0, 0);
  std::optional<TCounterBlock> seen;
  S->OnSecond = [&](const TCounterBlock& c) { seen = c; };
  Run(4, kQuiet);
  Tr.Counters = {100, 7, 50, 3, 0, 0, 0, 0, 0};
  S->SampleTick();
  const TCounterBlock want = {100, 7, 50, 3, 150, 10, 0, 0, 0};
  EXPECT_EQ(Tr.History[4], want);
  EXPECT_EQ(seen, want);
  EXPECT_EQ(Tr.LastSample, want);
  EXPECT_EQ(Tr.Counters, TCounterBlock{});
  EXPECT_EQ(Tr.HourTotals[ciWanLanUp], 150u);
}

TEST_F(Sampler, AThresholdCheckThatThrowsIsReportedAndTheSecondStillCompletes) {
  Start(Date(2026, 12, 9), 10, 0, 0);
  S->OnSecond = [](const TCounterBlock&) { throw std::runtime_error("sound failed"); };
  EXPECT_NO_THROW(Run(3));
  EXPECT_EQ(Tr.SampleCount(), 3);
  EXPECT_EQ(Tr.LastSample[ciLanUp], 1024u);
  EXPECT_EQ(Tr.Counters, TCounterBlock{});
  EXPECT_EQ(Tr.HourTotals[ciLanUp], 3u * 1024);
  EXPECT_EQ(Errors, std::vector<std::string>(3, "sound failed"));
}

TEST_F(Sampler, HourSecondsCountsFromOneAndSaturatesInsteadOfWrappingToZero) {
  Start(Date(2026, 12, 9), 10, 0, 0);
  Run(10);
  EXPECT_EQ(Tr.HourSeconds, 11);
  // A clock that stays in one hour for longer than 65535 seconds.
  TSampler stuck(Tr, Log, [] { return TLocalTime{Date(2026, 12, 9), 10, 0, 0}; });
  stuck.ResetTotals();
  EXPECT_EQ(Tr.HourSeconds, 1);
  uint16_t lowest = 0xFFFF;
  for (int i = 0; i < 70000; ++i) {
    stuck.SampleTick();
    lowest = std::min(lowest, Tr.HourSeconds);
  }
  EXPECT_EQ(Tr.HourSeconds, 0xFFFF);
  EXPECT_GE(lowest, 1);
}

TEST_F(Sampler, FreeFunctionsActOnTheProgramsSamplerAndDoNothingWithoutOne) {
  EXPECT_NO_THROW(zul::SampleTick());
  zul::Sampler = S.get();
  Clock.Set(Date(2026, 12, 9), 10, 0, 0);
  zul::ResetTotals();
  Tr.Counters[ciLanUp] = 5;
  zul::SampleTick();
  EXPECT_EQ(Tr.HourTotals[ciLanUp], 5u);
  zul::FlushTotals();
  EXPECT_FALSE(Log.IsOpen());
}

// --- hours and days in the log ---

TEST_F(Sampler, AnHourChangeIsSeenAtTheMinuteCheckAndTheLateSecondsStayInTheOldHour) {
  const TDate d = Date(2026, 12, 9);
  Start(d, 10, 30, 15);
  Run(60);  // the first check, at 10:31:15, is the first clock read since the start
  EXPECT_EQ(Clock.Reads, 2);
  EXPECT_EQ(std::make_pair(Clock.Last.Minute, Clock.Last.Second), std::make_pair(31, 15));
  Run(1725);                       // 11:00:00, before the check
  EXPECT_EQ(Clock.Reads, 1 + 29);  // the start and one read a minute, the last at 10:59:15
  EXPECT_EQ(Records(), 0u);
  Run(15);  // the check at 11:00:15
  EXPECT_EQ(LanUp(0, d, 10), 1800.0);
  EXPECT_EQ(std::make_tuple(Tr.CurrentHour, Tr.HourSeconds, Tr.HourTotals),
            std::make_tuple(uint16_t{11}, uint16_t{1}, TPeriodTotals{}));
  Run(15);
  ExitAndReopen();
  EXPECT_EQ(LanUp(0, d, 11), 15.0);
  EXPECT_EQ(LanUp(1, d, 76), 1815.0);
  ExpectConsistent();
}

TEST_F(Sampler, MidnightClosesHour23UnderTheDayThatEnded) {
  const TDate d = Date(2026, 12, 9), next = Date(2026, 12, 10);
  Start(d, 23, 58, 0);
  Run(120);  // the check at 00:00:00
  EXPECT_EQ(LanUp(0, d, 23), 120.0);
  EXPECT_EQ(LanUp(1, d, 76), 120.0);
  EXPECT_EQ(Records(), 5u * 4);
  EXPECT_EQ(Tr.DayTotals, TPeriodTotals{});
  EXPECT_EQ(S->HourDate(), next);
  Run(60);
  ExitAndReopen();
  EXPECT_EQ(LanUp(0, next, 0), 60.0);
  EXPECT_EQ(LanUp(1, next, 85), 60.0);
  EXPECT_EQ(LanUp(2, Date(2026, 12, 13), 0), 180.0);
  ExpectConsistent();
}

TEST_F(Sampler, TheDayEndsOfSunday31MarchAndMonday1April2024) {
  Start(Date(2024, 3, 31), 23, 0, 0);
  Run(25 * 3600 + 60);  // 00:01 on Tuesday 2 April
  EXPECT_EQ(LanUp(1, Date(2024, 3, 31), 249), 3600.0);
  EXPECT_EQ(LanUp(2, Date(2024, 3, 31), 0), 3600.0);
  EXPECT_EQ(LanUp(3, Date(2024, 3, 31), 3), 3600.0);
  EXPECT_EQ(LanUp(1, Date(2024, 4, 1), 10), 86400.0);
  EXPECT_EQ(LanUp(2, Date(2024, 4, 7), 0), 86400.0);
  EXPECT_EQ(LanUp(3, Date(2024, 4, 30), 4), 86400.0);
  EXPECT_EQ(LanUp(4, Date(2024, 12, 31), 0), 90000.0);
  // 25 hours, 2 days, 2 weeks, 2 months, 1 year; nothing of 2 April yet.
  EXPECT_EQ(Records(), (25u + 2 + 2 + 2 + 1) * 4);
  ExitAndReopen();
  EXPECT_EQ(LanUp(0, Date(2024, 4, 2), 0), 60.0);
  EXPECT_EQ(LanUp(2, Date(2024, 4, 7), 0), 86460.0);
  EXPECT_EQ(Records(), (26u + 3 + 2 + 2 + 1) * 4);
  ExpectConsistent();
}

TEST_F(Sampler, ExitAndRestartInOneHourMergeIntoTheSameRecords) {
  const TDate d = Date(2026, 12, 9);
  Start(d, 14, 0, 0);
  Run(1200);
  ExitAndReopen();
  EXPECT_EQ(LanUp(0, d, 14), 1200.0);
  EXPECT_EQ(LanUp(1, d, 76), 1200.0);
  Start(d, 14, 40, 0);
  Run(600, kBusier);
  ExitAndReopen();
  EXPECT_EQ(LanUp(0, d, 14), 2400.0);
  EXPECT_EQ(LanUp(1, d, 76), 2400.0);
  EXPECT_EQ(LanUp(2, Date(2026, 12, 13), 0), 2400.0);
  EXPECT_EQ(LanUp(3, Date(2026, 12, 31), 12), 2400.0);
  EXPECT_EQ(LanUp(4, Date(2026, 12, 31), 0), 2400.0);
  EXPECT_EQ(Records(), 5u * 4);
  ExpectConsistent();
}

// --- clocks that jump ---

TEST_F(Sampler, SleepingOverMidnightDatesEachHourByItsOwnDay) {
  const TDate d = Date(2026, 12, 9), next = Date(2026, 12, 10);
  Start(d, 23, 0, 0);
  Run(1800);
  Clock.Set(next, 8, 10, 0);  // woken up
  Run(60, kQuiet);            // the first check after waking
  EXPECT_EQ(LanUp(0, d, 23), 1800.0);
  EXPECT_EQ(LanUp(1, d, 76), 1800.0);
  Run(1200, kBusier);
  ExitAndReopen();
  EXPECT_EQ(LanUp(0, next, 8), 2400.0);
  EXPECT_EQ(LanUp(1, next, 85), 2400.0);
  EXPECT_EQ(LanUp(2, Date(2026, 12, 13), 0), 4200.0);
  EXPECT_EQ(Records(), (2u + 2 + 1 + 1 + 1) * 4);  // no hour 23 of the 10th, no 8 of the 9th
  ExpectConsistent();
}

TEST_F(Sampler, AMidnightSkippedByADaylightSavingChangeStillEndsTheDay) {
  const TDate d = Date(2026, 3, 28), next = Date(2026, 3, 29);
  Start(d, 23, 30, 0);
  Run(1799);                   // 23:59:59
  Clock.Set(next, 0, 59, 59);  // the next second is 01:00:00
  Run(1);                      // the check at 01:00:00
  EXPECT_EQ(LanUp(0, d, 23), 1800.0);
  EXPECT_EQ(LanUp(1, d, 231), 1800.0);
  Run(1800, kBusier);
  ExitAndReopen();
  EXPECT_EQ(LanUp(0, next, 1), 3600.0);
  EXPECT_EQ(LanUp(1, next, 233), 3600.0);
  EXPECT_FALSE(LanUp(0, next, 0).has_value());
  EXPECT_EQ(LanUp(3, Date(2026, 3, 31), 3), 5400.0);
  ExpectConsistent();
}

TEST_F(Sampler, AClockSetBackClosesTheHourAndCountsNoSecondTwice) {
  const TDate d = Date(2026, 12, 9);
  Start(d, 10, 0, 0);
  Run(2700);  // 10:45:00
  Clock.Set(d, 9, 50, 0);
  Run(60, kQuiet);    // the check at 09:51:00 closes hour 10
  Run(540, kBusier);  // the check at 10:00:00 closes hour 9
  Run(600);
  ExitAndReopen();
  EXPECT_EQ(LanUp(0, d, 10), 2700.0 + 600.0);
  EXPECT_EQ(LanUp(0, d, 9), 1080.0);
  EXPECT_EQ(LanUp(1, d, 76), 2700.0 + 1080.0 + 600.0);
  ExpectConsistent();
}

// --- a log that fails ---

TEST_F(Sampler, AFailedHourIsKeptReportedOnceAndWrittenOnceTheLockIsGone) {
  const TDate d = Date(2026, 12, 9);
  Start(d, 10, 59, 0);
  auto lock = std::make_unique<test::TForeignLock>(Dir + "bw.DB");
  EXPECT_NO_THROW(Run(60));  // the check at 11:00:00 fails
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("locked"), std::string::npos) << Errors[0];
  EXPECT_EQ(S->PendingWrites(), 1u);
  EXPECT_EQ(std::make_tuple(Tr.CurrentHour, Tr.HourSeconds, Tr.HourTotals),
            std::make_tuple(uint16_t{11}, uint16_t{1}, TPeriodTotals{}));

  Run(3600);  // every check of hour 11 fails again, and so does the one at 12:00:00
  EXPECT_EQ(Errors.size(), 1u);
  EXPECT_EQ(S->PendingWrites(), 2u);
  EXPECT_EQ(Records(), 0u);

  lock.reset();
  Run(60);
  EXPECT_EQ(S->PendingWrites(), 0u);
  EXPECT_EQ(LanUp(0, d, 10), 60.0);
  EXPECT_EQ(LanUp(0, d, 11), 3600.0);
  EXPECT_EQ(LanUp(1, d, 76), 3660.0);

  lock = std::make_unique<test::TForeignLock>(Dir + "bw.DB");
  Run(3600);  // a new fault after recovery is reported again
  EXPECT_EQ(Errors.size(), 2u);
  lock.reset();
  ExitAndReopen();
  EXPECT_EQ(LanUp(0, d, 12), 3600.0);  // failed at 13:00:00, written at exit
  EXPECT_EQ(LanUp(0, d, 13), 60.0);
  ExpectConsistent();
}

TEST_F(Sampler, ALogThatCannotBeWrittenNeverStopsTheTicksAndTheExitReportsTheLoss) {
  Log.Close();
  Start(Date(2026, 12, 9), 10, 59, 0);
  EXPECT_NO_THROW(Run(3 * 3600));
  EXPECT_EQ(Errors.size(), 1u);
  EXPECT_EQ(S->PendingWrites(), 3u);
  EXPECT_EQ(Tr.CurrentHour, 13);
  EXPECT_NO_THROW(S->FlushTotals());
  EXPECT_EQ(Errors.size(), 1u);
  ASSERT_EQ(Losses.size(), 1u);
  // 10800 s of 6 KB/s down and 1.5 KB/s up ("Internet & LAN").
  EXPECT_NE(Losses[0].find("4 hours (63.3 MB received, 15.8 MB sent) could not be saved"),
            std::string::npos)
      << Losses[0];
  EXPECT_EQ(S->PendingWrites(), 0u);
}

// --- the exit ---

TEST_F(Sampler, TheRunningSecondIsWrittenAtExitAndNeverTwice) {
  const TDate d = Date(2026, 12, 9);
  struct TRow {
    const char* Name;
    TCounterBlock Running;  // what the second that never finished counted
    bool TickAfterExit;
    double LanUpKB;  // the hour's "LAN" upload in the log
  } rows[] = {
      {"a quiet running second", kQuiet, false, 10},
      {"a busy running second", kBusier, false, 12},
      {"a tick after the exit", kBusier, true, 12},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    Start(d, 10, 0, 0);
    Run(10);
    Tr.Counters = row.Running;
    S->FlushTotals();
    EXPECT_EQ(Tr.Counters, TCounterBlock{});
    if (row.TickAfterExit) S->SampleTick();
    EXPECT_EQ(Tr.HourTotals, TPeriodTotals{});
    Log.Open(Dir);
    EXPECT_EQ(LanUp(0, d, 10), row.LanUpKB);
    EXPECT_EQ(LanUp(1, d, 76), row.LanUpKB);
    EXPECT_EQ(Losses, std::vector<std::string>{});
    // Each row starts from an empty log.
    Log.Close();
    std::filesystem::remove_all(Dir);
    Log.Open(Dir);
    Tr = TTraffic{};
    NewSampler();
  }
}

TEST_F(Sampler, TheExitReportIsWrittenEvenWhileTheLogsReportStands) {
  const TDate d = Date(2026, 12, 9);
  Start(d, 10, 59, 0);
  S->OnError = [](const std::string& e) { ReportError("log.write", e); };
  S->OnExitLoss = nullptr;  // the program's own way: ReportAlways
  std::vector<std::string> shown;
  SetErrorSink([&](const std::string& text) { shown.push_back(text); });
  auto lock = std::make_unique<test::TForeignLock>(Dir + "bw.DB");
  Run(120);  // the check at 11:00:00 fails and its report stands
  ASSERT_EQ(shown.size(), 1u);
  testing::internal::CaptureStderr();
  S->FlushTotals();
  const std::string err = testing::internal::GetCapturedStderr();
  SetErrorSink(nullptr);
  ClearError("log.write");
  ClearError("exit.totals");
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_NE(shown[1].find("2 hours (720.0 KB received, 180.0 KB sent) could not be saved"),
            std::string::npos)
      << shown[1];
  EXPECT_NE(err.find(shown[1]), std::string::npos) << err;
}

TEST_F(Sampler, TheTickNeverWaitsForALockedLogAndTheHourIsWrittenOnceItIsGone) {
  // As in the program: the main thread only hands the hour over.
  Log.SetBusyTimeout(std::chrono::seconds(3));
  S->WriteWait = milliseconds(0);
  const TDate d = Date(2026, 12, 9);
  Start(d, 10, 59, 0);
  auto lock = std::make_unique<test::TForeignLock>(Dir + "bw.DB");
  const auto before = std::chrono::steady_clock::now();
  Run(120);  // the hour change at 11:00:00 and the check at 11:01:00, both while locked
  const auto took = std::chrono::steady_clock::now() - before;
  // A tick that waited for the lock would take the busy timeout, 3 s, at least.
  EXPECT_LT(took, std::chrono::seconds(2));
  lock.reset();
  ASSERT_TRUE(Log.Drain(std::chrono::seconds(10)));
  EXPECT_EQ(LanUp(0, d, 10), 60.0);
  EXPECT_EQ(S->PendingWrites(), 0u);
  ExitAndReopen();
  EXPECT_EQ(LanUp(0, d, 10), 60.0);  // written once
  ExpectConsistent();
}

TEST(SecondClock, AStalledLoopOwesOneStoredSecondPerSecondItMissed) {
  using namespace std::chrono;
  struct TRow {
    int ElapsedMs;
    int Due;
  } rows[] = {{1000, 1}, {960, 1}, {1400, 1}, {40, 1}, {2600, 3}, {3000, 3}, {10'000'000, 499}};
  for (const TRow& row : rows) {
    TSecondClock clock;
    const steady_clock::time_point t0{};
    ASSERT_EQ(clock.Due(t0), 1);
    EXPECT_EQ(clock.Due(t0 + milliseconds(row.ElapsedMs)), row.Due) << row.ElapsedMs << " ms";
  }
  // Early and late ticks do not drift into a lost or doubled second.
  TSecondClock clock;
  steady_clock::time_point t{};
  int total = clock.Due(t) - 1;
  for (int i = 0; i < 100; ++i) total += clock.Due(t += milliseconds(i % 2 == 0 ? 1300 : 700));
  EXPECT_EQ(total, 100);
}

TEST_F(Sampler, ThreeSecondsOfAStalledLoopBecomeThreeColumnsNotOneTallOne) {
  Start(Date(2026, 12, 9), 10, 0, 0);
  Tr.Counters = {3000, 3001, 0, 0, 0, 0, 2, 0, 0};
  int steps = 0;
  S->SampleSeconds(3, [&] { ++steps; });
  EXPECT_EQ(steps, 3);
  ASSERT_EQ(Tr.SampleCount(), 3);
  const uint32_t lanDown[] = {1001, 1000, 1000};
  const uint32_t allPcsUp[] = {1, 1, 0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Tr.Sample(i)[ciLanUp], 1000u);
    EXPECT_EQ(Tr.Sample(i)[ciLanDown], lanDown[i]);
    EXPECT_EQ(Tr.Sample(i)[ciAllPcsUp], allPcsUp[i]);
  }
  EXPECT_EQ(Tr.HourTotals[ciLanDown], 3001u);
  EXPECT_EQ(Tr.HourSeconds, 4);
}

// --- seconds of more than 4 GiB ---

TEST_F(Sampler, SecondsOfMoreThan4GiBAreCountedWholeIntoTheHourAndTheLog) {
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  const TDate d = Date(2026, 12, 9);
  Start(d, 10, 59, 0);
  const struct {
    const char* Name;
    int Seconds;  // the seconds the timer owed at once
    uint64_t LanUp;
  } rows[] = {
      {"one second of 5 x 4 GiB and a byte", 1, 20 * kGiB + 1},
      {"three stalled seconds of 12 GiB and 2 bytes", 3, 12 * kGiB + 2},
  };
  uint64_t total = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    Tr.Counters[ciLanUp] = row.LanUp;
    Tr.Counters[ciWanUp] = row.LanUp;
    S->SampleSeconds(row.Seconds, {});
    uint64_t stored = 0;
    for (int i = 0; i < row.Seconds; ++i) {
      stored += Tr.Newest(i)[ciLanUp];
      EXPECT_EQ(Tr.Newest(i)[ciWanLanUp], 2 * Tr.Newest(i)[ciLanUp]);
    }
    EXPECT_EQ(stored, row.LanUp);
    total += row.LanUp;
    EXPECT_EQ(Tr.HourTotals[ciLanUp], total);
    EXPECT_EQ(Tr.HourTotals[ciWanLanUp], 2 * total);
  }
  Clock.Set(d, 11, 0, 0);
  Run(60 - Tr.MinuteTick, kQuiet);  // the hour check closes the hour
  const double kb = static_cast<double>(total) / 1024.0;
  EXPECT_EQ(LanUp(lgHourly, d, 10), kb);
  EXPECT_EQ(LanUp(lgDaily, d, 76), kb);
  ExpectConsistent();
}

// --- the exit and a lock another program holds ---

TEST_F(Sampler, TheExitTriesALockedLogAgainUntilItsDeadline) {
  Log.SetBusyTimeout(seconds(3));  // as in the program
  const TDate d = Date(2026, 12, 9);
  const struct {
    const char* Name;
    std::optional<milliseconds> ReleasedAfter;
    milliseconds ExitWait;
    bool Lost;
  } rows[] = {
      {"let go of 4 s into a 10 s exit", milliseconds(4000), milliseconds(10000), false},
      {"held past a 1 s exit", std::nullopt, milliseconds(1000), true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    Log.Close();
    std::filesystem::remove_all(Dir);
    Log.Open(Dir);
    Tr = TTraffic{};
    NewSampler();
    Losses.clear();
    S->ExitWait = row.ExitWait;
    Start(d, 10, 0, 0);
    Run(120);
    auto lock = std::make_unique<test::TForeignLock>(Dir + "bw.DB");
    std::jthread release;
    if (row.ReleasedAfter)
      release = std::jthread([&, after = *row.ReleasedAfter] {
        std::this_thread::sleep_for(after);
        lock.reset();
      });
    const auto start = steady_clock::now();
    S->FlushTotals();
    const auto took = steady_clock::now() - start;
    if (release.joinable()) release.join();
    lock.reset();
    EXPECT_LT(took, row.ExitWait + seconds(2)) << "the exit keeps to its deadline";
    ASSERT_EQ(Losses.size(), row.Lost ? 1u : 0u);
    if (row.Lost) {
      EXPECT_NE(Losses[0].find("1 hour (720.0 KB received"), std::string::npos) << Losses[0];
    }
    Log.Open(Dir);
    if (!row.Lost) {
      EXPECT_EQ(LanUp(lgHourly, d, 10), 120.0);
      EXPECT_EQ(LanUp(lgYearly, Date(2026, 12, 31), 0), 120.0);
    }
  }
}

// --- the running hour, for other programs ---

TEST_F(Sampler, TheRunningHourIsKeptBesideTheLogAndNeverCountedTwice) {
  const TDate d = Date(2026, 12, 9);
  using TSeen = std::vector<std::tuple<int, double, bool>>;  // hour, LAN upload KB, so far
  auto exported = [&](int grouping) {
    TSeen seen;
    for (const TLogRecord& r : ReadLogFile(Dir + "bw.DB", {grouping, tvLan, {}, {}}, 1000))
      seen.emplace_back(r.Hour, r.Up, r.SoFar);
    return seen;
  };
  // The side table is written by the log's own thread; every state on the way adds up.
  auto settle = [&](const TSeen& hourly, const TSeen& daily) {
    for (int i = 0; i < 500; ++i) {
      const TSeen h = exported(lgHourly), dd = exported(lgDaily);
      // Two reads are two snapshots: a write between them is no double count.
      if (exported(lgHourly) != h) continue;
      double sum = 0;
      for (const auto& row : h) sum += std::get<1>(row);
      EXPECT_EQ(dd.empty() ? 0.0 : std::get<1>(dd[0]), sum) << "counted twice or lost";
      if (h == hourly && dd == daily) return;
      std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(exported(lgHourly), hourly);
    EXPECT_EQ(exported(lgDaily), daily);
  };

  Start(d, 10, 58, 30);
  Run(60);  // the check at 10:59:30 keeps the running hour
  settle({{10, 60.0, true}}, {{76, 60.0, true}});
  EXPECT_EQ(Records(), 0u) << "the table itself holds finished hours only";
  Run(60);  // the check at 11:00:30 writes hour 10, and hour 11 starts from nothing
  settle({{10, 120.0, false}, {11, 0.0, true}}, {{76, 120.0, true}});
  Run(60);
  settle({{10, 120.0, false}, {11, 60.0, true}}, {{76, 180.0, true}});
  const TTotalsSoFar today = ReadTotalsSoFar(Dir + "bw.DB", tvLan, d, d);
  EXPECT_EQ(std::make_tuple(today.Up, today.Running), std::make_tuple(uint64_t{180 * 1024}, true));

  // The run ends without its exit: what it left beside the table goes at the next one's first
  // write, and only the new run's hour runs.
  Log.Close();
  Log.Open(Dir);
  Tr = TTraffic{};
  NewSampler();
  Start(d, 11, 10, 0);
  Run(60);
  settle({{10, 120.0, false}, {11, 60.0, true}}, {{76, 180.0, true}});

  S->FlushTotals();
  settle({{10, 120.0, false}, {11, 60.0, false}}, {{76, 180.0, false}});
  Log.Open(Dir);
  ExpectConsistent();
}

// --- the applications' rows ---

TEST_F(Sampler, TheApplicationsRowsGoWithTheirHourAtItsCloseAndAtExit) {
  TAppHours apps;
  S->SetAppHours(&apps);
  const TDate d = Date(2026, 12, 9);
  // Per second: an application's part of kBusy's Internet and LAN traffic.
  const TAppDeltas second = {{"firefox", {1000, 300, 2000, 24}}};
  auto run = [&](int seconds) {
    for (int i = 0; i < seconds; ++i) {
      apps.Add(second);
      Run(1);
    }
  };
  // kBusy per second: Internet 4096 down, 512 up; LAN 2048 down, 1024 up.
  auto expect = [&](int hour, uint64_t n, bool soFar) {
    return std::vector<TAppRecord>{
        {d, hour, "System", {n * 3096, n * 212, n * 48, n * 1000}, soFar},
        {d, hour, "firefox", {n * 1000, n * 300, n * 2000, n * 24}, soFar}};
  };
  Start(d, 10, 58, 30);
  run(120);  // the check at 11:00:30 closes hour 10 with all 120 seconds, as it does the views'
  EXPECT_EQ(ReadAppHours(Dir + "bw.DB", d, d, false, 1000), expect(10, 120, false));
  EXPECT_EQ(LanUp(lgHourly, d, 10), 120.0);
  run(30);
  S->FlushTotals();  // the exit writes hour 11's 30 seconds
  Log.Open(Dir);
  std::vector<TAppRecord> want = expect(10, 120, false);
  for (const TAppRecord& r : expect(11, 30, false)) want.push_back(r);
  EXPECT_EQ(ReadAppHours(Dir + "bw.DB", d, d, true, 1000), want);

  // Without hours to take them from, an hour carries no rows.
  NewSampler();
  Start(d, 12, 0, 0);
  Run(10);
  S->FlushTotals();
  Log.Open(Dir);
  EXPECT_EQ(ReadAppHours(Dir + "bw.DB", d, d, true, 1000), want);
  EXPECT_EQ(LanUp(lgHourly, d, 12), 10.0);
}

}  // namespace
}  // namespace zul
