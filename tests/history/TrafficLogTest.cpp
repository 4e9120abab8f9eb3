// The traffic log table: merging writes, the keys of each grouping, durability and repairs.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>

#include "history/LogTestSupport.h"
#include "history/TrafficLog.h"

namespace zul {
namespace {
namespace fs = std::filesystem;
using test::Date;

std::string ReadBytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs SQL on the file through a connection of its own, as another program would.
void ExecOn(const std::string& file, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

std::vector<std::string> MovedAside(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().rfind("bw.DB.damaged-", 0) == 0)
      found.push_back(e.path().string());
  return found;
}

// Bytes of one period on the LAN and Internet counters, with their sums.
TPeriodTotals Totals(uint64_t lanUp, uint64_t lanDn = 0, uint64_t wanUp = 0) {
  TPeriodTotals t{};
  t[ciLanUp] = lanUp;
  t[ciLanDown] = lanDn;
  t[ciWanUp] = wanUp;
  t[ciWanLanUp] = lanUp + wanUp;
  t[ciWanLanDown] = lanDn;
  return t;
}

class TrafficLog : public ::testing::Test {
 protected:
  void SetUp() override {
    Log.SetBusyTimeout(std::chrono::milliseconds(100));
    Log.Open(Dir);
  }
  std::string File() const { return Dir + "bw.DB"; }
  std::size_t Records() { return test::RecordCount(test::ReadTable(Log)); }
  void ExpectError(auto&& action, const char* text) {
    try {
      action();
      ADD_FAILURE() << "no error";
    } catch (const TLogError& e) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  }

  test::TTempDir Tmp;
  std::string Dir = Tmp.Path() + "db/";  // missing until Open creates it
  TTrafficLog Log;
};

TEST_F(TrafficLog, FirstWriteAppendsAndLaterWritesToTheKeyAddToItAcrossReopening) {
  EXPECT_TRUE(fs::is_regular_file(File()));
  EXPECT_EQ(Records(), 0u);
  const TDate day = Date(2026, 12, 9);
  Log.WritePeriod(kHourlyBase, 5, Totals(1536), day);
  auto rows = Log.Select("select * from bw.DB where Flag=2;");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (TLogRecord{day, 2, 5, 1.5, 0.0}));

