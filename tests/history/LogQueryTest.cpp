// The statistics window's select texts: what they mean, and that nothing else gets through.
#include <gtest/gtest.h>

#include "history/LogQuery.h"
#include "history/LogTestSupport.h"

namespace zul {
namespace {
using test::Date;
using TKind = TLogQuery::TKind;

TEST(LogQueryText, TheThreeFormsOfTheStatisticsWindowAreUnderstood) {
  TLogQuery q = ParseLogQuery("select * from bw.DB where Flag=66;");
  EXPECT_EQ(q.Kind, TKind::AllDates);
  EXPECT_EQ(q.Flag, 66);

  q = ParseLogQuery("select * from bw.DB where Flag=0 and CDate=\"12/06/2026\";");
  EXPECT_EQ(q.Kind, TKind::OneDate);
  EXPECT_EQ(q.Flag, 0);
  EXPECT_EQ(q.From, Date(2026, 12, 6));

  q = ParseLogQuery(
      "select * from bw.DB where Flag=17 and CDate>=\"12/01/2026\" and CDate<=\"12/07/2026\";");
  EXPECT_EQ(q.Kind, TKind::DateRange);
  EXPECT_EQ(q.Flag, 17);
  EXPECT_EQ(q.From, Date(2026, 12, 1));
  EXPECT_EQ(q.To, Date(2026, 12, 7));

  // Whitespace between the parts and the case of words do not matter.
  q = ParseLogQuery(
      "  SELECT *\tFROM BW.db WHERE flag = 3 AND cdate >= \"02/29/2024\"\n"
      "AND CDATE <= \"03/01/2024\" ;  \n");
  EXPECT_EQ(std::make_tuple(q.Kind, q.Flag, q.From, q.To),
            std::make_tuple(TKind::DateRange, 3, Date(2024, 2, 29), Date(2024, 3, 1)));
}

class LogQueryRejects : public ::testing::TestWithParam<const char*> {};

TEST_P(LogQueryRejects, AnyOtherTextAsATrafficLogError) {
  EXPECT_THROW(ParseLogQuery(GetParam()), TLogError) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LogQueryRejects,
    ::testing::Values(
        "", ";", "select * from bw.DB where Flag=1", "select * from bw.DB where Flag=1;;",
        "select * from bw.DB where Flag=1; drop table bw;",
        "select * from bw.DB where Flag=1 or 1=1;",
        "select * from bw.DB where Flag=1 and CDate=\"12/01/2026\" or \"\"=\"\";",
        "select * from bw.DB where Flag=1 and CDate=\"12/01/2026\"; delete from bw;",
        "select * from bw.DB where Flag=1 and CDate=\"12/01/2026\" --\";",
        "select * from bw.DB where Flag=1 and CDate=\"1' OR '1'='1\";",
        "select * from bw.DB where Flag=1 and CDate='12/01/2026';",
        "select * from bw.DB where Flag=1 and CDate=12/01/2026;",
        "select * from bw.DB where Flag=1 and CDate=\"12/01/2026;",
        "select * from bw.DB where Flag=1 and CDate=\"2026-12-01\";",
        "select * from bw.DB where Flag=1 and CDate=\"12/1/2026\";",
        "select * from bw.DB where Flag=1 and CDate=\"13/01/2026\";",
        "select * from bw.DB where Flag=1 and CDate=\"02/30/2026\";",
        "select * from bw.DB where Flag=1 and CDate=\"12/01/0000\";",
        "select * from bw.DB where Flag=1 and CDate<=\"12/01/2026\" and CDate>=\"12/07/2026\";",
        "select * from bw.DB where Flag=1 and CDate>=\"12/01/2026\";",
        "select * from bw.DB where Flag=-1;", "select * from bw.DB where Flag=1.5;",
        "select * from bw.DB where Flag=\"1\";", "select * from bw.DB where Flag=1234567890;",
        "select * from bw.DB where Flag=17x;", "select Up from bw.DB where Flag=1;",
        "select * from sqlite_master where Flag=1;", "select * from bw where Flag=1;",
        "select * from bw.DB where Hour=1;", "delete from bw.DB where Flag=1;",
        "select * from bw.DB where Flag=1 and CDate=\"12/01/2026\" and Hour=3;"));

// Records on both sides of a new year, stored out of key order.
class LogQuerySelect : public ::testing::Test {
 protected:
  void SetUp() override {
    Log.Open(Tmp.Path());
    for (TDate d : {Date(2027, 1, 4), Date(2026, 12, 28), Date(2027, 1, 5), Date(2026, 12, 27),
                    Date(2027, 5, 5), Date(2026, 12, 31), Date(2027, 1, 1)}) {
      for (uint16_t h : {uint16_t{9}, uint16_t{3}}) {
        TPeriodTotals t{};
        t[ciWanUp] = 1024;
        Log.WritePeriod(kHourlyBase, h, t, d);
      }
    }
  }
  std::vector<std::pair<TDate, int>> Keys(const std::string& sql) {
    std::vector<std::pair<TDate, int>> keys;
    for (const TLogRecord& r : Log.Select(sql)) {
      EXPECT_EQ(r.Flag, 1);
      keys.emplace_back(r.CDate, r.Hour);
    }
    return keys;
  }

