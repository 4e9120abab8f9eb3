// The data plan without a window: billing cycles on an injected clock, the forecast, the alerts
// across restarts, the [DataPlan] section of zul.ini, and the billing-period grouping.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "history/DataPlan.h"
#include "history/Export.h"
#include "history/LogTestSupport.h"
#include "history/Period.h"

namespace zul {
namespace {
using test::Date;
namespace fs = std::filesystem;

constexpr uint64_t GB = 1'000'000'000ULL;

TPlanSettings Plan(uint64_t cap, int cycleDay) {
  TPlanSettings s;
  s.Enabled = true;
  s.CapBytes = cap;
  s.CycleDay = cycleDay;
  return s;
}

TEST(DataPlan, CyclesStartOnTheDayOrOnTheLastDayOfAShortMonth) {
  struct TCase {
    TDate Today;
    int CycleDay;
    TDate Start, End;
  };
  const std::vector<TCase> cases = {
      // 31 in February and April: the cycle starts on the month's last day.
      {Date(2026, 2, 15), 31, Date(2026, 1, 31), Date(2026, 2, 27)},
      {Date(2026, 2, 28), 31, Date(2026, 2, 28), Date(2026, 3, 30)},
      {Date(2026, 3, 30), 31, Date(2026, 2, 28), Date(2026, 3, 30)},
      {Date(2026, 3, 31), 31, Date(2026, 3, 31), Date(2026, 4, 29)},
      {Date(2026, 4, 29), 31, Date(2026, 3, 31), Date(2026, 4, 29)},
      {Date(2026, 4, 30), 31, Date(2026, 4, 30), Date(2026, 5, 30)},
      // 29 in a leap year and in the year after.
      {Date(2028, 2, 28), 29, Date(2028, 1, 29), Date(2028, 2, 28)},
      {Date(2028, 2, 29), 29, Date(2028, 2, 29), Date(2028, 3, 28)},
      {Date(2027, 2, 28), 29, Date(2027, 2, 28), Date(2027, 3, 28)},
      // Calendar months, and a cycle over the turn of the year.
      {Date(2026, 12, 31), 1, Date(2026, 12, 1), Date(2026, 12, 31)},
      {Date(2027, 1, 10), 15, Date(2026, 12, 15), Date(2027, 1, 14)},
      {Date(2027, 1, 15), 15, Date(2027, 1, 15), Date(2027, 2, 14)},
  };
  for (const TCase& c : cases) {
    const TCycle cycle = CycleOf(c.Today, c.CycleDay);
    EXPECT_EQ(cycle.Start, c.Start) << IsoDate(c.Today) << " day " << c.CycleDay;
    EXPECT_EQ(cycle.End, c.End) << IsoDate(c.Today) << " day " << c.CycleDay;
    // Cycles follow each other without a gap: the day after the end starts the next one.
    const TDate next{std::chrono::sys_days{cycle.End} + std::chrono::days{1}};
    EXPECT_EQ(CycleOf(next, c.CycleDay).Start, next) << IsoDate(c.Today);
  }
}

TEST(DataPlan, ForecastCountsLocalDaysAndWaitsForADayOfData) {
  struct TCase {
    const char* Name;
    TPlanSettings Settings;
    std::vector<TDayUse> Days;
    TPlanTime Now;
    bool TooEarly;
    std::optional<uint64_t> Forecast;
    std::optional<TDate> CapOn;
    uint64_t Budget;
  };
  // 1 GB on each day from 15 March, over the summer-time change of 29 March (a 23-hour day):
  // the pace is per day of the calendar, not per 24 hours.
  std::vector<TDayUse> march;
  for (int d = 15; d <= 31; ++d) march.push_back({Date(2026, 3, d), GB});
  for (int d = 1; d <= 3; ++d) march.push_back({Date(2026, 4, d), GB});
  march.push_back({Date(2026, 4, 4), GB / 2});  // half of today, at noon
  const std::vector<TCase> cases = {
      {"a summer-time change inside the cycle", Plan(25 * GB, 15), march,
       TPlanTime{Date(2026, 4, 4), 12 * 3600}, false,
       // 20.5 GB in 20.5 days: 1 GB a day over the cycle's 31 days; 4.5 GB to go.
       31 * GB, Date(2026, 4, 9), (25 * GB - 20 * GB - GB / 2) / 11},
      {"the first hours after set-up",
       Plan(GB, 7),
       {{Date(2026, 5, 7), 900'000'000}},
       TPlanTime{Date(2026, 5, 7), 15 * 3600},
       true,
       std::nullopt,
       std::nullopt,
       100'000'000 / 31},
      {"a day of data since the log began mid-cycle",
       Plan(10 * GB, 1),
       {{Date(2026, 6, 20), 2 * GB}, {Date(2026, 6, 21), GB}},
       TPlanTime{Date(2026, 6, 21), 0},
       false,
       3 * GB + 3 * GB * 10,
       Date(2026, 6, 23),
       7 * GB / 10},
      {"a cap already reached is dated by the day it was",
       Plan(3 * GB, 1),
       {{Date(2026, 6, 1), 2 * GB}, {Date(2026, 6, 2), 2 * GB}, {Date(2026, 5, 31), 9 * GB}},
       TPlanTime{Date(2026, 6, 3), 0},
       false,
       4 * GB + 2 * GB * 28,
       Date(2026, 6, 2),
       0},
  };
  for (const TCase& c : cases) {
    const TPlanStatus st = ComputePlanStatus(c.Settings, c.Days, c.Now);
    EXPECT_EQ(st.TooEarly, c.TooEarly) << c.Name;
    EXPECT_EQ(st.ForecastBytes, c.Forecast) << c.Name;
    EXPECT_EQ(st.CapReachedOn, c.CapOn) << c.Name;
    EXPECT_EQ(st.DailyBudgetBytes, c.Budget) << c.Name;
  }
}

TEST(DataPlan, EachAlertFiresOncePerCycleAcrossRestartsAndSleeps) {
  test::TTempDir tmp;
  const std::string file = tmp.Path() + kPlanStateFile;
  const TPlanSettings s = Plan(GB, 15);
  // One "run": the state as a new start reads it, the levels due, the state saved.
  auto run = [&](uint64_t used, TDate today) {
    TPlanAlertState state = LoadPlanAlerts(file);
    const TPlanStatus st = ComputePlanStatus(s, std::vector<TDayUse>{{today, used}}, {today, 0});
    const std::vector<int> due = DueAlerts(state, s, st);
    SavePlanAlerts(file, state);
    return due;
  };
  struct TStep {
    const char* Name;
    uint64_t Used;
    TDate Today;
    std::vector<int> Due;
  };
  const std::vector<TStep> steps = {
      {"below every level", 700'000'000, Date(2026, 3, 10), {}},
      {"two levels at once", 900'000'000, Date(2026, 3, 12), {80, 90}},
      {"a restart at the same use", 900'000'000, Date(2026, 3, 12), {}},
      {"the cap", GB, Date(2026, 3, 14), {100}},
      {"again after a crash", 2 * GB, Date(2026, 3, 14), {}},
      // The computer slept over the cycle's start: a new cycle, its own alerts.
      {"the next cycle, woken on its second day", 100'000'000, Date(2026, 3, 16), {}},
      {"the next cycle's 80 %", 800'000'000, Date(2026, 3, 20), {80}},
  };
  for (const TStep& step : steps) EXPECT_EQ(run(step.Used, step.Today), step.Due) << step.Name;

  // A larger cap forgets the levels no longer reached; a damaged file fires nothing twice in a
  // run but forgets the past.
  TPlanAlertState state = LoadPlanAlerts(file);
  const TPlanSettings bigger = Plan(2 * GB, 15);
  const TPlanStatus st = ComputePlanStatus(
      bigger, std::vector<TDayUse>{{Date(2026, 3, 20), 800'000'000}}, {Date(2026, 3, 20), 0});
  EXPECT_EQ(DueAlerts(state, bigger, st), std::vector<int>{});
  EXPECT_TRUE(state.Fired.empty());
  std::ofstream(file) << "garbage\n";
  EXPECT_EQ(LoadPlanAlerts(file), TPlanAlertState{});
}

TEST(DataPlan, TheSectionIsReadWithClearMessagesAndWrittenBesideTheRest) {
  struct TCase {
    const char* Section;
    const char* Error;  // a part of the message, or "" when it is fine
  };
  const std::vector<TCase> cases = {
      {"Enabled=true\nCapBytes=1000000000\nCycleDay=31\nAlertPercents=100, 80,90", ""},
      {"enabled = TRUE\ncapbytes=\"5\"\nview=3\ndirection=Upload", ""},
      {"Enabled=false\nCapBytes=0", ""},
      {"Enabled=true\nCapBytes=0", "CapBytes of 0"},
      {"Enabled=true", "CapBytes of 0 or none"},
      {"Enabled=true\nCapBytes=1000000000000000001", "CapBytes"},
      {"Enabled=true\nCapBytes=-5", "CapBytes"},
      {"CycleDay=0", "CycleDay"},
      {"CycleDay=32", "a day of the month from 1 to 31"},
      {"View=4", "View"},
      {"Direction=sideways", "both, download or upload"},
      {"AlertPercents=80,,90", "AlertPercents"},
      {"AlertPercents=0", "AlertPercents"},
      {"Sound=maybe", "true or false"},
  };
  for (const TCase& c : cases) {
    const std::string ini = std::string("[General]\nMetricsPort=9188\n[DataPlan]\n") + c.Section;
    const TPlanLoad r = ParsePlanSection(ini, "zul.ini");
    if (*c.Error == '\0') {
      EXPECT_EQ(r.Error, "") << c.Section;
    } else {
      EXPECT_NE(r.Error.find(c.Error), std::string::npos) << c.Section << ": " << r.Error;
      EXPECT_NE(r.Error.find("zul.ini"), std::string::npos) << r.Error;
      EXPECT_FALSE(r.Settings.Enabled) << c.Section;
    }
  }
  const TPlanLoad first = ParsePlanSection(std::string("[DataPlan]\n") + cases[0].Section, "");
  EXPECT_EQ(first.Settings.AlertPercents, (std::vector<int>{80, 90, 100}));
  EXPECT_EQ(first.Settings.CycleDay, 31);

  // Saving keeps the other sections and comments, replaces the plan's keys in place, and
  // reads back the same plan.
  test::TTempDir tmp;
  const std::string ini = tmp.Path() + "zul.ini";
  std::ofstream(ini) << "; mine\n[General]\nMetricsPort=9188\n\n[DataPlan]\nCapBytes=7\nOther=x\n";
  TPlanSettings s = Plan(2 * GB, 9);
  s.Direction = TPlanDirection::Download;
  s.AlertPercents = {50, 100};
  SavePlanSettings(ini, s);
  std::stringstream text;
  text << std::ifstream(ini).rdbuf();
  EXPECT_EQ(text.str().rfind(
                "; mine\n[General]\nMetricsPort=9188\n\n[DataPlan]\nCapBytes=2000000000\n", 0),
            0u)
      << text.str();
  EXPECT_NE(text.str().find("Other=x\n"), std::string::npos);
  EXPECT_EQ(LoadPlanSettings(ini).Settings, s);
  struct stat st {};
  ASSERT_EQ(stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Bad settings and an unreadable file change nothing that was saved.
  const std::string before = text.str();
  TPlanSettings bad = s;
  for (auto change : {+[](TPlanSettings& b) { b.CapBytes = 0; },
                      +[](TPlanSettings& b) { b.CapBytes = kPlanCapMax + 1; },
                      +[](TPlanSettings& b) { b.CycleDay = 32; }}) {
    bad = s;
    change(bad);
    EXPECT_THROW(SavePlanSettings(ini, bad), std::runtime_error);
  }
  std::stringstream after;
  after << std::ifstream(ini).rdbuf();
  EXPECT_EQ(after.str(), before);
  const std::string folder = tmp.Path() + "folder.ini";
  fs::create_directory(folder);
  try {
    SavePlanSettings(folder, s);
    ADD_FAILURE() << "a folder was taken for a settings file";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("cannot be read"), std::string::npos) << e.what();
  }
  EXPECT_NE(LoadPlanSettings(folder).Error.find("cannot be read"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(folder));
}

TEST(DataPlan, BillingPeriodsAddUpTheDaysOfEachCycle) {
  test::TTempDir tmp;
  {
    TTrafficLog log;
    log.Open(tmp.Path() + "db/");
    for (int d = 10; d <= 20; ++d) {
      TPeriodTotals t{};
      t[ciWanDown] = t[ciWanLanDown] = 1024 * static_cast<uint64_t>(d);
      t[ciWanUp] = t[ciWanLanUp] = 1024;
      for (const TPeriodWrite& w : DayPeriods(Date(2026, 3, d), t))
        log.WritePeriod(w.FlagBase, w.Hour, w.Totals, w.Date);
    }
  }
  TExportQuery q;
  q.Grouping = *ParseGroupingName("Billing");
  q.View = tvInternet;
  q.CycleDay = 15;
  q.From = Date(2026, 3, 14);
  q.To = Date(2026, 3, 15);
  const std::vector<TLogRecord> rows = ReadLogFile(tmp.Path() + "db/bw.DB", q);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].CDate, Date(2026, 3, 14));
  EXPECT_EQ(rows[0].Flag, kBillingBase + tvInternet);
  EXPECT_DOUBLE_EQ(rows[0].Dn, 10 + 11 + 12 + 13 + 14);
  EXPECT_EQ(rows[1].CDate, Date(2026, 4, 14));
  EXPECT_DOUBLE_EQ(rows[1].Dn, 15 + 16 + 17 + 18 + 19 + 20);
  EXPECT_DOUBLE_EQ(rows[1].Up, 6);
  std::ostringstream csv;
  WriteExport(csv, TExportFormat::Csv, rows);
  EXPECT_NE(csv.str().find("2026-04-14,,Internet,107520,6144,"), std::string::npos) << csv.str();
  EXPECT_EQ(PeriodText(rows[1], [](TDate d) { return IsoDate(d); }), "2026-03-15 - 2026-04-14");
}

}  // namespace
}  // namespace zul