  Log.WritePeriod(kHourlyBase, 5, Totals(512), day);
  EXPECT_EQ(Log.Select("select * from bw.DB where Flag=2;").at(0).Up, 2.0);
  Log.Close();
  Log.Open(Dir);
  Log.WritePeriod(kHourlyBase, 5, Totals(1024), day);
  EXPECT_EQ(Log.Select("select * from bw.DB where Flag=2;").at(0).Up, 3.0);
  EXPECT_EQ(Records(), 4u);
}

TEST_F(TrafficLog, EachViewTakesItsOwnSlotPairAndSlots8And9NeverReachTheTable) {
  TPeriodTotals t{};
  for (int k = 0; k < kTotalSlots; ++k) t[k] = static_cast<uint64_t>(k + 1) * 1024;
  t[8] = t[9] = ~uint64_t{0};
  Log.WritePeriod(kDailyBase, 58, t, Date(2026, 12, 7));
  // "Internet & LAN" slots 4/5, "Internet" 2/3, "LAN" 0/1, all PCs 6/7; in kilobytes.
  const double want[4][2] = {{5, 6}, {3, 4}, {1, 2}, {7, 8}};
  for (int v = 0; v < 4; ++v) {
    EXPECT_EQ(Log.Select(test::SelectAll(16 + v)),
              (std::vector<TLogRecord>{{Date(2026, 12, 7), 16 + v, 58, want[v][0], want[v][1]}}));
  }
  EXPECT_EQ(Records(), 4u);
}

TEST_F(TrafficLog, IsAPlainSqliteTableWithIsoDatesAndRealKilobytes) {
  Log.WritePeriod(kYearlyBase, 0, Totals(1024, 2048), Date(2026, 12, 31));
  Log.Close();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(File().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT CDate || ' ' || typeof(Flag) || ' ' || typeof(Up) || ' ' || "
                               "Up || ' ' || Dn FROM bw WHERE Flag = 66 AND Hour = 0",
                               -1, &st, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
               "2026-12-31 integer real 1.0 2.0");
  sqlite3_finalize(st);
  sqlite3_close(db);
}

TEST_F(TrafficLog, WritePeriodsStoresAllPeriodsOrNoneWhenOneRecordFails) {
  // Another program's trigger makes the yearly records fail after 16 good ones.
  ExecOn(File(),
         "CREATE TRIGGER refuse BEFORE INSERT ON bw WHEN NEW.Flag >= 64"
         " BEGIN SELECT RAISE(ABORT, 'refused'); END");
  const TDate day = Date(2026, 12, 9);
  std::vector<TPeriodWrite> batch = {{kHourlyBase, 3, Totals(1024), day}};
  for (const TPeriodWrite& p : DayPeriods(day, Totals(1024))) batch.push_back(p);
  EXPECT_THROW(Log.WritePeriods(batch), TLogError);
  EXPECT_EQ(Records(), 0u);
  ExecOn(File(), "DROP TRIGGER refuse");
  Log.WritePeriods(batch);
  EXPECT_EQ(Records(), 20u);
}

TEST_F(TrafficLog, AWriteUnderAnotherProgramsLockFailsWithoutTraceAndCanBeRetried) {
  {
    test::TForeignLock lock(File());
    ExpectError([&] { Log.WritePeriod(kHourlyBase, 1, Totals(2048), Date(2026, 1, 1)); }, "locked");
  }
  EXPECT_EQ(Records(), 0u);
  Log.WritePeriod(kHourlyBase, 1, Totals(2048), Date(2026, 1, 1));
  EXPECT_EQ(Log.Select(test::SelectAll(2)).at(0).Up, 2.0);
  EXPECT_THROW(Log.WritePeriod(kHourlyBase, 0, {}, TDate{}), TLogError);
  Log.Close();
  EXPECT_THROW(Log.WritePeriod(kHourlyBase, 1, Totals(2048), Date(2026, 1, 1)), TLogError);
}

TEST_F(TrafficLog, ASecondWriterIsRefusedUntilTheFirstCloses) {
  TTrafficLog second;
  ExpectError([&] { second.Open(Dir); }, "Another instance");
  EXPECT_FALSE(second.IsOpen());
  Log.Close();
  second.Open(Dir);
  EXPECT_TRUE(second.IsOpen());
}

TEST_F(TrafficLog, AFileLockedByAnotherProgramIsAnErrorAndIsNotMoved) {
  Log.WritePeriod(kHourlyBase, 1, Totals(1024), Date(2026, 1, 1));
  Log.Close();
  {
    test::TForeignLock lock(File(), "BEGIN EXCLUSIVE");
    ExpectError([&] { Log.Open(Dir); }, "locked");
    EXPECT_FALSE(Log.IsOpen());
  }
  EXPECT_TRUE(MovedAside(Dir).empty());
  Log.Open(Dir);
  EXPECT_EQ(Records(), 4u);
}

// Files in the log's place that are not our table.
struct TForeignFile {
  const char* Name;
  void (*Make)(const std::string& file);
};

const TForeignFile kForeignFiles[] = {
    {"RandomBytes",
     [](const std::string& file) {
       std::mt19937 rng(7);
       std::string bytes(8192, '\0');
       for (char& c : bytes) c = static_cast<char>(rng());
       std::ofstream(file, std::ios::binary) << bytes;
     }},
    {"OtherTable",
     [](const std::string& file) {
       ExecOn(file, "CREATE TABLE accounts (id INTEGER, name TEXT)");
     }},
    {"WrongColumns",
     [](const std::string& file) { ExecOn(file, "CREATE TABLE bw (CDate TEXT, Flag INTEGER)"); }},
    {"DamagedPages",
     [](const std::string& file) {
       ExecOn(file,
              "CREATE TABLE bw (CDate TEXT NOT NULL, Flag INTEGER NOT NULL, Hour INTEGER NOT NULL,"
              " Up REAL NOT NULL, Dn REAL NOT NULL, PRIMARY KEY (CDate, Flag, Hour));"
              "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
              " INSERT INTO bw SELECT '2026-01-01', i, i, 1.0, 1.0 FROM n");
       std::string bytes = ReadBytes(file);
       for (std::size_t i = 4096 + 100; i < bytes.size(); i += 997) bytes[i] = '\x5a';
       std::ofstream(file, std::ios::binary) << bytes;
     }},
};

class TrafficLogForeignFile : public ::testing::TestWithParam<TForeignFile> {};

TEST_P(TrafficLogForeignFile, IsMovedAsideUntouchedAndAFreshLogIsStartedWithOneNotice) {
  test::TTempDir tmp;
  GetParam().Make(tmp.Path() + "bw.DB");
  const std::string original = ReadBytes(tmp.Path() + "bw.DB");

  TTrafficLog log;
  log.Open(tmp.Path());
  const auto aside = MovedAside(tmp.Path());
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(ReadBytes(aside[0]), original);
  const std::string notice = log.TakeNotice();
  EXPECT_NE(notice.find(aside[0]), std::string::npos) << notice;
  EXPECT_EQ(log.TakeNotice(), "");

  log.WritePeriod(kHourlyBase, 0, Totals(1024), Date(2026, 6, 1));
  log.Close();
  log.Open(tmp.Path());
  EXPECT_EQ(log.TakeNotice(), "");
  EXPECT_EQ(MovedAside(tmp.Path()).size(), 1u);
  EXPECT_EQ(test::RecordCount(test::ReadTable(log)), 4u);
}

INSTANTIATE_TEST_SUITE_P(Files, TrafficLogForeignFile, ::testing::ValuesIn(kForeignFiles),
                         [](const auto& row) { return std::string(row.param.Name); });

// Keys of the periods that hold a day, as read off a calendar.
struct TDayKeys {
  TDate Day;
  int DailyHour;
  TDate Week, Month;
  int MonthHour;
};

class PeriodKeys : public ::testing::TestWithParam<TDayKeys> {};

TEST_P(PeriodKeys, DayPeriodsCarryTheDailyWeeklyMonthlyAndYearlyKeys) {
  const TDayKeys& k = GetParam();
  const auto p = DayPeriods(k.Day, TPeriodTotals{});
  const TDate yearEnd = Date(static_cast<int>(k.Day.year()), 12, 31);
  EXPECT_EQ(std::make_tuple(p[0].FlagBase, p[0].Hour, p[0].Date),
            std::make_tuple(kDailyBase, k.DailyHour, k.Day));
  EXPECT_EQ(std::make_tuple(p[1].FlagBase, p[1].Hour, p[1].Date),
            std::make_tuple(kWeeklyBase, 0, k.Week));
  EXPECT_EQ(std::make_tuple(p[2].FlagBase, p[2].Hour, p[2].Date),
            std::make_tuple(kMonthlyBase, k.MonthHour, k.Month));
  EXPECT_EQ(std::make_tuple(p[3].FlagBase, p[3].Hour, p[3].Date),
            std::make_tuple(kYearlyBase, 0, yearEnd));
}

INSTANTIATE_TEST_SUITE_P(
    Calendar, PeriodKeys,
    ::testing::Values(
        // Monday, Wednesday and Sunday of one week.
        TDayKeys{Date(2026, 12, 7), 58, Date(2026, 12, 13), Date(2026, 12, 31), 12},
        TDayKeys{Date(2026, 12, 9), 76, Date(2026, 12, 13), Date(2026, 12, 31), 12},
        TDayKeys{Date(2026, 12, 13), 105, Date(2026, 12, 13), Date(2026, 12, 31), 12},
        TDayKeys{Date(2024, 3, 31), 249, Date(2024, 3, 31), Date(2024, 3, 31), 3},
        TDayKeys{Date(2024, 4, 1), 10, Date(2024, 4, 7), Date(2024, 4, 30), 4},
        // A week that crosses the year, and a leap day.
        TDayKeys{Date(2026, 12, 29), 235, Date(2027, 1, 3), Date(2026, 12, 31), 12},
        TDayKeys{Date(2024, 2, 29), 237, Date(2024, 3, 3), Date(2024, 2, 29), 2}));

TEST_F(TrafficLog, AWeeklyWriteIsFoundUnderTheSundayThatEndsTheWeek) {
  Log.WritePeriods(DayPeriods(Date(2026, 12, 9), Totals(1024)));
  auto weekly = Log.Select("select * from bw.DB where Flag=34 and CDate=\"12/13/2026\";");
  ASSERT_EQ(weekly.size(), 1u);
  EXPECT_EQ(weekly[0].Hour, 0);
  EXPECT_EQ(Log.Select("select * from bw.DB where Flag=50 and CDate=\"12/31/2026\";").at(0).Hour,
            12);
}

}  // namespace
}  // namespace zul

