// The texts the query layer takes from the user: a command line (one argument per input line,
// after the program's name) with its export options, and the whole input as a statistics
// window's select text. What parses must mean something the log can answer: an export that
// parses is run over a small log made at start, and must give exactly the periods that overlap
// its range.
#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "CommandLine.h"
#include "FuzzKit.h"
#include "history/DataPlan.h"
#include "history/Export.h"
#include "history/LogQuery.h"
#include "history/Period.h"
#include "history/TrafficLog.h"

namespace zul {
namespace {

using namespace std::chrono;
using zulfuzz::Check;
using TAction = TCommandLine::TAction;

// The records of the log made at start: each with the first and the last day of its period.
struct TFixtureRecord {
  TDate CDate;
  int Flag;
  int Hour;
  TDate First;
};
std::vector<TFixtureRecord> Fixture;
std::string FixtureFile;

TDate FirstDayOf(int grouping, TDate last) {
  switch (grouping) {
    case lgWeekly:
      return TDate{sys_days{last} - days{6}};
    case lgMonthly:
      return last.year() / last.month() / day{1};
    case lgYearly:
      return last.year() / January / day{1};
    default:
      return last;
  }
}

// Days at the ends of the calendar the options accept, a leap day and a year end; each with an
// hour and the periods that hold it.
void MakeFixture() {
  const std::string dir = zulfuzz::ScratchDir() + "/db/";
  TTrafficLog log;
  log.Open(dir);
  const TDate daysWritten[] = {year(1) / January / day(1), year(2024) / February / day(29),
                               year(2026) / December / day(31), year(2027) / January / day(4),
                               year(9999) / December / day(24)};
  TPeriodTotals totals{};
  for (std::size_t k = 0; k < totals.size(); ++k) totals[k] = 1024 * (k + 1);
  for (const TDate d : daysWritten) {
    std::vector<TPeriodWrite> writes{{kHourlyBase, 13, totals, d}};
    for (const TPeriodWrite& w : DayPeriods(d, totals)) writes.push_back(w);
    for (const TPeriodWrite& w : writes) {
      log.WritePeriod(w.FlagBase, w.Hour, w.Totals, w.Date);
      for (int view = 0; view < kViewCount; ++view) {
        const int flag = w.FlagBase + view;
        Fixture.push_back({w.Date, flag, w.Hour, FirstDayOf(flag / 16, w.Date)});
      }
    }
  }
  log.Close();
  std::sort(Fixture.begin(), Fixture.end(), [](const TFixtureRecord& a, const TFixtureRecord& b) {
    return std::tie(a.CDate, a.Flag, a.Hour) < std::tie(b.CDate, b.Flag, b.Hour);
  });
  FixtureFile = dir + "bw.DB";
}

// The export of the fixture: the records of the grouping and view whose period overlaps the
// range, in key order, and a CSV row for each.
void CheckExport(const TExportQuery& q) {
  std::vector<TLogRecord> rows;
  try {
    rows = ReadLogFile(FixtureFile, q);
  } catch (const TLogError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    Check(false, "the export of a sound log failed");
  }
  std::vector<const TFixtureRecord*> expected;
  for (const TFixtureRecord& r : Fixture) {
    if (r.Flag / 16 != q.Grouping || (q.View && r.Flag % 16 != *q.View)) continue;
    if ((q.From && r.CDate < *q.From) || (q.To && r.First > *q.To)) continue;
    expected.push_back(&r);
  }
  Check(rows.size() == expected.size(), "the export holds other periods than overlap its range");
  for (std::size_t i = 0; i < rows.size(); ++i)
    Check(rows[i].CDate == expected[i]->CDate && rows[i].Flag == expected[i]->Flag &&
              rows[i].Hour == expected[i]->Hour,
          "the export's records are other ones or out of order");
  std::ostringstream csv;
  WriteExport(csv, TExportFormat::Csv, rows);
  const std::string text = csv.str();
  Check(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) == rows.size() + 1,
        "the CSV holds other than a header and a row per record");
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// One argument through the value parsers of the export options.
void CheckValue(const std::string& text) {
  if (const std::optional<TDate> d = ParseIsoDate(text)) {
    Check(d->ok() && IsoDate(*d) == text, "a date does not read back as its text");
  }
  if (const std::optional<int> v = ParseViewName(text)) {
    Check(*v >= 0 && *v < kViewCount, "a view outside the four");
    Check(text == std::string(1, static_cast<char>('0' + *v)) ||
              SameTextIgnoringCase(text, kViewNames[static_cast<std::size_t>(*v)]),
          "a view by another name");
  }
  if (const std::optional<int> g = ParseGroupingName(text); g && *g != lgBillingPeriods) {
    Check(*g >= lgHourly && *g <= lgYearly, "a grouping outside the six");
    Check(SameTextIgnoringCase(text, kGroupingNames[static_cast<std::size_t>(*g)]),
          "a grouping by another name");
  }
}

void CheckCommandLine(const std::vector<std::string>& args) {
  QStringList list{QStringLiteral("zul")};
  for (const std::string& a : args) list << QString::fromLocal8Bit(a.data(), qsizetype(a.size()));
  const TCommandLine cmd = ParseCommandLine(list);
  Check(cmd.MetricsPort >= 0 && cmd.MetricsPort <= 65535, "a metrics port outside 0 to 65535");
  switch (cmd.Action) {
    case TAction::Export: {
      const TExportQuery& q = cmd.Query;
      Check(cmd.MetricsPort == 0, "an export with a metrics port");
      Check(q.Grouping >= lgHourly && q.Grouping <= lgBillingPeriods, "an export of no grouping");
      Check(!q.View || (*q.View >= 0 && *q.View < kViewCount), "an export of no view");
      Check((!q.From || q.From->ok()) && (!q.To || q.To->ok()), "an export of no date");
      Check(!q.From || !q.To || *q.From <= *q.To, "an export that ends before it begins");
      Check(cmd.Format == TExportFormat::Csv || cmd.Format == TExportFormat::Json ||
                cmd.Format == TExportFormat::Png,
            "an export of no format");
      CheckExport(q);
      break;
    }
    case TAction::Error: {
      Check(!cmd.Message.empty(), "an error without a message");
      std::ostringstream out, err;
      Check(RunCommandLine(cmd, out, err) == 2 && out.str().empty() && !err.str().empty(),
            "an error that does not end with exit code 2 and a message");
      break;
    }
    case TAction::Help:
    case TAction::Version: {
      std::ostringstream out, err;
      Check(RunCommandLine(cmd, out, err) == 0 && !out.str().empty() && err.str().empty(),
            "help or version that prints nothing");
      break;
    }
    case TAction::Plan:
      Check(cmd.MetricsPort == 0, "a plan with a metrics port");
      break;
    case TAction::Run:
      break;
  }
}

void CheckSelectText(std::string_view text) {
  TLogQuery q;
  try {
    q = ParseLogQuery(text);
  } catch (const TLogError&) {
    return;  // any other exception is a fault, and ends the run
  }
  Check(q.Flag >= 0, "a negative flag");
  const bool one = q.Kind == TLogQuery::TKind::OneDate;
  const bool range = q.Kind == TLogQuery::TKind::DateRange;
  Check((!one && !range) || q.From.ok(), "a query of a day that does not exist");
  Check(!range || q.To.ok(), "a range to a day that does not exist");
  // A flag of a view and a grouping reads the same when the statistics window writes it again.
  const int view = q.Flag % 16;
  const int grouping = q.Flag / 16;
  if (view >= kViewCount || grouping >= static_cast<int>(kGroupingNames.size())) return;
  const TPeriod period{one ? pmOneDate : range ? pmRange : pmAllTime, q.From, q.To};
  const std::optional<std::string> again = QueryText(view, grouping, period);
  Check(again.has_value(), "a query the statistics window cannot write");
  const TLogQuery q2 = ParseLogQuery(*again);
  Check(q2.Kind == q.Kind && q2.Flag == q.Flag, "a written query reads as another");
  Check((!one && !range) || q2.From == q.From, "a written query reads from another day");
  Check(!range || q2.To == q.To, "a written query reads to another day");
}

}  // namespace
}  // namespace zul

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zul::MakeFixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace zul;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t to = text.find('\n', from);
    if (to == std::string::npos) to = text.size();
    args.push_back(text.substr(from, to - from));
    from = to + 1;
  }
  for (const std::string& a : args) CheckValue(a);
  CheckCommandLine(args);
  CheckSelectText(text);
  return 0;
}
