#include "App.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "AppsFeed.h"
#include "CommandLine.h"
#include "capture/AppSource.h"
#include "capture/Watch.h"
#include "display/About.h"
#include "display/AppsWindow.h"
#include "display/Figure.h"
#include "display/MyDialog.h"
#include "display/vcls.h"
#include "history/AppHours.h"
#include "history/total.h"
#include "metrics/Metrics.h"
#include "platform/ErrorBox.h"
#include "platform/ErrorReport.h"
#include "platform/ExitSteps.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/SessionEnd.h"
#include "platform/SingleInstance.h"
#include "platform/WindowSystem.h"
#include "settings/CfgF.h"
#include "settings/config.h"
#include "vartype.h"

namespace zul {
namespace {

constexpr const char* kInstanceName = "TFBFigure";

// While the message loop runs, an exit() from inside it (the window system's code does so when the
// display goes away) is still an exit: the steps run from the handler below.
bool LoopRunning = false;
std::thread::id MainThread;

void ExitStepsAtExit() {
  if (!LoopRunning || std::this_thread::get_id() != MainThread) return;
  LoopRunning = false;
  // No window can show a report any more: standard error alone.
  SetErrorSink(nullptr);
  ArmExitWatchdog();
  RunExitSteps();
}

// The windows of the start-up, owned in the order of their creation, so that they are destroyed
// in the reverse order.
struct TWindows {
  std::unique_ptr<TFBFigure> Primary;
  std::unique_ptr<TFVCLS> Vcls;
  std::unique_ptr<TFConfig> Config;
  std::array<std::unique_ptr<TFBFigure>, 3> Figures;
  std::unique_ptr<TFTotal> Total;
  std::unique_ptr<TFAbout> About;
  std::unique_ptr<TFMyDialog> MyDialog;
  std::unique_ptr<TFApps> Apps;
};

}  // namespace

void ExitSteps() {
  // Each step under its own guard, so that a failing one does not skip those after it.
  Guarded("exit.capture", [] {
    StopAllWatchers();
    ReleaseWatchers();
  });
  Guarded("exit.totals", [] { FlushTotals(); });
  Guarded("exit.windows", [] { SaveWindowSet(); });
}

void EndSession() {
  ArmExitWatchdog();
  if (FVCLS) {
    FVCLS->Quit1Click();
  } else {
    Quitting = true;
    QCoreApplication::quit();
  }
}

int RunZul(int argc, char** argv) {
  // 0. An export, --help or --version ends here, before the instance is claimed.
  if (const std::optional<int> rc = HandleCommandLine(argc, argv)) return *rc;

  // 1. Single instance, before anything of ours exists.
  std::string runtimeDir;
  try {
    runtimeDir = FindRuntimeDir();
  } catch (const std::exception& e) {
    LogLine(e.what());
    return 1;
  }
  const TInstanceClaim claim = ClaimInstance(runtimeDir, kInstanceName, WM_OPENMONITOR);
  if (claim.Role == TInstanceRole::Handed) return 0;
  if (claim.Role == TInstanceRole::Unresponsive) {
    LogLine(claim.Error);
    return 1;
  }

  // 2. The application object, on X11 wherever the session has it.
  if (const std::string none = PreferX11(); !none.empty()) {
    std::fprintf(stderr, "zul: %s\n", none.c_str());
    return 1;
  }
  TApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("ZUL"));
  QApplication::setQuitOnLastWindowClosed(false);
  InstallErrorBox();
  // Told at every start: XWayland may be installed any time.
  if (const std::string limits = WaylandLimits(); !limits.empty())
    ReportError("desktop.wayland", limits);

  TInstanceServer server;
  if (!server.Listen(runtimeDir, kInstanceName))
    ReportError("instance.listen",
                "Cannot listen for other starts of ZUL: " + server.ErrorText().toStdString());
  // Every graph window answers the open-monitor message; the primary one is always there.
  QObject::connect(&server, &TInstanceServer::MessageReceived, &server, [](int id) {
    if (id == WM_OPENMONITOR && Figures[0])
      QCoreApplication::postEvent(Figures[0], new QEvent(kOpenMonitorEvent));
  });

