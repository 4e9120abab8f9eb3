// The statistics window's rules without the window: periods of the presets on dates at the ends
// of months and years, the select texts the log receives, amounts and the "Period" column.
#include <gtest/gtest.h>

#include <cstdio>

#include "history/LogQuery.h"
#include "history/LogTestSupport.h"
#include "history/Period.h"

namespace zul {
namespace {
using test::Date;

std::string Mdy(TDate d) {
  return std::to_string(static_cast<unsigned>(d.month())) + "/" +
         std::to_string(static_cast<unsigned>(d.day())) + "/" +
         std::to_string(static_cast<int>(d.year()));
}

// What the pickers hold before a preset is applied, so that "left alone" shows.
const TDate kOldPicker1 = Date(2001, 2, 3);
const TDate kOldPicker2 = Date(2001, 4, 5);

struct TPresetCase {
  TDate Today;
  int Preset;
  TPeriodMode Mode;
  TDate Start;
  TDate End;
};

TEST(StatsPeriod, EveryPresetCoversItsDatesAndSetsThePickers) {
  const TPresetCase cases[] = {
      // Thursday 31 December 2026: the last day of a month and of a year.
      {Date(2026, 12, 31), tpToday, pmOneDate, Date(2026, 12, 31), {}},
      {Date(2026, 12, 31), tpYesterday, pmOneDate, Date(2026, 12, 30), {}},
      {Date(2026, 12, 31), tpLast7Days, pmRange, Date(2026, 12, 24), Date(2026, 12, 31)},
      {Date(2026, 12, 31), tpLastWeek, pmRange, Date(2026, 12, 21), Date(2026, 12, 27)},
      {Date(2026, 12, 31), tpThisMonth, pmRange, Date(2026, 12, 1), Date(2026, 12, 31)},
      {Date(2026, 12, 31), tpLastMonth, pmRange, Date(2026, 11, 1), Date(2026, 11, 30)},
      {Date(2026, 12, 31), tpThisYear, pmRange, Date(2026, 1, 1), Date(2026, 12, 31)},
      {Date(2026, 12, 31), tpLastYear, pmRange, Date(2025, 1, 1), Date(2025, 12, 31)},
      {Date(2026, 12, 31), tpAllTime, pmAllTime, {}, {}},
      // Friday 1 January 2027: every look back crosses the year end.
      {Date(2027, 1, 1), tpToday, pmOneDate, Date(2027, 1, 1), {}},
      {Date(2027, 1, 1), tpYesterday, pmOneDate, Date(2026, 12, 31), {}},
      {Date(2027, 1, 1), tpLast7Days, pmRange, Date(2026, 12, 25), Date(2027, 1, 1)},
      {Date(2027, 1, 1), tpLastWeek, pmRange, Date(2026, 12, 21), Date(2026, 12, 27)},
      {Date(2027, 1, 1), tpThisMonth, pmRange, Date(2027, 1, 1), Date(2027, 1, 31)},
      {Date(2027, 1, 1), tpLastMonth, pmRange, Date(2026, 12, 1), Date(2026, 12, 31)},
      {Date(2027, 1, 1), tpThisYear, pmRange, Date(2027, 1, 1), Date(2027, 12, 31)},
      {Date(2027, 1, 1), tpLastYear, pmRange, Date(2026, 1, 1), Date(2026, 12, 31)},
      {Date(2027, 1, 1), tpAllTime, pmAllTime, {}, {}},
      // Monday 7 and Sunday 13 December 2026: the week before is Monday 30 November to 6 December.
      {Date(2026, 12, 7), tpYesterday, pmOneDate, Date(2026, 12, 6), {}},
      {Date(2026, 12, 7), tpLastWeek, pmRange, Date(2026, 11, 30), Date(2026, 12, 6)},
      {Date(2026, 12, 13), tpLastWeek, pmRange, Date(2026, 11, 30), Date(2026, 12, 6)},
      {Date(2026, 12, 7), tpLastMonth, pmRange, Date(2026, 11, 1), Date(2026, 11, 30)},
      // Sunday 3 January 2027: the week before lies in the old year.
      {Date(2027, 1, 3), tpLastWeek, pmRange, Date(2026, 12, 21), Date(2026, 12, 27)},
      // First of March, in a leap year and in a common one.
      {Date(2028, 3, 1), tpYesterday, pmOneDate, Date(2028, 2, 29), {}},
      {Date(2028, 3, 1), tpLast7Days, pmRange, Date(2028, 2, 23), Date(2028, 3, 1)},
      {Date(2028, 3, 1), tpLastWeek, pmRange, Date(2028, 2, 21), Date(2028, 2, 27)},
      {Date(2028, 3, 1), tpLastMonth, pmRange, Date(2028, 2, 1), Date(2028, 2, 29)},
      {Date(2027, 3, 1), tpLastMonth, pmRange, Date(2027, 2, 1), Date(2027, 2, 28)},
      {Date(2027, 3, 1), tpLastWeek, pmRange, Date(2027, 2, 22), Date(2027, 2, 28)},
      // Nothing chosen: no period, pickers left alone.
      {Date(2026, 12, 31), -1, pmNone, {}, {}},
  };
  for (const TPresetCase& c : cases) {
    SCOPED_TRACE(Mdy(c.Today) + ", preset " + std::to_string(c.Preset));
    const TPeriodResult r = ComputePeriod({true, c.Preset, kOldPicker1, kOldPicker2}, c.Today);
    EXPECT_EQ(r.Period.PeriodMode, c.Mode);
    switch (c.Mode) {
      case pmOneDate:
        EXPECT_EQ(r.Period.PeriodStart, c.Start);
        EXPECT_EQ(r.Picker1, c.Start);
        EXPECT_EQ(r.Picker2, c.Start) << "both pickers show the one date";
        break;
      case pmRange:
        EXPECT_EQ(r.Period.PeriodStart, c.Start);
        EXPECT_EQ(r.Period.PeriodEnd, c.End);
        EXPECT_EQ(r.Picker1, c.Start);
        EXPECT_EQ(r.Picker2, c.End);
        break;
      default:
        EXPECT_EQ(r.Picker1, kOldPicker1);
        EXPECT_EQ(r.Picker2, kOldPicker2);
        break;
    }
    // Whatever the preset, the log's query layer understands the text and reads the same dates.
    const std::optional<std::string> sql = QueryText(tvInternet, lgDaily, r.Period);
    ASSERT_EQ(sql.has_value(), c.Mode != pmNone);
    if (!sql) continue;
    const TLogQuery q = ParseLogQuery(*sql);
    EXPECT_EQ(q.Flag, 17);
    if (c.Mode != pmAllTime) {
      EXPECT_EQ(q.From, c.Start) << *sql;
    }
    if (c.Mode == pmRange) {
      EXPECT_EQ(q.To, c.End) << *sql;
    }
  }
}

TEST(StatsPeriod, ACustomRangeIsTakenAsTheUserGaveItOrSwappedWhenBackwards) {
  const TDate today = Date(2026, 12, 7);
  const TPeriodResult forward =
      ComputePeriod({false, tpToday, Date(2026, 12, 1), Date(2026, 12, 7)}, today);
  EXPECT_EQ(forward.Period, (TPeriod{pmRange, Date(2026, 12, 1), Date(2026, 12, 7)}))
      << "the preset list does not count in custom mode";
  const TPeriodResult backwards =
      ComputePeriod({false, tpToday, Date(2027, 1, 2), Date(2026, 12, 30)}, today);
  EXPECT_EQ(backwards.Period, (TPeriod{pmRange, Date(2026, 12, 30), Date(2027, 1, 2)}));
  EXPECT_EQ(backwards.Picker1, Date(2026, 12, 30));
  EXPECT_EQ(backwards.Picker2, Date(2027, 1, 2));
  const TPeriodResult oneDay =
      ComputePeriod({false, -1, Date(2026, 2, 3), Date(2026, 2, 3)}, today);
  EXPECT_EQ(oneDay.Period, (TPeriod{pmRange, Date(2026, 2, 3), Date(2026, 2, 3)}));
}

TEST(StatsPeriod, SelectTextsAreExactlyThoseTheLogUnderstands) {
  struct TCase {
    int View;
    int Grouping;
    TPeriod Period;
    const char* Sql;  // nullptr: no query
  };
  const TCase cases[] = {
      {tvLan, lgYearly, {pmAllTime, {}, {}}, "select * from bw.DB where Flag=66;"},
      {tvInternetLan,
       lgHourly,
       {pmOneDate, Date(2026, 12, 6), {}},
       "select * from bw.DB where Flag=0 and CDate=\"12/06/2026\";"},
      {tvInternet,
       lgDaily,
       {pmRange, Date(2026, 12, 1), Date(2026, 12, 7)},
       "select * from bw.DB where Flag=17 and CDate>=\"12/01/2026\" and CDate<=\"12/07/2026\";"},
      {tvAllPcs,
       lgMonthly,
       {pmRange, Date(987, 1, 2), Date(2026, 10, 11)},
       "select * from bw.DB where Flag=51 and CDate>=\"01/02/0987\" and CDate<=\"10/11/2026\";"},
      {tvAllPcs, lgWeekly, {pmAllTime, {}, {}}, "select * from bw.DB where Flag=35;"},
      {-1, lgHourly, {pmAllTime, {}, {}}, nullptr},
      {tvLan, -1, {pmAllTime, {}, {}}, nullptr},
      {tvLan, lgHourly, {pmNone, {}, {}}, nullptr},
      {4, lgHourly, {pmAllTime, {}, {}}, nullptr},
      {tvLan, 5, {pmAllTime, {}, {}}, nullptr},
  };
  for (const TCase& c : cases) {
    const std::optional<std::string> sql = QueryText(c.View, c.Grouping, c.Period);
    if (c.Sql == nullptr) {
      EXPECT_FALSE(sql.has_value()) << "view " << c.View << ", grouping " << c.Grouping;
    } else {
      EXPECT_EQ(sql.value_or("(none)"), c.Sql);
    }
  }
}

TEST(StatsFormat, AmountsStepUpByPowersOf1024WithOneDecimal) {
  const long double kTB = 1024.0L * 1024 * 1024;  // in kilobytes
  const struct {
    long double Kb;
    const char* Text;
  } cases[] = {
      {0, "0.0 KB"},
      {0.04L, "0.0 KB"},
      {1.5L, "1.5 KB"},
      {1023.94L, "1023.9 KB"},
      {1023.96L, "1024.0 KB"},
      {1024, "1.0 MB"},
      {1536 * 1024.0L, "1.5 GB"},
      {1024.0L * 1024 - 1, "1024.0 MB"},
      {1024.0L * 1024, "1.0 GB"},
      {kTB, "1.0 TB"},
      {1023.9L * kTB, "1023.9 TB"},
      {1024 * kTB, ""},
      {5000 * kTB, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatKB(c.Kb), c.Text) << static_cast<double>(c.Kb);
  EXPECT_EQ(FormatKB(1536, ","), "1,5 MB") << "the locale's decimal separator";
}

TEST(StatsFormat, PeriodColumnFollowsTheGroupingOfTheRecord) {
  const struct {
    TLogRecord Record;
    const char* Text;
  } cases[] = {
      {{Date(2026, 12, 7), 0, 5, 0, 0}, "12/7/2026  05:00 - 05:59"},
      {{Date(2026, 12, 7), 2, 0, 0, 0}, "12/7/2026  00:00 - 00:59"},
      {{Date(2026, 12, 31), 3, 23, 0, 0}, "12/31/2026  23:00 - 23:59"},
      {{Date(2026, 12, 7), 17, 58, 0, 0}, "12/7/2026"},
      {{Date(2026, 12, 13), 33, 0, 0, 0}, "12/7/2026 - 12/13/2026"},
      {{Date(2027, 1, 3), 32, 0, 0, 0}, "12/28/2026 - 1/3/2027"},
      {{Date(2026, 3, 31), 48, 3, 0, 0}, "2026-3"},
      {{Date(2026, 12, 31), 51, 12, 0, 0}, "2026-12"},
      {{Date(2026, 12, 31), 66, 0, 0, 0}, "2026"},
      {{Date(2026, 12, 14), 81, 30, 0, 0}, "11/15/2026 - 12/14/2026"},  // a billing cycle
      {{Date(2026, 12, 31), 96, 0, 0, 0}, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PeriodText(c.Record, Mdy), c.Text) << "Flag " << c.Record.Flag;
}

}  // namespace
}  // namespace zul
