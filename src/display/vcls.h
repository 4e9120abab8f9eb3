// The hidden main form: it owns the traffic log, the sampler and its one-second timer, the tray
// icon with its menu, and the sound player. It is never shown.
#pragma once

#include <QAction>
#include <QMenu>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "display/NotifyIcon.h"
#include "history/LogEvents.h"
#include "history/Sampler.h"
#include "history/TrafficLog.h"

class QAudioOutput;
class QMediaPlayer;

namespace zul {

// The user guide that "&Help" opens and the About box links, beside the program's other files.
inline constexpr const char* kUserGuide = "guide/user.html";
// The program's documentation folder, as installed.
inline constexpr const char* kInstalledDocDir = "/usr/share/doc/zul/";

// A file of the program's documentation (kUserGuide, "LICENSE"): the installed copy (lib/zul's
// sibling share/doc/zul) or the build tree's (doc/ beside the program), whichever is there;
// empty when neither is.
QString DocFile(const QString& name);

// The tray picture for a bar of barHeight pixels in a graph of graphHeight: 0 for no bar (and for
// a graph with no height), 6 for a full one.
int TrayPicture(uint32_t barHeight, uint32_t graphHeight);

class TFVCLS : public QWidget {
  Q_OBJECT
 public:
  // Opens the log and starts Timer1; a log that cannot be opened is reported and the timer
  // still runs, so the graphs go on. The tray icon stays off until start-up turns it on.
  explicit TFVCLS(QWidget* parent = nullptr);
  ~TFVCLS() override;

  // From the graph window whose view the tray follows: its readout text, and its newest bar's
  // height out of the height available to bars.
  void SetTrayHint(const QString& hint);
  void SetTrayLevel(uint32_t barHeight, uint32_t graphHeight);
  // The tip: the last readout, or what keeps capture off.
  void UpdateTrayTip();

  // Opens the sound file by name (closing the one opened before) and starts playing it without
  // waiting for its end. Throws std::runtime_error with a text for the user when the file
  // cannot be opened or decoded, or there is no audio output; a failure the player finds later
  // is reported under "tray.sound".
  void PlaySoundFile(const QString& fileName);

  // The exit command: Quitting, then the primary window is closed and its close handler ends.
  void Quit1Click();

  // Menu handlers.
  void PopupMenu1Popup();
  void Open1Click();
  void NWanLanClick() { ToggleView(0); }
  void NWanClick() { ToggleView(1); }
  void NLANClick() { ToggleView(2); }
  void NInternetClick() { ToggleView(3); }
  void All1Click();
  void Hide1Click();
  void NStatisticsClick();
  void NApplicationsClick();
  void NOptionsClick();
  void NHelpClick();
  void NAboutClick();

  // The log's write results; made before the log's writer starts and, declared first, destroyed
  // after it stopped.
  std::unique_ptr<TLogEvents> LogEvents;
  TTrafficLog TLog;
  QTimer Timer1;
  TImageList ImageList1;
  QMenu PopupMenu1;
  TNotifyIcon NotifyIcon1;

  QAction* Open1 = nullptr;
  QMenu* New1 = nullptr;
  QAction* NWanLan = nullptr;
  QAction* NWan = nullptr;
  QAction* NLAN = nullptr;
  QAction* NInternet = nullptr;
  QAction* All1 = nullptr;
  QAction* Hide1 = nullptr;
  QAction* NStatistics = nullptr;
  QAction* NApplications = nullptr;
  QAction* NOptions = nullptr;
  QAction* NHelp = nullptr;
  QAction* NAbout = nullptr;
  QAction* Quit1 = nullptr;

  // Where "&Help" sends the user's browser; tests replace it.
  std::function<void(const QUrl&)> OpenUrl;

  // The per-second sampler over TLog; lives as long as this form.
  TSampler& SecondSampler() { return *FSampler; }

 private:
  void Timer1Timer();
  void CreateMenu();
  void ToggleView(int view);
  void MediaPlayer1Error(const QString& text);

  std::unique_ptr<TSampler> FSampler;
  QString FReadoutHint;
  TSecondClock FSecondClock;
  // Made on the first sound: the media framework takes a while to start. The player goes
  // before its output.
  std::unique_ptr<QAudioOutput> FAudioOutput;
  std::unique_ptr<QMediaPlayer> MediaPlayer1;
};

// Created second at start-up; lives until exit.
extern TFVCLS* FVCLS;

// The tray icon is on, but the desktop has nowhere to show it: nothing but the primary window's
// close could then end the program.
bool TrayMissing();

}  // namespace zul
