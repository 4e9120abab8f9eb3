// The command line: what each form of it asks for, its messages and exit codes, and an export
// run end to end over a log file.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CommandLine.h"
#include "history/LogTestSupport.h"

namespace zul {
namespace {
namespace fs = std::filesystem;
using TAction = TCommandLine::TAction;

TCommandLine Parse(const std::vector<const char*>& args) {
  QStringList list{QStringLiteral("zul")};
  for (const char* a : args) list << QString::fromUtf8(a);
  return ParseCommandLine(list);
}

struct TRun {
  int Code;
  std::string Out, Err;
};
TRun Execute(const TCommandLine& cmd) {
  std::ostringstream out, err;
  const int code = RunCommandLine(cmd, out, err);
  return {code, out.str(), err.str()};
}

TEST(CommandLine, EachFormAsksForItsActionOrIsRefusedWithExitCode2) {
  struct TCase {
    std::vector<const char*> Args;
    TAction Action;
    const char* Text;  // in the error message, or in what is printed
  };
  const std::vector<TCase> cases = {
      {{}, TAction::Run, ""},
      {{"--metrics-port", "9100"}, TAction::Run, ""},
      {{"-session", "1a2b3c"}, TAction::Run, ""},  // the session manager's restart
      {{"-platform", "xcb", "-display", ":1"}, TAction::Run, ""},
      {{"--help"}, TAction::Help, "--export <format>"},
      {{"-h"}, TAction::Help, "--metrics-port <port>"},
      {{"--version"}, TAction::Version, "ZUL 1."},
      {{"--export", "csv"}, TAction::Export, ""},
      {{"--export=JSON", "--view", "internet (all pcs)", "--grouping", "Weekly"},
       TAction::Export,
       ""},
      {{"--bogus"}, TAction::Error, "Unknown option 'bogus'"},
      {{"stray"}, TAction::Error, "Unexpected argument 'stray'"},
      {{"--export"}, TAction::Error, "Missing value after '--export'"},
      {{"--export", "xml"}, TAction::Error, "Unknown export format 'xml'"},
      {{"--export", "csv", "--view", "WAN"}, TAction::Error, "Unknown view 'WAN'"},
      {{"--export", "csv", "--view", "4"}, TAction::Error, "Unknown view '4'"},
      {{"--export", "csv", "--grouping", "fortnightly"}, TAction::Error, "Unknown grouping"},
      {{"--export", "csv", "--from", "2026-02-30"},
       TAction::Error,
       "--from takes a date as YYYY-MM-DD, not '2026-02-30'"},
      {{"--export", "csv", "--to", "12/07/2026"}, TAction::Error, "--to takes a date"},
      {{"--export", "csv", "--from", "2027-01-02", "--to", "2027-01-01"},
       TAction::Error,
       "--from 2027-01-02 is after --to 2027-01-01"},
      {{"--view", "LAN"}, TAction::Error, "--view needs --export"},
      {{"--from", "2026-01-01"}, TAction::Error, "--from needs --export"},
      {{"--export", "csv", "--metrics-port", "9100"}, TAction::Error, "does not go with"},
      {{"--metrics-port", "0"}, TAction::Error, "from 1 to 65535, not '0'"},
      {{"--metrics-port", "65536"}, TAction::Error, "from 1 to 65535"},
      {{"--metrics-port", "http"}, TAction::Error, "from 1 to 65535"},
      {{"--export", "json", "--apps", "--grouping", "weekly"}, TAction::Export, ""},
      {{"--apps"}, TAction::Error, "--apps needs --export"},
      {{"--export", "png", "--apps"}, TAction::Error, "--apps goes with --export csv or json"},
      {{"--export", "csv", "--apps", "--view", "LAN"}, TAction::Error, "--view does not go"},
      {{"--plan", "--apps"}, TAction::Error, "--apps does not go with --plan"},
  };
  for (const TCase& c : cases) {
    std::string args;
    for (const char* a : c.Args) args += std::string(a) + " ";
    const TCommandLine cmd = Parse(c.Args);
    EXPECT_EQ(cmd.Action, c.Action) << args << cmd.Message;
    if (c.Action == TAction::Export || c.Action == TAction::Run) {
      EXPECT_EQ(cmd.Message, "") << args;
      continue;
    }
    const TRun r = Execute(cmd);
    if (c.Action == TAction::Error) {
      EXPECT_EQ(r.Code, 2) << args;
      EXPECT_EQ(r.Out, "") << args;
      EXPECT_NE(r.Err.find(c.Text), std::string::npos) << args << r.Err;
      EXPECT_NE(r.Err.find("zul --help"), std::string::npos) << args;
    } else {
      EXPECT_EQ(r.Code, 0) << args;
      EXPECT_EQ(r.Err, "") << args;
      EXPECT_NE(r.Out.find(c.Text), std::string::npos) << args << r.Out;
    }
  }
}

TEST(CommandLine, TakesInTheValuesOfAnExportAndOfTheMetricsPort) {
  const TCommandLine e = Parse({"--export", "json", "--view", "2", "--grouping", "monthly",
                                "--from", "2026-12-01", "--to", "2027-01-31", "--log", "x.DB"});
  ASSERT_EQ(e.Action, TAction::Export);
  EXPECT_EQ(e.Format, TExportFormat::Json);
  EXPECT_EQ(e.Query.View, tvLan);
  EXPECT_EQ(e.Query.Grouping, lgMonthly);
  EXPECT_EQ(e.Query.From, test::Date(2026, 12, 1));
  EXPECT_EQ(e.Query.To, test::Date(2027, 1, 31));
  EXPECT_EQ(e.LogPath, "x.DB");
  const TCommandLine d = Parse({"--export", "csv"});
  EXPECT_EQ(d.Query.View, std::nullopt);  // all four
  EXPECT_EQ(d.Query.Grouping, lgDaily);
  EXPECT_EQ(Parse({"--metrics-port", "9101"}).MetricsPort, 9101);
}

TEST(CommandLine, AnExportPrintsTheLogOrFailsWithExitCode1AndNoOutput) {
  test::TTempDir tmp;
  {
    TTrafficLog log;
    log.Open(tmp.Path() + "db/");
    TPeriodTotals t{};
    t[ciLanDown] = t[ciWanLanDown] = 2048;
    log.WritePeriod(kDailyBase, DailyHourValue(test::Date(2026, 12, 7)), t,
                    test::Date(2026, 12, 7));
  }
  const std::string file = tmp.Path() + "db/bw.DB";
  const TRun ok = Execute(Parse({"--export", "csv", "--view", "LAN", "--log", file.c_str()}));
  EXPECT_EQ(ok.Code, 0) << ok.Err;
  EXPECT_EQ(ok.Out,
            "date,hour,view,download_bytes,upload_bytes,so_far\r\n2026-12-07,,LAN,2048,0,\r\n");
  EXPECT_EQ(ok.Err, "");

  const std::string missing = tmp.Path() + "none/bw.DB";
  const TRun gone = Execute(Parse({"--export", "json", "--log", missing.c_str()}));
  EXPECT_EQ(gone.Code, 1);
  EXPECT_EQ(gone.Out, "");
  EXPECT_NE(gone.Err.find("zul: There is no traffic log at " + missing), std::string::npos)
      << gone.Err;
  EXPECT_FALSE(fs::exists(tmp.Path() + "none"));
}

}  // namespace
}  // namespace zul

