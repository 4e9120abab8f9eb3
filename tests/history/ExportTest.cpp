// Exports of the traffic log: every grouping and view of a log written through the log's own
// writes around a year end, date ranges, the CSV and JSON texts, and logs that cannot be read.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "history/Export.h"
#include "history/LogTestSupport.h"

namespace zul {
namespace {
namespace fs = std::filesystem;
using test::Date;

std::string ReadBytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

// Byte counts that are no whole kilobytes, different in every slot: slot k of hour h holds
// (h + 1) * 1000 + k * 37.
TPeriodTotals Hour(int h) {
  TPeriodTotals t{};
  for (int k = 0; k < kTotalSlots; ++k)
    t[static_cast<std::size_t>(k)] = static_cast<uint64_t>((h + 1) * 1000 + k * 37);
  return t;
}

// (download slot, upload slot) of each view, written out apart from the code's table.
constexpr int kSlots[4][2] = {{5, 4}, {3, 2}, {1, 0}, {7, 6}};
constexpr const char* kNames[4] = {"Internet & LAN", "Internet", "LAN", "INTERNET (All PCs)"};

std::string Csv(std::span<const TLogRecord> rows) {
  std::ostringstream out;
  WriteExport(out, TExportFormat::Csv, rows);
  return out.str();
}

class Export : public ::testing::Test {
 protected:
  // 23:00 on Thursday 31 December 2026 and 0:00 on Friday 1 January 2027, each closing its day
  // as the sampler does.
  void SetUp() override {
    Log.Open(Dir);
    Log.WritePeriod(kHourlyBase, 23, Hour(0), Date(2026, 12, 31));
    Log.WritePeriod(kHourlyBase, 0, Hour(1), Date(2027, 1, 1));
    for (int d = 0; d < 2; ++d)
      for (const TPeriodWrite& p :
           DayPeriods(d == 0 ? Date(2026, 12, 31) : Date(2027, 1, 1), Hour(d)))
        Log.WritePeriod(p.FlagBase, p.Hour, p.Totals, p.Date);
  }
  std::string File() const { return Dir + "bw.DB"; }
  std::vector<TLogRecord> Read(TExportQuery q) { return ReadLogFile(File(), q, 200); }

  test::TTempDir Tmp;
  std::string Dir = Tmp.Path() + "db/";
  TTrafficLog Log;  // open throughout: the program runs while the export reads
};

TEST_F(Export, EveryGroupingAndViewGivesTheWrittenBytesInKeyOrder) {
  // Which of the two hours each record holds: (date, hour column, hours summed).
  struct TExpected {
    const char* Date;
    const char* Hour;
    std::vector<int> Hours;
  };
  const std::vector<std::vector<TExpected>> byGrouping = {
      {{"2026-12-31", "23", {0}}, {"2027-01-01", "0", {1}}},  // hourly
      {{"2026-12-31", "", {0}}, {"2027-01-01", "", {1}}},     // daily
      {{"2027-01-03", "", {0, 1}}},                           // weekly: one week, Monday to Sunday
      {{"2026-12-31", "", {0}}, {"2027-01-31", "", {1}}},     // monthly
      {{"2026-12-31", "", {0}}, {"2027-12-31", "", {1}}},     // yearly
  };
  for (int g = 0; g < 5; ++g) {
    for (int v = 0; v < 4; ++v) {
      std::string want = "date,hour,view,download_bytes,upload_bytes,so_far\r\n";
      for (const TExpected& e : byGrouping[static_cast<std::size_t>(g)]) {
        uint64_t down = 0, up = 0;
        for (int h : e.Hours) {
          down += Hour(h)[static_cast<std::size_t>(kSlots[v][0])];
          up += Hour(h)[static_cast<std::size_t>(kSlots[v][1])];
        }
        want += std::string(e.Date) + "," + e.Hour + "," + kNames[v] + "," + std::to_string(down) +
                "," + std::to_string(up) + ",\r\n";
      }
      EXPECT_EQ(Csv(Read({g, v, {}, {}})), want) << "grouping " << g << ", view " << v;
    }
  }
  // Without a view, the four come in key order: by date, then by view.
  const std::vector<TLogRecord> all = Read({lgDaily, {}, {}, {}});
  ASSERT_EQ(all.size(), 8u);
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].CDate, i < 4 ? Date(2026, 12, 31) : Date(2027, 1, 1));
    EXPECT_EQ(all[i].Flag, 16 + static_cast<int>(i % 4));
  }
}

