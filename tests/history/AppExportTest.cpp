// The applications' export: hours read from a log the program's writer keeps open, grouped into
// longer periods, the running hour beside them, the CSV and JSON texts and `zul --export --apps`.
#include <gtest/gtest.h>

#include <QStringList>
#include <sstream>

#include "CommandLine.h"
#include "history/AppQuery.h"
#include "history/AppTestSupport.h"
#include "history/LogTestSupport.h"

namespace zul {
namespace {
using test::Date;

class AppExport : public ::testing::Test {
 protected:
  // Two applications over Saturday 2 and Sunday 3 January 2027 and Monday 4, in two weeks.
  void SetUp() override {
    Log.Open(Dir);
    Hour(Date(2027, 1, 2), 23, {{"a", {1, 2, 3, 4}}, {"b", {10, 0, 0, 0}}});
    Hour(Date(2027, 1, 3), 0, {{"a", {100, 200, 300, 400}}});
    Hour(Date(2027, 1, 3), 1, {{"b", {0, 20, 0, 0}}});
    Hour(Date(2027, 1, 4), 9, {{"a", {1000, 0, 0, 0}}});
  }
  void Hour(TDate d, uint16_t h, TAppDeltas apps) {
    const TPeriodWrite w{kHourlyBase, h, TPeriodTotals{}, d, std::move(apps)};
    Log.WritePeriods(std::span(&w, 1));
  }
  std::vector<TAppRecord> Read(int grouping, std::optional<TDate> from = {},
                               std::optional<TDate> to = {}) {
    TExportQuery q;
    q.Grouping = grouping;
    q.From = from;
    q.To = to;
    return ReadAppExport(File(), q, 1000);
  }
  std::string File() const { return Dir + "bw.DB"; }

