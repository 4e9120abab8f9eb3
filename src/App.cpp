#include "App.h"

#include <unistd.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "capture/Watch.h"
#include "display/About.h"
#include "display/Figure.h"
#include "display/vcls.h"
#include "platform/ErrorBox.h"
#include "platform/ErrorReport.h"
#include "platform/Folders.h"
#include "platform/SessionEnd.h"
#include "platform/SingleInstance.h"
#include "settings/CfgF.h"
#include "settings/config.h"
#include "vartype.h"

namespace zul {
namespace {

constexpr const char* kInstanceName = "TFBFigure";
// The exit steps are bounded one by one; this is the bound on all of them together, so that a
// hung device or disk can never keep a logout waiting.
constexpr auto kExitDeadline = std::chrono::seconds(20);

// Wayland lets no program place its windows or keep them on top; XWayland does.
void PreferX11() {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return;
  const bool wayland = qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland") ||
                       !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  if (wayland && !qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb");
}

void StartExitWatchdog() {
  static std::atomic<bool> started{false};
  if (started.exchange(true)) return;
  std::thread([] {
    std::this_thread::sleep_for(kExitDeadline);
    static const char msg[] = "zul: exit steps did not finish in time; ending now\n";
    [[maybe_unused]] ssize_t n = write(STDERR_FILENO, msg, sizeof(msg) - 1);
    _exit(3);
  }).detach();
}

}  // namespace

void EndSession() {
  StartExitWatchdog();
  if (FVCLS) {
    FVCLS->Quit1Click();
  } else {
    Quitting = true;
    QCoreApplication::quit();
  }
}

int RunZul(int argc, char** argv) {
  // 1. Single instance, before anything of ours exists.
  std::string runtimeDir;
  try {
    runtimeDir = FindRuntimeDir();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zul: %s\n", e.what());
    return 1;
  }
  const TInstanceClaim claim = ClaimInstance(runtimeDir, kInstanceName, WM_OPENMONITOR);
  if (claim.Role == TInstanceRole::Handed) return 0;
  if (claim.Role == TInstanceRole::Unresponsive) {
    std::fprintf(stderr, "zul: %s\n", claim.Error.c_str());
    return 1;
  }

  // 2. The application object.
  PreferX11();
  TApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("ZUL"));
  QApplication::setQuitOnLastWindowClosed(false);
  InstallErrorBox();

  TInstanceServer server;
  if (!server.Listen(runtimeDir, kInstanceName))
    ReportError("instance",
                "Cannot listen for other starts of ZUL: " + server.ErrorText().toStdString());
  // Every graph window answers the open-monitor message; the primary one is always there.
  QObject::connect(&server, &TInstanceServer::MessageReceived, [](int id) {
    if (id == WM_OPENMONITOR && Figures[0])
      QCoreApplication::postEvent(Figures[0], new QEvent(kOpenMonitorEvent));
  });

  TSessionEnd sessionEnd(EndSession);
  // The desktop asks whether the session may end: from now on closing the primary window
  // ends the program, and the loop's end below runs the exit steps if the close never came.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, [](QSessionManager&) {
    if (Figures[0])
      Figures[0]->FormQueryEndSession();
    else
      Quitting = true;
  });

  // 3. Folders. 4. Settings.
  ExeDir = FindExeDir();
  DataDir = FindDataDir();
  LoadCfg();

  // 5. The windows, in their order; an error in one creation handler skips the rest of it.
  auto* primary = new TFBFigure();
  FVCLS = new TFVCLS();
  FConfig = new TFConfig();
  Guarded("config-create", [] { FConfig->FormCreate(); });
  new TFBFigure();
  new TFBFigure();
  new TFBFigure();
  FAbout = new TFAbout();

  // 6. The window set. 7. The primary window. 9. The loop.
  Guarded("setup-windows", [] { SetupWindows(); });
  if (!Cfg.StartMinimized && Cfg.WindowVisible[0]) primary->show();

  const int rc = QApplication::exec();
  // The loop can also end without the primary window's close (the session manager's last word):
  // the exit steps still run, once.
  StartExitWatchdog();
  RunExitSteps();
  return rc;
}

}  // namespace zul
