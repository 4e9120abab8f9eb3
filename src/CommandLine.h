// The program's command line: exports of the traffic log, --help, --version and the metrics port.
// Nothing here claims the instance or opens a window.
#pragma once

#include <QStringList>
#include <optional>
#include <ostream>
#include <string>

#include "history/Export.h"

namespace zul {

struct TCommandLine {
  enum class TAction { Run, Help, Version, Export, Error };
  TAction Action = TAction::Run;
  std::string Message;  // Error: what was wrong; Help: the help text
  TExportFormat Format = TExportFormat::Csv;
  TExportQuery Query;
  std::string LogPath;  // empty: the program's own log
  int MetricsPort = 0;  // 0: not given
};

// `args` as QCoreApplication::arguments() gives them, the program's name first. The options of
// Qt's own (-platform, -display, -session and the like) are let through to the application.
TCommandLine ParseCommandLine(const QStringList& args);

// Carries out Help, Version, Export and Error; returns the exit code: 0, 1 when the log cannot be
// read, 2 for a command line in error.
int RunCommandLine(const TCommandLine& cmd, std::ostream& out, std::ostream& err);

// The first step of the program: the exit code when the command line was all there is to do,
// none when the program is to start (with the metrics port taken in).
std::optional<int> HandleCommandLine(int argc, char** argv);

}  // namespace zul