TEST_F(Export, ARangeTakesThePeriodsThatOverlapItAcrossTheYearEnd) {
  struct TCase {
    int Grouping;
    std::optional<TDate> From, To;
    std::vector<TDate> Dates;
  };
  const TDate dec31 = Date(2026, 12, 31), jan1 = Date(2027, 1, 1);
  const std::vector<TCase> cases = {
      {lgHourly, dec31, jan1, {dec31, jan1}},
      {lgHourly, jan1, {}, {jan1}},
      {lgHourly, {}, dec31, {dec31}},
      {lgDaily, Date(2026, 12, 1), Date(2026, 12, 30), {}},
      {lgDaily, jan1, jan1, {jan1}},
      // The week of both days ends on Sunday 3 January: in from the Monday before to the Sunday.
      {lgWeekly, Date(2026, 12, 28), Date(2026, 12, 28), {Date(2027, 1, 3)}},
      {lgWeekly, Date(2027, 1, 3), {}, {Date(2027, 1, 3)}},
      {lgWeekly, Date(2027, 1, 4), {}, {}},
      {lgWeekly, {}, Date(2026, 12, 27), {}},
      // A month or year whose first day is in the range is in, though it ends later.
      {lgMonthly, Date(2026, 12, 15), Date(2027, 1, 1), {dec31, Date(2027, 1, 31)}},
      {lgMonthly, Date(2027, 1, 31), {}, {Date(2027, 1, 31)}},
      {lgMonthly, Date(2027, 2, 1), {}, {}},
      {lgYearly, Date(2026, 6, 1), Date(2027, 6, 1), {dec31, Date(2027, 12, 31)}},
      {lgYearly, {}, Date(2026, 1, 1), {dec31}},
      {lgYearly, Date(2028, 1, 1), {}, {}},
      // Ranges to the last days the options take: the week of each ends in the year 10000.
      {lgWeekly, {}, Date(9999, 12, 31), {Date(2027, 1, 3)}},
      {lgWeekly, Date(2027, 1, 3), Date(9999, 12, 27), {Date(2027, 1, 3)}},
      {lgDaily, {}, Date(9999, 12, 31), {dec31, jan1}},
      {lgMonthly, {}, Date(9999, 12, 31), {dec31, Date(2027, 1, 31)}},
  };
  for (const TCase& c : cases) {
    std::vector<TDate> got;
    for (const TLogRecord& r : Read({c.Grouping, tvLan, c.From, c.To})) got.push_back(r.CDate);
    EXPECT_EQ(got, c.Dates) << "grouping " << c.Grouping << " from "
                            << (c.From ? IsoDate(*c.From) : "-") << " to "
                            << (c.To ? IsoDate(*c.To) : "-");
  }
}

TEST_F(Export, EmptyResultsAreAHeaderOrAnEmptyArray) {
  const std::vector<TLogRecord> none = Read({lgDaily, tvInternet, Date(2030, 1, 1), {}});
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(Csv(none), "date,hour,view,download_bytes,upload_bytes,so_far\r\n");
  std::ostringstream json;
  WriteExport(json, TExportFormat::Json, none);
  EXPECT_EQ(json.str(), "[]\n");
}

TEST_F(Export, JsonIsOneArrayOfObjectsWithTheHourOnlyWhereItApplies) {
  std::ostringstream hourly, yearly;
  WriteExport(hourly, TExportFormat::Json, Read({lgHourly, tvAllPcs, {}, {}}));
  WriteExport(yearly, TExportFormat::Json, Read({lgYearly, tvInternet, {}, Date(2026, 12, 31)}));
  EXPECT_EQ(hourly.str(),
            "[\n"
            "  {\"date\": \"2026-12-31\", \"hour\": 23, \"view\": \"INTERNET (All PCs)\", "
            "\"download_bytes\": 1259, \"upload_bytes\": 1222},\n"
            "  {\"date\": \"2027-01-01\", \"hour\": 0, \"view\": \"INTERNET (All PCs)\", "
            "\"download_bytes\": 2259, \"upload_bytes\": 2222}\n"
            "]\n");
  EXPECT_EQ(yearly.str(),
            "[\n  {\"date\": \"2026-12-31\", \"hour\": null, \"view\": \"Internet\", "
            "\"download_bytes\": 1111, \"upload_bytes\": 1074}\n]\n");
}

