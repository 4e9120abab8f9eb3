#include "CommandLine.h"

#include <unistd.h>

#include <QBuffer>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <exception>
#include <iostream>
#include <memory>
#include <sstream>

#include "history/AppQuery.h"
#include "history/DataPlan.h"
#include "history/TrafficChart.h"
#include "metrics/MetricsText.h"
#include "platform/Folders.h"
#include "settings/CfgF.h"

namespace zul {
namespace {

const char* const kTryHelp = "Try 'zul --help' for the options.";

// Qt's own options, handled by the application object (the session manager restarts the program
// with -session): accepted here and left in place.
constexpr std::array<const char*, 11> kQtValueOptions = {
    "platform",    "platformpluginpath", "platformtheme", "plugin", "display",
    "style",       "stylesheet",         "session",       "name",   "qwindowgeometry",
    "qwindowtitle"};

TCommandLine Failure(const std::string& message) {
  TCommandLine c;
  c.Action = TCommandLine::TAction::Error;
  c.Message = message;
  return c;
}

std::string Std(const QString& s) {
  return s.toLocal8Bit().toStdString();
}

}  // namespace

TCommandLine ParseCommandLine(const QStringList& args) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "A network bandwidth monitor for the desktop. Without options it starts the monitor (or "
      "brings the running one to the front).\n\nWith --export it prints the traffic log's "
      "records instead, one per period: date, hour (hourly records), view, download and upload "
      "in bytes, and so_far for a period still running, which includes the running monitor's "
      "traffic of the hour so far. The date of a week is its Sunday, that of a month or year "
      "its last day. It reads the log while the monitor runs and never changes it. --export png "
      "draws the records of one view as a chart instead (redirect it to a file). With --apps it "
      "prints each application's traffic instead: date, hour, app, Internet download and "
      "upload, LAN download and upload in bytes, and so_far.\n\nWith --plan "
      "it prints the data plan's cycle: used, cap, forecast and daily budget, the running "
      "monitor's traffic included."));
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption exportOpt(QStringLiteral("export"),
                                     QStringLiteral("Print the log's records as csv or json, or "
                                                    "draw them as a png chart."),
                                     QStringLiteral("format"));
  const QCommandLineOption view(
      QStringList{QStringLiteral("view")},
      QStringLiteral("Only this view: \"Internet & LAN\", \"Internet\", \"LAN\", \"INTERNET "
                     "(All PCs)\" or 0 to 3. Default: all four."),
      QStringLiteral("view"));
  const QCommandLineOption grouping(
      QStringLiteral("grouping"),
      QStringLiteral("hourly, daily, weekly, monthly or yearly records, or billing (one row per "
                     "billing cycle of the data plan). Default: daily."),
      QStringLiteral("grouping"));
  const QCommandLineOption from(QStringLiteral("from"),
                                QStringLiteral("First day (YYYY-MM-DD) of the periods exported."),
                                QStringLiteral("date"));
  const QCommandLineOption to(
      QStringLiteral("to"),
      QStringLiteral("Last day (YYYY-MM-DD); a week, month or year that begins by then is in."),
      QStringLiteral("date"));
  const QCommandLineOption apps(
      QStringLiteral("apps"),
      QStringLiteral("With --export csv or json: each application's traffic, Internet and LAN "
                     "apart, instead of the views'."));
  const QCommandLineOption log(QStringLiteral("log"),
                               QStringLiteral("Export this log file instead of the program's own."),
                               QStringLiteral("file"));
  const QCommandLineOption metricsPort(
      QStringLiteral("metrics-port"),
      QStringLiteral("Serve metrics for Prometheus on 127.0.0.1 and ::1 at this port "
                     "(overrides MetricsPort in zul.ini)."),
      QStringLiteral("port"));
  const QCommandLineOption plan(
      QStringLiteral("plan"),
      QStringLiteral("Print the data plan's cycle: used, cap, forecast, daily budget."));
  const QCommandLineOption json(QStringLiteral("json"),
                                QStringLiteral("With --plan: print it as one JSON object."));
  for (const QCommandLineOption* o :
       {&exportOpt, &view, &grouping, &from, &to, &apps, &log, &metricsPort, &plan, &json})
    parser.addOption(*o);
  for (const char* name : kQtValueOptions) {
    QCommandLineOption qt(QString::fromLatin1(name), QString(), QStringLiteral("value"));
    qt.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(qt);
  }
  QCommandLineOption reverse(QStringLiteral("reverse"), QString());
  reverse.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOption(reverse);

  if (!parser.parse(args)) return Failure(Std(parser.errorText()));
  if (!parser.positionalArguments().isEmpty())
    return Failure("Unexpected argument '" + Std(parser.positionalArguments().constFirst()) + "'.");

  TCommandLine cmd;
  if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
    cmd.Action = TCommandLine::TAction::Help;
    // The usage line names the program from the application object.
    if (QCoreApplication::instance() != nullptr) {
      cmd.Message = Std(parser.helpText());
    } else {
      int argc = 1;
      char name[] = "zul";
      char* argv[] = {name, nullptr};
      const QCoreApplication app(argc, argv);
      cmd.Message = Std(parser.helpText());
    }
    return cmd;
  }
  if (parser.isSet(version)) {
    cmd.Action = TCommandLine::TAction::Version;
    return cmd;
  }

  if (parser.isSet(plan)) {
    if (parser.isSet(exportOpt)) return Failure("--plan does not go with --export.");
    for (const QCommandLineOption* o : {&view, &grouping, &from, &to, &apps, &metricsPort})
      if (parser.isSet(*o))
        return Failure("--" + Std(o->names().constFirst()) + " does not go with --plan.");
    cmd.Action = TCommandLine::TAction::Plan;
    cmd.Json = parser.isSet(json);
    if (parser.isSet(log)) {
      cmd.LogPath = Std(parser.value(log));
      if (cmd.LogPath.empty()) return Failure("--log needs a file name.");
    }
    return cmd;
  }
  if (parser.isSet(json)) return Failure("--json needs --plan (for the export: --export json).");

  if (parser.isSet(metricsPort)) {
    if (parser.isSet(exportOpt)) return Failure("--metrics-port does not go with --export.");
    bool ok = false;
    const int port = parser.value(metricsPort).toInt(&ok);
    if (!ok || port < 1 || port > 65535)
      return Failure("The metrics port must be a number from 1 to 65535, not '" +
                     Std(parser.value(metricsPort)) + "'.");
    cmd.MetricsPort = port;
  }

  if (!parser.isSet(exportOpt)) {
    for (const QCommandLineOption* o : {&view, &grouping, &from, &to, &apps, &log})
      if (parser.isSet(*o))
        return Failure("--" + Std(o->names().constFirst()) + " needs --export.");
    return cmd;
  }

  cmd.Action = TCommandLine::TAction::Export;
  const QString format = parser.value(exportOpt).toLower();
  if (format == QStringLiteral("csv"))
    cmd.Format = TExportFormat::Csv;
  else if (format == QStringLiteral("json"))
    cmd.Format = TExportFormat::Json;
  else if (format == QStringLiteral("png"))
    cmd.Format = TExportFormat::Png;
  else
    return Failure("Unknown export format '" + Std(parser.value(exportOpt)) +
                   "': use csv, json or png.");
  if (parser.isSet(apps)) {
    if (cmd.Format == TExportFormat::Png)
      return Failure("--apps goes with --export csv or json, not png.");
    if (parser.isSet(view)) return Failure("--view does not go with --apps.");
    cmd.Apps = true;
  }
  if (parser.isSet(view)) {
    cmd.Query.View = ParseViewName(Std(parser.value(view)));
    if (!cmd.Query.View)
      return Failure("Unknown view '" + Std(parser.value(view)) +
                     "': use \"Internet & LAN\", \"Internet\", \"LAN\", \"INTERNET (All PCs)\" "
                     "or 0 to 3.");
  }
  if (parser.isSet(grouping)) {
    const std::optional<int> g = ParseGroupingName(Std(parser.value(grouping)));
    if (!g)
      return Failure("Unknown grouping '" + Std(parser.value(grouping)) +
                     "': use hourly, daily, weekly, monthly, yearly or billing.");
    cmd.Query.Grouping = *g;
  }
  for (auto [option, date] : {std::pair{&from, &cmd.Query.From}, std::pair{&to, &cmd.Query.To}}) {
    if (!parser.isSet(*option)) continue;
    *date = ParseIsoDate(Std(parser.value(*option)));
    if (!*date)
      return Failure("--" + Std(option->names().constFirst()) +
                     " takes a date as YYYY-MM-DD, not '" + Std(parser.value(*option)) + "'.");
  }
  if (cmd.Query.From && cmd.Query.To && *cmd.Query.From > *cmd.Query.To)
    return Failure("--from " + IsoDate(*cmd.Query.From) + " is after --to " +
                   IsoDate(*cmd.Query.To) + ".");
  if (parser.isSet(log)) {
    cmd.LogPath = Std(parser.value(log));
    if (cmd.LogPath.empty()) return Failure("--log needs a file name.");
  }
  return cmd;
}

