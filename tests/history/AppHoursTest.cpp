// The applications' hours: the System row that makes the rows add up to the views, and the
// table of the log that stores them with the hour's records.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>

#include "history/AppHours.h"
#include "history/AppQuery.h"
#include "history/AppTestSupport.h"
#include "history/LogTestSupport.h"
#include "history/TrafficLog.h"

namespace zul {
namespace {
using test::Date;

// An hour of the views: Internet and LAN per direction, their sums as the sampler completes them.
TPeriodTotals View(uint64_t netDn, uint64_t netUp, uint64_t lanDn, uint64_t lanUp) {
  TPeriodTotals t{};
  t[ciWanDown] = netDn;
  t[ciWanUp] = netUp;
  t[ciLanDown] = lanDn;
  t[ciLanUp] = lanUp;
  t[ciWanLanDown] = netDn + lanDn;
  t[ciWanLanUp] = netUp + lanUp;
  return t;
}

TEST(AppHours, TheHourCloseAddsSystemSoThatTheRowsAddUpToTheViewNeverBelowZero) {
  struct TCase {
    const char* Name;
    std::vector<TAppDeltas> Seconds;
    TPeriodTotals Hour;
    TAppDeltas Want;
  };
  const TAppDeltas none;
  const std::vector<TCase> cases = {
      {"no application: all of it is System",
       {},
       View(10, 20, 30, 40),
       {{"System", {10, 20, 30, 40}}}},
      {"seconds of one name add up, System is the rest per direction",
       {{{"firefox", {3, 1, 0, 2}}}, {{"firefox", {4, 1, 5, 0}}, {"Other users", {1, 0, 0, 0}}}},
       View(10, 20, 30, 40),
       {{"Other users", {1, 0, 0, 0}}, {"System", {2, 18, 25, 38}}, {"firefox", {7, 2, 5, 2}}}},
      {"applications that counted a little more than the view leave System at zero there",
       {{{"ssh", {12, 5, 0, 0}}}},
       View(10, 20, 0, 0),
       {{"System", {0, 15, 0, 0}}, {"ssh", {12, 5, 0, 0}}}},
      {"rows equal to the view leave no System row; empty rows are left out",
       {{{"a", {10, 20, 30, 40}}, {"idle", {0, 0, 0, 0}}}},
       View(10, 20, 30, 40),
       {{"a", {10, 20, 30, 40}}}},
      {"a System row or a nameless one among the seconds is not an application",
       {{{"System", {9, 9, 9, 9}}, {"", {1, 1, 1, 1}}, {"b", {1, 1, 1, 1}}}},
       View(5, 5, 5, 5),
       {{"System", {4, 4, 4, 4}}, {"b", {1, 1, 1, 1}}}},
  };
  for (const TCase& c : cases) {
    TAppHours h;
    for (const TAppDeltas& s : c.Seconds) h.Add(s);
    EXPECT_EQ(h.Rows(c.Hour), c.Want) << c.Name;
    EXPECT_EQ(h.CloseHour(c.Hour), c.Want) << c.Name;
    EXPECT_EQ(h.Rows(TPeriodTotals{}), none) << c.Name << ": the next hour starts empty";
  }
}

TEST(AppHours, SinceStartHoldsTheHoursThatEndedAndTheRunningOne) {
  TAppHours h;
  h.Add({{"a", {1, 2, 3, 4}}});
  h.CloseHour(View(5, 2, 3, 4));
  h.Add({{"a", {1, 0, 0, 0}}, {"b", {0, 1, 0, 0}}});
  EXPECT_EQ(h.SinceStart(View(1, 1, 0, 0)),
            (TAppDeltas{{"System", {4, 0, 0, 0}}, {"a", {2, 2, 3, 4}}, {"b", {0, 1, 0, 0}}}));
}

// --- the log's table ---

class AppLog : public ::testing::Test {
 protected:
  void SetUp() override {
    Log.SetBusyTimeout(std::chrono::milliseconds(100));
    Log.Open(Dir);
  }
  std::string File() const { return Dir + "bw.DB"; }
  std::vector<TAppRecord> Hours() { return ReadAppHours(File(), {}, {}, false, 1000); }
  std::size_t ViewRecords() { return test::RecordCount(test::ReadTable(Log)); }
  void Exec(const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(File().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  test::TTempDir Tmp;
  std::string Dir = Tmp.Path() + "db/";
  TTrafficLog Log;
  const TDate Day = Date(2026, 12, 9);
};

TEST_F(AppLog, AnHoursRowsAreWrittenWithItsRecordsAndARewrittenHourAddsUp) {
  TPeriodWrite hour{kHourlyBase,
                    14,
                    View(10, 20, 30, 40),
                    Day,
                    {{"a", {1, 2, 3, 4}}, {"System", {9, 18, 27, 36}}}};
  std::vector<TPeriodWrite> batch{hour};
  const auto day = DayPeriods(Day, hour.Totals);
  batch.insert(batch.end(), day.begin(), day.end());
  Log.WritePeriods(batch);
  Log.WritePeriods(batch);
  EXPECT_EQ(Hours(), (std::vector<TAppRecord>{{Day, 14, "System", {18, 36, 54, 72}, false},
                                              {Day, 14, "a", {2, 4, 6, 8}, false}}));
  EXPECT_EQ(ViewRecords(), 5u * 4);
}

TEST_F(AppLog, AWriteThatFailsLeavesNeitherTheRecordsNorTheRows) {
  const TPeriodWrite hour{kHourlyBase, 14, View(10, 20, 30, 40), Day, {{"a", {1, 2, 3, 4}}}};
  {
    // Another program's lock fails the whole transaction, ...
    test::TForeignLock lock(File());
    EXPECT_THROW(Log.WritePeriods(std::span(&hour, 1)), TLogError);
  }
  // ... and so does a row the table refuses after the records went in.
  Exec("CREATE TRIGGER refuse BEFORE INSERT ON zul_apps BEGIN SELECT RAISE(ABORT, 'no'); END");
  EXPECT_THROW(Log.WritePeriods(std::span(&hour, 1)), TLogError);
  EXPECT_EQ(ViewRecords(), 0u);
  EXPECT_TRUE(Hours().empty());
  Exec("DROP TRIGGER refuse");
  Log.WritePeriods(std::span(&hour, 1));
  EXPECT_EQ(ViewRecords(), 4u);
  EXPECT_EQ(Hours().size(), 1u);
}

TEST_F(AppLog, AnOlderLogsFirstWriteThatFailsMakesTheTableAgainAtTheNext) {
  Log.Close();
  Exec(
      "DELETE FROM bw; DROP TABLE zul_apps; CREATE TABLE zul_running (CDate TEXT NOT NULL,"
      " Flag INTEGER NOT NULL, Hour INTEGER NOT NULL, Up REAL NOT NULL, Dn REAL NOT NULL,"
      " PRIMARY KEY (CDate, Flag, Hour)) WITHOUT ROWID;"
      "INSERT INTO zul_running VALUES ('2026-12-09', 2, 15, 1.0, 1.0);"
      "CREATE TRIGGER refuse BEFORE DELETE ON zul_running BEGIN SELECT RAISE(ABORT, 'no'); END");
  Log.Open(Dir);
  const TPeriodWrite hour{kHourlyBase, 14, View(10, 20, 30, 40), Day, {{"a", {1, 2, 3, 4}}}};
  // The running part that an earlier run left, cleared with the first write, fails it after the
  // table was made.
  EXPECT_THROW(Log.WritePeriods(std::span(&hour, 1)), TLogError);
  Exec("DROP TRIGGER refuse");
  Log.WritePeriods(std::span(&hour, 1));
  EXPECT_EQ(Hours(), (std::vector<TAppRecord>{{Day, 14, "a", {1, 2, 3, 4}, false}}));
}

TEST_F(AppLog, AnOlderLogKeepsItsRecordsAndGetsTheTableWhileAForeignOneIsLeftAlone) {
  struct TCase {
    const char* Name;
    const char* Before;  // what the log held besides its records
    std::size_t Rows;    // application rows read back
    const char* Notice;  // in the open's notice
  };
  const std::vector<TCase> cases = {
      {"older log", "", 1, nullptr},
      {"foreign table", "CREATE TABLE zul_apps (Name TEXT, Bytes INTEGER)", 0, "did not make"},
  };
  for (const TCase& c : cases) {
    Log.Close();
    test::TTempDir tmp;
    Dir = tmp.Path();
    Exec(
        "CREATE TABLE bw (CDate TEXT NOT NULL, Flag INTEGER NOT NULL, Hour INTEGER NOT NULL,"
        " Up REAL NOT NULL, Dn REAL NOT NULL, PRIMARY KEY (CDate, Flag, Hour)) WITHOUT ROWID;"
        "INSERT INTO bw VALUES ('2026-12-08', 2, 3, 1.5, 2.5)");
    if (*c.Before != '\0') Exec(c.Before);
    Log.Open(Dir);
    const std::string notice = Log.TakeNotice();
    if (c.Notice != nullptr)
      EXPECT_NE(notice.find(c.Notice), std::string::npos) << c.Name << ": " << notice;
    else
      EXPECT_EQ(notice, "") << c.Name;
    const TPeriodWrite hour{kHourlyBase, 14, View(10, 20, 30, 40), Day, {{"a", {1, 2, 3, 4}}}};
    Log.WritePeriods(std::span(&hour, 1));
    EXPECT_EQ(ViewRecords(), 5u) << c.Name;
    EXPECT_EQ(Log.Select(test::SelectAll(2))[0].Up, 1.5) << c.Name;
    if (c.Rows > 0) {
      EXPECT_EQ(Hours().size(), c.Rows) << c.Name;
    } else {
      EXPECT_THROW(Hours(), TLogError) << c.Name << ": a foreign table is refused when read";
    }
    Log.Close();
  }
}

TEST_F(AppLog, TheRunningHoursRowsAreKeptBesideTheTableUntilTheHourIsHandedOver) {
  const TPeriodWrite running{kHourlyBase, 15, View(1, 1, 1, 1), Day, {{"a", {1, 1, 1, 1}}}};
  const TPeriodWrite closed{kHourlyBase, 14, View(1, 1, 1, 1), Day, {{"a", {2, 2, 2, 2}}}};
  Log.SetRunning({running});
  ASSERT_TRUE(Log.Drain(std::chrono::seconds(5)));
  auto read = [&] { return ReadAppHours(File(), Day, Day, true, 1000); };
  EXPECT_EQ(read(), (std::vector<TAppRecord>{{Day, 15, "a", {1, 1, 1, 1}, true}}));
  Log.Submit({closed});
  ASSERT_TRUE(Log.Drain(std::chrono::seconds(5)));
  EXPECT_EQ(read(), (std::vector<TAppRecord>{{Day, 14, "a", {2, 2, 2, 2}, false}}));
}

}  // namespace
}  // namespace zul