  test::TTempDir Tmp;
  std::string Dir = Tmp.Path() + "db/";
  TTrafficLog Log;  // open throughout: the program runs while the export reads
};

TEST_F(AppExport, EachGroupingSumsTheHoursOfItsPeriodsThatTouchTheRange) {
  const TDate sat = Date(2027, 1, 2), sun = Date(2027, 1, 3), mon = Date(2027, 1, 4);
  struct TCase {
    const char* Name;
    int Grouping;
    std::optional<TDate> From, To;
    std::vector<TAppRecord> Want;
  };
  const std::vector<TCase> cases = {
      {"hourly, one day",
       lgHourly,
       sun,
       sun,
       {{sun, 0, "a", {100, 200, 300, 400}}, {sun, 1, "b", {0, 20, 0, 0}}}},
      {"daily",
       lgDaily,
       {},
       {},
       {{sat, {}, "a", {1, 2, 3, 4}},
        {sat, {}, "b", {10, 0, 0, 0}},
        {sun, {}, "a", {100, 200, 300, 400}},
        {sun, {}, "b", {0, 20, 0, 0}},
        {mon, {}, "a", {1000, 0, 0, 0}}}},
      {"weekly: Sunday's week from a range of its Saturday alone",
       lgWeekly,
       sat,
       sat,
       {{sun, {}, "a", {101, 202, 303, 404}}, {sun, {}, "b", {10, 20, 0, 0}}}},
      {"monthly, dated by the month's last day",
       lgMonthly,
       mon,
       mon,
       {{Date(2027, 1, 31), {}, "a", {1101, 202, 303, 404}},
        {Date(2027, 1, 31), {}, "b", {10, 20, 0, 0}}}},
  };
  for (const TCase& c : cases) EXPECT_EQ(Read(c.Grouping, c.From, c.To), c.Want) << c.Name;
}

TEST_F(AppExport, TheRunningHourIsAddedAndMarkedAndTheWindowsSumsTakeItFromTheProgram) {
  const TDate mon = Date(2027, 1, 4);
  TPeriodWrite running{kHourlyBase, 9, TPeriodTotals{}, mon, {{"a", {5, 0, 0, 0}}, {"c", {1}}}};
  Log.SetRunning({running});
  ASSERT_TRUE(Log.Drain(std::chrono::seconds(5)));
  EXPECT_EQ(Read(lgDaily, mon, mon),
            (std::vector<TAppRecord>{{mon, {}, "a", {1005}, true}, {mon, {}, "c", {1}, true}}));
  // The window reads the table alone and adds what the program holds, largest first.
  EXPECT_EQ(ReadAppTotals(File(), Date(2027, 1, 3), mon, std::span(&running, 1), 1000),
            (TAppDeltas{{"a", {1105, 200, 300, 400}}, {"b", {0, 20, 0, 0}}, {"c", {1}}}));
  EXPECT_EQ(ReadAppTotals(File(), Date(2027, 1, 5), Date(2027, 1, 9), std::span(&running, 1)),
            TAppDeltas{});
}

TEST(AppExportText, CsvAndJsonFollowTheViewsExportAndKeepNamesText) {
  const std::vector<TAppRecord> rows = {
      {Date(2027, 1, 3), 0, "org.example.App", {1, 2, 3, 4}, false},
      {Date(2027, 1, 3), {}, "a,\"b\"", {5, 6, 7, 8}, true},
      {Date(2027, 1, 3), {}, "bad\xff\xc0name", {0, 0, 0, 0}, false},
  };
  struct TCase {
    TExportFormat Format;
    const char* Want;
  };
  const std::vector<TCase> cases = {
      {TExportFormat::Csv,
       "date,hour,app,internet_download_bytes,internet_upload_bytes,lan_download_bytes,"
       "lan_upload_bytes,so_far\r\n"
       "2027-01-03,0,org.example.App,1,2,3,4,\r\n"
       "2027-01-03,,\"a,\"\"b\"\"\",5,6,7,8,yes\r\n"
       "2027-01-03,,bad\xEF\xBF\xBD\xEF\xBF\xBDname,0,0,0,0,\r\n"},
      {TExportFormat::Json,
       "[\n  {\"date\": \"2027-01-03\", \"hour\": 0, \"app\": \"org.example.App\", "
       "\"internet_download_bytes\": 1, \"internet_upload_bytes\": 2, \"lan_download_bytes\": 3, "
       "\"lan_upload_bytes\": 4},\n"
       "  {\"date\": \"2027-01-03\", \"hour\": null, \"app\": \"a,\\\"b\\\"\", "
       "\"internet_download_bytes\": 5, \"internet_upload_bytes\": 6, \"lan_download_bytes\": 7, "
       "\"lan_upload_bytes\": 8, \"so_far\": true},\n"
       "  {\"date\": \"2027-01-03\", \"hour\": null, \"app\": \"bad\xEF\xBF\xBD\xEF\xBF\xBDname\", "
       "\"internet_download_bytes\": 0, \"internet_upload_bytes\": 0, \"lan_download_bytes\": 0, "
       "\"lan_upload_bytes\": 0}\n]\n"},
  };
  for (const TCase& c : cases) {
    std::ostringstream out;
    WriteAppExport(out, c.Format, rows);
    EXPECT_EQ(out.str(), c.Want);
  }
  EXPECT_EQ(
      ValidUtf8("\xed\xa0\x80\xc1\xbf\xe2\x82\xac\xf0\x9f\x98\x80"),
      "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xE2\x82\xAC\xF0\x9F\x98\x80")
      << "surrogates and overlong forms are not text";
}

TEST_F(AppExport, TheCommandLinePrintsTheApplicationsRows) {
  QStringList args{QStringLiteral("zul")};
  for (const char* a :
       {"--export", "csv", "--apps", "--grouping", "weekly", "--from", "2027-01-04", "--log"})
    args << QString::fromUtf8(a);
  args << QString::fromStdString(File());
  std::ostringstream out, err;
  EXPECT_EQ(RunCommandLine(ParseCommandLine(args), out, err), 0) << err.str();
  EXPECT_EQ(out.str(),
            "date,hour,app,internet_download_bytes,internet_upload_bytes,lan_download_bytes,"
            "lan_upload_bytes,so_far\r\n2027-01-10,,a,1000,0,0,0,\r\n");
}

}  // namespace
}  // namespace zul