TEST(ExportText, FieldsAreQuotedAsRfc4180AndJsonEscaped) {
  const std::vector<std::pair<std::string, std::string>> csv = {
      {"Internet & LAN", "Internet & LAN"},
      {"INTERNET (All PCs)", "INTERNET (All PCs)"},
      {"", ""},
      {"Dec 7, 2026", "\"Dec 7, 2026\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {"cr\rhere", "\"cr\rhere\""},
  };
  for (const auto& [in, out] : csv) EXPECT_EQ(CsvField(in), out) << in;
  const std::vector<std::pair<std::string, std::string>> json = {
      {"LAN", "\"LAN\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\there\n", "\"tab\\there\\n\""},
      {std::string("\x01", 1), "\"\\u0001\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
  };
  for (const auto& [in, out] : json) EXPECT_EQ(JsonString(in), out) << in;
}

TEST(ExportText, DatesViewsAndGroupingsAreReadStrictly) {
  const std::vector<std::pair<const char*, std::optional<TDate>>> dates = {
      {"2026-12-07", Date(2026, 12, 7)},
      {"2024-02-29", Date(2024, 2, 29)},
      {"2026-02-29", {}},
      {"2026-13-01", {}},
      {"2026-00-10", {}},
      {"2026-1-01", {}},
      {"20261207", {}},
      {"2026/12/07", {}},
      {"0000-01-01", {}},
      {"2026-12-07x", {}},
      {"", {}},
  };
  for (const auto& [text, date] : dates) EXPECT_EQ(ParseIsoDate(text), date) << text;
  const std::vector<std::pair<const char*, std::optional<int>>> views = {
      {"Internet & LAN", 0},
      {"internet", 1},
      {"LAN", 2},
      {"internet (all pcs)", 3},
      {"0", 0},
      {"3", 3},
      {"4", {}},
      {"-1", {}},
      {"WAN", {}},
      {"Internet ", {}},
      {"", {}},
      {"01", {}},
  };
  for (const auto& [text, view] : views) EXPECT_EQ(ParseViewName(text), view) << text;
  EXPECT_EQ(ParseGroupingName("Hourly"), lgHourly);
  EXPECT_EQ(ParseGroupingName("yearly"), lgYearly);
  EXPECT_EQ(ParseGroupingName("fortnightly"), std::nullopt);
}

TEST_F(Export, ReadsWhileAnotherConnectionIsInTheMiddleOfAWrite) {
  // The program's writer holds its write lock while a transaction is open; readers go on.
  const test::TForeignLock writing(File());
  EXPECT_EQ(Read({lgHourly, tvLan, {}, {}}).size(), 2u);
  // And the reader leaves nothing behind that would stop the program's next write.
}

TEST_F(Export, LeavesTheProgramsLogWritable) {
  EXPECT_EQ(Read({lgDaily, {}, {}, {}}).size(), 8u);
  Log.SetBusyTimeout(std::chrono::milliseconds(100));
  EXPECT_NO_THROW(Log.WritePeriod(kHourlyBase, 1, Hour(2), Date(2027, 1, 1)));
}

TEST(ExportFile, LogsThatCannotBeReadAreRefusedAndLeftAsTheyWere) {
  test::TTempDir tmp;
  struct TCase {
    const char* Name;
    std::string Bytes;  // empty: no file at all
    const char* Sql;    // run on the file first, when given
    const char* Message;
  };
  std::string header = "SQLite format 3";
  header.push_back('\0');
  const std::vector<TCase> cases = {
      {"missing", "", nullptr, "There is no traffic log"},
      {"garbage", std::string(4096, 'x'), nullptr, "damaged or is not a traffic log"},
      {"truncated", header + std::string(84, '\x7f'), nullptr, "damaged or is not"},
      {"other-table", "", "CREATE TABLE t (a)", "damaged or is not a traffic log"},
      {"bad-date", "",
       "CREATE TABLE bw (CDate TEXT, Flag INTEGER, Hour INTEGER, Up REAL, Dn REAL);"
       "INSERT INTO bw VALUES ('12/07/2026', 16, 58, 1.0, 2.0)",
       "malformed date"},
      {"bad-amount", "",
       "CREATE TABLE bw (CDate TEXT, Flag INTEGER, Hour INTEGER, Up REAL, Dn REAL);"
       "INSERT INTO bw VALUES ('2026-12-07', 16, 58, 'lots', 2.0)",
       "not a number"},
  };
  for (const TCase& c : cases) {
    const std::string file = tmp.Path() + c.Name + "/bw.DB";
    if (c.Sql != nullptr) {
      fs::create_directories(tmp.Path() + c.Name);
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
      EXPECT_EQ(sqlite3_exec(db, c.Sql, nullptr, nullptr, nullptr), SQLITE_OK) << c.Name;
      sqlite3_close(db);
    } else if (!c.Bytes.empty()) {
      fs::create_directories(tmp.Path() + c.Name);
      WriteBytes(file, c.Bytes);
    }
    const bool existed = fs::exists(file);
    const std::string before = existed ? ReadBytes(file) : std::string();
    try {
      ReadLogFile(file, {lgDaily, {}, {}, {}}, 100);
      ADD_FAILURE() << c.Name << ": no error";
    } catch (const TLogError& e) {
      EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos)
          << c.Name << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << c.Name;
    }
    EXPECT_EQ(fs::exists(file), existed) << c.Name;
    if (existed) {
      EXPECT_EQ(ReadBytes(file), before) << c.Name;
    }
    EXPECT_FALSE(fs::exists(file + "-journal")) << c.Name;
  }
  EXPECT_FALSE(fs::exists(tmp.Path() + "missing")) << "the folder of a missing log is not made";
}

}  // namespace
}  // namespace zul
