// The command line: what each form of it asks for, its messages and exit codes, and an export
// run end to end over a log file.
#include <gtest/gtest.h>

#include <filesystem>
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