namespace zul {
namespace {

// The writer thread: hand-overs return at once, batches land in order and once, a batch that
// fails waits at the head of the queue, and what is queued survives a close.
TEST_F(TrafficLog, TheWriterThreadWritesEachBatchOnceInOrderAndKeepsWhatFailed) {
  std::mutex m;
  std::vector<std::string> results;
  Log.Close();
  Log.OnWriteResult = [&](const std::string& error) {
    const std::lock_guard lock(m);
    results.push_back(error);
  };
  Log.SetRetryInterval(std::chrono::milliseconds(20));
  Log.Open(Dir);
  const TDate day = Date(2026, 12, 31);
  {
    test::TForeignLock lock(File());
    for (uint16_t h = 0; h < 3; ++h) Log.Submit({{kHourlyBase, h, Totals(1024 * (h + 1)), day}});
    EXPECT_FALSE(Log.Drain(std::chrono::milliseconds(300)));
    EXPECT_EQ(Log.QueuedBatches(), 3u);
  }
  ASSERT_TRUE(Log.Drain(std::chrono::seconds(10)));
  const auto rows = Log.Select(test::SelectAll(2));
  ASSERT_EQ(rows.size(), 3u);
  for (int h = 0; h < 3; ++h) EXPECT_EQ(rows[h], (TLogRecord{day, 2, h, h + 1.0, 0.0}));
  {
    const std::lock_guard lock(m);
    ASSERT_FALSE(results.empty());
    EXPECT_NE(results.front().find("locked"), std::string::npos) << results.front();
    EXPECT_EQ(results.back(), "");
  }

  // Queued while closed: kept, and written by the next open's writer.
  Log.Close();
  Log.Submit({{kHourlyBase, 7, Totals(1024), day}});
  EXPECT_EQ(Log.QueuedBatches(), 1u);
  Log.Open(Dir);
  ASSERT_TRUE(Log.Drain(std::chrono::seconds(10)));
  EXPECT_EQ(Log.Select(test::SelectAll(2)).size(), 4u);

  // What cannot be written by the end is handed back, not lost silently.
  {
    test::TForeignLock lock(File());
    Log.Submit({{kHourlyBase, 8, Totals(1024), day}});
    EXPECT_FALSE(Log.Drain(std::chrono::milliseconds(200)));
    const auto left = Log.TakeQueued();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0][0].Hour, 8);
  }
  EXPECT_EQ(Log.QueuedBatches(), 0u);
}

}  // namespace
}  // namespace zul