int RunCommandLine(const TCommandLine& cmd, std::ostream& out, std::ostream& err) {
  switch (cmd.Action) {
    case TCommandLine::TAction::Run:
      return 0;
    case TCommandLine::TAction::Help:
      out << cmd.Message;
      out.flush();
      return 0;
    case TCommandLine::TAction::Version:
      out << "ZUL " << ZUL_VERSION << '\n';
      out.flush();
      return 0;
    case TCommandLine::TAction::Error:
      err << "zul: " << cmd.Message << '\n' << kTryHelp << '\n';
      return 2;
    case TCommandLine::TAction::Export:
    case TCommandLine::TAction::Plan:
      break;
  }
  const std::string path = cmd.LogPath.empty() ? FindDataDir() + "db/bw.DB" : cmd.LogPath;
  const std::string ini = cmd.IniPath.empty() ? FindDataDir() + "zul.ini" : cmd.IniPath;
  try {
    std::ostringstream text;
    if (cmd.Action == TCommandLine::TAction::Plan) {
      const TPlanLoad plan = LoadPlanSettings(ini);
      if (!plan.Error.empty()) throw std::runtime_error(plan.Error);
      if (!plan.Settings.Enabled)
        throw std::runtime_error(
            "No data plan is set. Set one on the options' \"Data plan\" "
            "page, or in the [DataPlan] section of " +
            ini + ".");
      text << PlanReport(path, plan.Settings, PlanNow(), cmd.Json);
    } else {
      // The billing cycles and the chart's view follow the plan; a plan that cannot be read
      // leaves calendar months and the first view.
      const TPlanLoad plan = LoadPlanSettings(ini);
      TExportQuery query = cmd.Query;
      query.CycleDay = plan.Settings.CycleDay;
      if (cmd.Format == TExportFormat::Png && !query.View)
        query.View = plan.Settings.Enabled ? plan.Settings.View : tvInternetLan;
      if (cmd.Apps) {
        WriteAppExport(text, cmd.Format, ReadAppExport(path, query));
      } else {
        const std::vector<TLogRecord> records = ReadLogFile(path, query);
        if (cmd.Format == TExportFormat::Png)
          text << ChartPng(records, query, plan.Settings);
        else
          WriteExport(text, cmd.Format, records);
      }
    }
    out << text.str();
    out.flush();
    if (!out) {
      err << "zul: the " << (cmd.Action == TCommandLine::TAction::Plan ? "plan" : "export")
          << " could not be written out.\n";
      return 1;
    }
  } catch (const std::exception& e) {
    err << "zul: " << e.what() << '\n';
    return 1;
  }
  return 0;
}