namespace zul {
namespace {

// A log with 900 MB of "Internet" download today and 1 GB the day before the cycle began.
void WritePlanLog(const std::string& dbDir, TDate today) {
  TTrafficLog log;
  log.Open(dbDir);
  for (auto [day, bytes] : {std::pair{today, uint64_t{900'000'000}},
                            std::pair{TDate{std::chrono::sys_days{today} - std::chrono::days{1}},
                                      uint64_t{1'000'000'000}}}) {
    TPeriodTotals t{};
    t[ciWanDown] = t[ciWanLanDown] = bytes;
    for (const TPeriodWrite& w : DayPeriods(day, t))
      log.WritePeriod(w.FlagBase, w.Hour, w.Totals, w.Date);
  }
}

TEST(CommandLine, PlanPrintsTheCycleAsTextOrJsonOrSaysWhyNot) {
  test::TTempDir tmp;
  const TPlanTime now = PlanNow();
  WritePlanLog(tmp.Path() + "db/", now.Date);
  const std::string file = tmp.Path() + "db/bw.DB";
  const unsigned today = static_cast<unsigned>(now.Date.day());
  TPlanSettings s;
  s.Enabled = true;
  s.CapBytes = 1'000'000'000;
  s.CycleDay = static_cast<int>(today);
  const TCycle cycle = CycleOf(now.Date, s.CycleDay);
  const std::string ini = tmp.Path() + "zul.ini";
  SavePlanSettings(ini, s);

  TCommandLine json = Parse({"--plan", "--json", "--log", file.c_str()});
  ASSERT_EQ(json.Action, TAction::Plan);
  json.IniPath = ini;
  const TRun j = Execute(json);
  EXPECT_EQ(j.Code, 0) << j.Err;
  // A plan that starts today: the day before is not in it, and a day of data is not there yet.
  for (const std::string& part : std::vector<std::string>{
           "\"used_bytes\": 900000000", "\"cap_bytes\": 1000000000", "\"percent\": 90.0",
           "\"cycle_start\": \"" + IsoDate(cycle.Start) + "\"",
           "\"cycle_end\": \"" + IsoDate(cycle.End) + "\"", "\"forecast_bytes\": null",
           "\"cap_reached_on\": null",
           "\"daily_budget_bytes\": " + std::to_string(100'000'000 / cycle.Days())})
    EXPECT_NE(j.Out.find(part), std::string::npos) << part << " in " << j.Out;
  EXPECT_EQ(j.Out, PlanReport(file, s, now, true));

  TCommandLine text = Parse({"--plan", "--log", file.c_str()});
  text.IniPath = ini;
  const TRun t = Execute(text);
  EXPECT_EQ(t.Code, 0) << t.Err;
  EXPECT_NE(t.Out.find("900.0 MB of 1.0 GB (90.0 %)"), std::string::npos) << t.Out;
  EXPECT_NE(t.Out.find("too early to tell"), std::string::npos) << t.Out;

  // No plan, a bad one, a plan and an export at once.
  s.Enabled = false;
  SavePlanSettings(ini, s);
  const TRun off = Execute(text);
  EXPECT_EQ(off.Code, 1);
  EXPECT_NE(off.Err.find("No data plan is set"), std::string::npos) << off.Err;
  std::ofstream(ini) << "[DataPlan]\nEnabled=true\nCapBytes=0\n";
  const TRun bad = Execute(text);
  EXPECT_EQ(bad.Code, 1);
  EXPECT_NE(bad.Err.find("CapBytes of 0"), std::string::npos) << bad.Err;
  EXPECT_EQ(bad.Out, "");
  for (const std::vector<const char*>& args :
       {std::vector<const char*>{"--plan", "--export", "csv"},
        {"--plan", "--view", "1"},
        {"--json"},
        {"--export", "csv", "--json"}}) {
    const TRun r = Execute(Parse(args));
    EXPECT_EQ(r.Code, 2) << args[0] << " " << args[1];
  }
}

TEST(CommandLine, ExportPngWritesAChartOfTheLog) {
  test::TTempDir tmp;
  WritePlanLog(tmp.Path() + "db/", test::Date(2026, 12, 7));
  const std::string file = tmp.Path() + "db/bw.DB";
  TCommandLine cmd = Parse({"--export", "png", "--grouping", "daily", "--from", "2026-12-01",
                            "--to", "2026-12-10", "--log", file.c_str()});
  ASSERT_EQ(cmd.Action, TAction::Export);
  cmd.IniPath = tmp.Path() + "zul.ini";
  const TRun r = Execute(cmd);
  EXPECT_EQ(r.Code, 0) << r.Err;
  ASSERT_GT(r.Out.size(), 8u);
  EXPECT_EQ(r.Out.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  const QImage image =
      QImage::fromData(QByteArray(r.Out.data(), static_cast<qsizetype>(r.Out.size())), "PNG");
  EXPECT_EQ(image.size(), QSize(kChartWidth, kChartHeight));
}

}  // namespace
}  // namespace zul