  TSessionEnd sessionEnd(EndSession);
  // The desktop asks whether the session may end: from now on closing the primary window
  // ends the program, and the loop's end below runs the exit steps if the close never came.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [](QSessionManager&) {
    if (Figures[0])
      Figures[0]->FormQueryEndSession();
    else
      Quitting = true;
  });

  // Each application's traffic: the counter's seconds go into the running hour, which the
  // sampler hands to the log with the hour's other records.
  TAppSource appSource;
  TAppHours appHours;
  QObject::connect(&appSource, &TAppSource::Counted, &appSource,
                   [&appHours](const TAppDeltas& deltas) { appHours.Add(deltas); });

  // A start during the exit steps finds no listener and waits for the lock instead of being
  // answered by an instance that is going away. The applications' last part-second joins the
  // hour before the totals are written.
  SetExitSteps([&server, &appSource] {
    server.Close();
    Guarded("exit.apps", [&appSource] { appSource.Stop(); });
    ExitSteps();
  });

  // 3. Folders. 4. Settings.
  ExeDir = FindExeDir();
  DataDir = FindDataDir();
  // The data folder is the user's alone; one made readable by an older start is tightened.
  Guarded("data.folder", [] { MakePrivateDir(DataDir, "data folder"); });
  LoadCfg();
  // A settings file that could not be used: the defaults run and the user hears it once.
  if (std::string notice = TakeCfgNotice(); !notice.empty()) ReportError("settings.notice", notice);

  // 5. The windows, in their order; an error in one creation handler skips the rest of it. What
  // the Applications window reads outlives it.
  std::unique_ptr<TAppsFeed> appsFeed;
  TWindows windows;
  windows.Primary = std::make_unique<TFBFigure>();
  TFBFigure* primary = windows.Primary.get();
  windows.Vcls = std::make_unique<TFVCLS>();
  FVCLS = windows.Vcls.get();
  FVCLS->SecondSampler().SetAppHours(&appHours);
  StartMetrics(FVCLS, FVCLS->TLog, FVCLS->SecondSampler(), &appHours);
  windows.Config = std::make_unique<TFConfig>();
  FConfig = windows.Config.get();
  Guarded("config.create", [] { FConfig->FormCreate(); });
  for (std::unique_ptr<TFBFigure>& figure : windows.Figures) figure = std::make_unique<TFBFigure>();
  windows.Total = std::make_unique<TFTotal>();
  FTotal = windows.Total.get();
  FTotal->SetLog(&FVCLS->TLog);
  windows.About = std::make_unique<TFAbout>();
  FAbout = windows.About.get();
  windows.MyDialog = std::make_unique<TFMyDialog>();
  FMyDialog = windows.MyDialog.get();
  appsFeed = std::make_unique<TAppsFeed>(appSource, FVCLS->SecondSampler(), FVCLS->TLog);
  windows.Apps = std::make_unique<TFApps>();
  FApps = windows.Apps.get();
  FApps->SetData(appsFeed.get());

  // 6. The window set. 7. The primary window. 8. The tray icon. 9. The loop.
  Guarded("windows.setup", [] { SetupWindows(); });
  if (!Cfg.StartMinimized && Cfg.WindowVisible[0]) primary->show();
  FVCLS->NotifyIcon1.SetActive(true);
  // The applications are counted on the adapters the watchers opened; without the rights or the
  // kernel's support the Applications window says why, and nothing else changes.
  appSource.FollowWatchers();
  Guarded("apps.start", [&appSource] { appSource.Start(); });

  // Registered last, so that what the steps use was made before it and is destroyed after it.
  MainThread = std::this_thread::get_id();
  static const bool atExit = std::atexit(ExitStepsAtExit) == 0;
  LoopRunning = atExit;
  const int rc = QApplication::exec();
  LoopRunning = false;
  // The loop can also end without the primary window's close (the session manager's last word):
  // the exit steps still run, once.
  ArmExitWatchdog();
  RunExitSteps();
  // The windows go now, after the exit steps, the last made first.
  return rc;
}

}  // namespace zul