std::string PlanReport(const std::string& logPath, const TPlanSettings& s, TPlanTime now,
                       bool json) {
  const TCycle cycle = CycleOf(now.Date, s.CycleDay);
  TExportQuery q;
  q.Grouping = lgDaily;
  q.View = s.View;
  q.From = cycle.Start;
  q.To = cycle.End;
  const std::vector<TLogRecord> rows = ReadLogFile(logPath, q);
  const TPlanStatus st = ComputePlanStatus(s, PlanDays(s, rows), now);
  return json ? PlanJson(s, st) : PlanText(s, st);
}

std::string ChartPng(const std::vector<TLogRecord>& records, const TExportQuery& query,
                     const TPlanSettings& plan) {
  // Fonts need the GUI application object; the offscreen platform needs no display.
  std::unique_ptr<QGuiApplication> app;
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
    if (QCoreApplication::instance() != nullptr)
      throw std::runtime_error("A chart cannot be drawn from this program state.");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "zul";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QGuiApplication>(argc, argv);
  }
  TCfgRec cfg;
  LoadCfgFile(FindDataDir() + "ZUL.cfg", cfg, FindExeDir());
  TChartData d;
  d.Rows = records;
  d.Download = ChartColor(cfg.ColorDownload);
  d.Upload = ChartColor(cfg.ColorUpload);
  const int view = query.View.value_or(tvInternetLan);
  d.Title = QString::fromUtf8(kViewNames[static_cast<std::size_t>(view)]);
  const bool cycles =
      query.Grouping == lgBillingPeriods || (query.Grouping == lgMonthly && plan.CycleDay == 1);
  if (plan.Enabled && plan.CapBytes > 0 && plan.View == view && cycles) d.CapBytes = plan.CapBytes;
  const QImage image = TrafficChartImage(d, QSize(kChartWidth, kChartHeight));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG"))
    throw std::runtime_error("The chart could not be made into a PNG.");
  return bytes.toStdString();
}

std::optional<int> HandleCommandLine(int argc, char** argv) {
  if (argc <= 1) return std::nullopt;
  QStringList args;
  for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  const TCommandLine cmd = ParseCommandLine(args);
  if (cmd.Action == TCommandLine::TAction::Run) {
    MetricsPortOption = cmd.MetricsPort;
    return std::nullopt;
  }
  if (cmd.Action == TCommandLine::TAction::Export && cmd.Format == TExportFormat::Png &&
      isatty(STDOUT_FILENO) != 0) {
    std::cerr << "zul: --export png writes an image; send it to a file: zul --export png > "
                 "chart.png\n";
    return 2;
  }
  return RunCommandLine(cmd, std::cout, std::cerr);
}

}  // namespace zul
