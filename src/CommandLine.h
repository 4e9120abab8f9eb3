// The program's command line: exports of the traffic log, --help, --version and the metrics port.
// Nothing here claims the instance or opens a window.
#pragma once

#include <QStringList>
#include <optional>
#include <ostream>
#include <string>

#include "history/DataPlan.h"
#include "history/Export.h"

namespace zul {

struct TCommandLine {
  enum class TAction { Run, Help, Version, Export, Plan, Error };
  TAction Action = TAction::Run;
  std::string Message;  // Error: what was wrong; Help: the help text
  TExportFormat Format = TExportFormat::Csv;
  TExportQuery Query;
  bool Apps = false;    // Export: the applications' rows instead of the views'
  std::string LogPath;  // empty: the program's own log
  int MetricsPort = 0;  // 0: not given
  bool Json = false;    // Plan: JSON rather than text
  // Where the plan's settings are read from; the program's own zul.ini when empty.
  std::string IniPath;
};

// `args` as QCoreApplication::arguments() gives them, the program's name first. The options of
// Qt's own (-platform, -display, -session and the like) are let through to the application.
TCommandLine ParseCommandLine(const QStringList& args);

// Carries out Help, Version, Export, Plan and Error; returns the exit code: 0, 1 when the log or
// the plan cannot be read (or no plan is set), 2 for a command line in error.
int RunCommandLine(const TCommandLine& cmd, std::ostream& out, std::ostream& err);

// The plan's status at `now` from the log at `logPath` (its table and the running part), as
// `zul --plan` prints it.
std::string PlanReport(const std::string& logPath, const TPlanSettings& s, TPlanTime now,
                       bool json);

// The PNG of `zul --export png`: the records of one view as a chart in the settings' graph
// colours, with the plan's cap where the view and grouping are the plan's.
inline constexpr int kChartWidth = 800;
inline constexpr int kChartHeight = 400;
std::string ChartPng(const std::vector<TLogRecord>& records, const TExportQuery& query,
                     const TPlanSettings& plan);

// The first step of the program: the exit code when the command line was all there is to do,
// none when the program is to start (with the metrics port taken in).
std::optional<int> HandleCommandLine(int argc, char** argv);

}  // namespace zul