  test::TTempDir Tmp;
  TTrafficLog Log;
};

TEST_F(LogQuerySelect, AllTimeListsEveryRecordOfTheFlagInKeyOrder) {
  const auto keys = Keys("select * from bw.DB where Flag=1;");
  const std::vector<std::pair<TDate, int>> want = {
      {Date(2026, 12, 27), 3}, {Date(2026, 12, 27), 9}, {Date(2026, 12, 28), 3},
      {Date(2026, 12, 28), 9}, {Date(2026, 12, 31), 3}, {Date(2026, 12, 31), 9},
      {Date(2027, 1, 1), 3},   {Date(2027, 1, 1), 9},   {Date(2027, 1, 4), 3},
      {Date(2027, 1, 4), 9},   {Date(2027, 1, 5), 3},   {Date(2027, 1, 5), 9},
      {Date(2027, 5, 5), 3},   {Date(2027, 5, 5), 9}};
  EXPECT_EQ(keys, want);
}

TEST_F(LogQuerySelect, OneDateListsOnlyThatDay) {
  const std::vector<std::pair<TDate, int>> want = {{Date(2026, 12, 31), 3},
                                                   {Date(2026, 12, 31), 9}};
  EXPECT_EQ(Keys("select * from bw.DB where Flag=1 and CDate=\"12/31/2026\";"), want);
  EXPECT_TRUE(Keys("select * from bw.DB where Flag=1 and CDate=\"12/30/2026\";").empty());
}

TEST_F(LogQuerySelect, ARangeComparesDatesAsDatesAcrossTheYear) {
  const auto keys =
      Keys("select * from bw.DB where Flag=1 and CDate>=\"12/28/2026\" and CDate<=\"01/04/2027\";");
  const std::vector<std::pair<TDate, int>> want = {{Date(2026, 12, 28), 3}, {Date(2026, 12, 28), 9},
                                                   {Date(2026, 12, 31), 3}, {Date(2026, 12, 31), 9},
                                                   {Date(2027, 1, 1), 3},   {Date(2027, 1, 1), 9},
                                                   {Date(2027, 1, 4), 3},   {Date(2027, 1, 4), 9}};
  EXPECT_EQ(keys, want);
  // As month-first text, 05/05/2027 would sort inside this range.
  EXPECT_EQ(
      Keys("select * from bw.DB where Flag=1 and CDate>=\"01/01/2026\" and CDate<=\"12/31/2026\";")
          .size(),
      6u);
}

TEST_F(LogQuerySelect, ARejectedTextRunsNothingAndLeavesTheTableAlone) {
  EXPECT_THROW(Log.Select("select * from bw.DB where Flag=1; drop table bw;"), TLogError);
  EXPECT_THROW(Log.Select("select * from bw.DB where Flag=1 and CDate=\"x\" or 1=1;"), TLogError);
  EXPECT_EQ(Keys("select * from bw.DB where Flag=1;").size(), 14u);
  EXPECT_EQ(Log.Select("select * from bw.DB where Flag=2;").size(), 14u);
}

}  // namespace
}  // namespace zul
