#include "display/vcls.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QMediaFormat>
#include <QMediaPlayer>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "capture/Notify.h"
#include "capture/NotifyEvents.h"
#include "capture/Watch.h"
#include "display/About.h"
#include "display/AppsWindow.h"
#include "display/Figure.h"
#include "display/MyDialog.h"
#include "display/SoundFile.h"
#include "display/WindowSet.h"
#include "history/PlanWatch.h"
#include "history/total.h"
#include "metrics/MetricsText.h"
#include "platform/ErrorReport.h"
#include "platform/ExitSteps.h"
#include "settings/CfgF.h"
#include "settings/config.h"
#include "vartype.h"

namespace zul {

TFVCLS* FVCLS = nullptr;

namespace {
constexpr const char* kLogOpenKey = "log.open";
constexpr const char* kLogWriteKey = "log.write";
constexpr const char* kLogNoticeKey = "log.notice";
constexpr const char* kSoundKey = "tray.sound";
constexpr int kTrayPictures = 7;

// The player's formats that a sniffed file may be handed to.
bool Decodable(TSoundFormat format) {
  const QList<QMediaFormat::FileFormat> formats =
      QMediaFormat().supportedFileFormats(QMediaFormat::Decode);
  auto has = [&](QMediaFormat::FileFormat f) { return formats.contains(f); };
  switch (format) {
    case TSoundFormat::Wave:
      return has(QMediaFormat::Wave);
    case TSoundFormat::Mp3:
      return has(QMediaFormat::MP3);
    case TSoundFormat::Ogg:
      return has(QMediaFormat::Ogg);
    case TSoundFormat::Flac:
      return has(QMediaFormat::FLAC);
    case TSoundFormat::Mpeg4Audio:
      return has(QMediaFormat::Mpeg4Audio) || has(QMediaFormat::MPEG4);
    case TSoundFormat::Aac:
      return has(QMediaFormat::AAC);
    case TSoundFormat::Wma:
      return has(QMediaFormat::WMA);
    case TSoundFormat::Matroska:
      return has(QMediaFormat::Matroska) || has(QMediaFormat::WebM);
    case TSoundFormat::Unknown:
      break;
  }
  return false;
}

std::string Quoted(const QString& fileName) {
  return "\"" + fileName.toStdString() + "\"";
}

}  // namespace

QString DocFile(const QString& name) {
  // The program's real folder: lib/zul when installed under any prefix, the build folder else.
  const QString exe = QString::fromLocal8Bit(ExeDir.c_str());
  for (const QString& dir :
       {exe + QStringLiteral("../../share/doc/zul/"), exe + QStringLiteral("doc/")}) {
    const QFileInfo file(dir + name);
    if (file.isFile()) return file.canonicalFilePath();
  }
  return {};
}

int TrayPicture(uint32_t barHeight, uint32_t graphHeight) {
  // A graph of no height (a window shrunk to its readout) has no level to show.
  if (barHeight == 0 || graphHeight == 0) return 0;
  const uint64_t index = uint64_t{barHeight} * 5 / graphHeight + 1;
  return index > kTrayPictures - 1 ? kTrayPictures - 1 : static_cast<int>(index);
}

bool TrayMissing() {
  return FVCLS != nullptr && FVCLS->NotifyIcon1.Active() && !FVCLS->NotifyIcon1.HostAvailable();
}

TFVCLS::TFVCLS(QWidget* parent) : QWidget(parent), NotifyIcon1(this) {
  setObjectName(QStringLiteral("FVCLS"));
  FSampler = std::make_unique<TSampler>(Traffic, TLog, LocalNow);
  FSampler->OnError = [](const std::string& text) { ReportError(kLogWriteKey, text); };
  FSampler->OnSecond = [](const TCounterBlock& counters) {
    CountMetricsSecond(counters);  // first: a failing threshold check must not skip it
    NotifyEvents().Post(CheckNotification(counters));
  };
  Sampler = FSampler.get();
  // A sound that fails is reported once, until one plays; the message is shown all the same.
  connect(&NotifyEvents(), &TNotifyEvents::SoundDue, this,
          [this](const QString& file) { Guarded(kNotifySoundKey, [&] { PlaySoundFile(file); }); });

  LogEvents = std::make_unique<TLogEvents>(TLog);
  // A write that lands with nothing left behind ends the log's report at once.
  connect(LogEvents.get(), &TLogEvents::WriteResult, this, [this](const QString& error) {
    if (error.isEmpty() && FSampler->PendingWrites() == 0) ClearError(kLogWriteKey);
  });
  // A log that cannot be opened is reported; the timer runs anyway and the graphs go on.
  Guarded(kLogOpenKey, [this] { TLog.Open(DataDir + "db/"); });
  if (std::string notice = TLog.TakeNotice(); !notice.empty()) ReportError(kLogNoticeKey, notice);
  StartPlan(this);

  Timer1.setInterval(1000);
  connect(&Timer1, &QTimer::timeout, this, &TFVCLS::Timer1Timer);
  Timer1.start();

  FillMeterPictures(ImageList1);
  CreateMenu();
  NotifyIcon1.SetAnimated(false);
  NotifyIcon1.SetIconIndex(0);
  NotifyIcon1.SetImageList(&ImageList1);
  NotifyIcon1.SetPopupMenu(&PopupMenu1);
  NotifyIcon1.OnDblClick = [this](TNotifyIcon*) { Open1Click(); };
  // The icon joins a notification area that starts later; until then there is no other way out.
  NotifyIcon1.OnNoTray = [] {
    std::fputs(
        "zul: this desktop has no notification area for the tray icon; until one starts, the "
        "graph windows' right-click menu is the tray menu, and closing the \"Internet & LAN\" "
        "window ends the program.\n",
        stderr);
    MenuHintPending = true;
    UpdateNotice();
  };
  // Runs on the main thread: a tray appeared, so the window's hint goes.
  NotifyIcon1.OnTrayChanged = [] { UpdateNotice(); };
  OpenUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
}

TFVCLS::~TFVCLS() {
  if (Sampler == FSampler.get()) Sampler = nullptr;
  if (FVCLS == this) FVCLS = nullptr;
}

void TFVCLS::CreateMenu() {
  PopupMenu1.setObjectName(QStringLiteral("PopupMenu1"));
  auto add = [this](QMenu* menu, const char* caption, void (TFVCLS::*handler)()) {
    QAction* a = menu->addAction(QString::fromUtf8(caption));
    connect(a, &QAction::triggered, this, handler);
    return a;
  };
  Open1 = add(&PopupMenu1, "&Open Monitor", &TFVCLS::Open1Click);
  New1 = PopupMenu1.addMenu(QStringLiteral("&Window"));
  NWanLan = add(New1, "Internet && LAN", &TFVCLS::NWanLanClick);
  NWan = add(New1, "Internet", &TFVCLS::NWanClick);
  NLAN = add(New1, "LAN", &TFVCLS::NLANClick);
  NInternet = add(New1, "INTERNET (All PCs)", &TFVCLS::NInternetClick);
  for (QAction* a : {NWanLan, NWan, NLAN, NInternet}) a->setCheckable(true);
  New1->addSeparator();
  All1 = add(New1, "&All Windows", &TFVCLS::All1Click);
  Hide1 = add(&PopupMenu1, "H&ide", &TFVCLS::Hide1Click);
  PopupMenu1.addSeparator();
  NStatistics = add(&PopupMenu1, "&Statistics", &TFVCLS::NStatisticsClick);
  NApplications = add(&PopupMenu1, "&Applications", &TFVCLS::NApplicationsClick);
  NOptions = add(&PopupMenu1, "&Options", &TFVCLS::NOptionsClick);
  PopupMenu1.addSeparator();
  NHelp = add(&PopupMenu1, "&Help", &TFVCLS::NHelpClick);
  NAbout = add(&PopupMenu1, "&About", &TFVCLS::NAboutClick);
  PopupMenu1.addSeparator();
  Quit1 = add(&PopupMenu1, "E&xit", &TFVCLS::Quit1Click);
  connect(&PopupMenu1, &QMenu::aboutToShow, this, &TFVCLS::PopupMenu1Popup);
}

void TFVCLS::Timer1Timer() {
  Guarded("sample.tick", [this] {
    // A log that failed to open (locked by a dying instance, a folder not there yet) gets
    // another chance once there is something to write; the sampler keeps what it could not.
    if (!TLog.IsOpen() && FSampler->PendingWrites() > 0 && Traffic.MinuteTick == 59) {
      if (Guarded(kLogOpenKey, [this] { TLog.Open(DataDir + "db/"); })) {
        if (std::string notice = TLog.TakeNotice(); !notice.empty())
          ReportError(kLogNoticeKey, notice);
      }
    }
    // The one clock: each second due is stored and shown by every graph window, so a stalled
    // loop catches up column by column.
    FSampler->SampleSeconds(FSecondClock.Due(std::chrono::steady_clock::now()), StepAllWindows);
    UpdateTrayTip();
    if (FSampler->PendingWrites() == 0) ClearError(kLogWriteKey);
  });
}

void TFVCLS::SetTrayHint(const QString& hint) {
  FReadoutHint = hint;
  UpdateTrayTip();
}

void TFVCLS::UpdateTrayTip() {
  // While capture is off the tip says so rather than show an idle link's rates.
  const std::string problem = CaptureProblem();
  // The data plan's figures follow on a line of their own.
  NotifyIcon1.SetHint(problem.empty() ? TrayTipWithPlan(FReadoutHint, kTrayTipMax)
                                      : QString::fromStdString(problem));
}

void TFVCLS::SetTrayLevel(uint32_t barHeight, uint32_t graphHeight) {
  NotifyIcon1.SetIconIndex(TrayPicture(barHeight, graphHeight));
}

void TFVCLS::PlaySoundFile(const QString& fileName) {
  // What can be told at once is raised to the caller; the player itself reports later.
  const TSoundCheck check = CheckSoundFile(QFile::encodeName(fileName).toStdString());
  if (!check.Problem.empty()) throw std::runtime_error(check.Problem);
  if (!Decodable(check.Format))
    throw std::runtime_error("The sound file " + Quoted(fileName) + " holds " +
                             SoundFormatName(check.Format) +
                             " audio, which this computer has no decoder for.");
  const QAudioDevice device = QMediaDevices::defaultAudioOutput();
  if (device.isNull())
    throw std::runtime_error("The sound file " + Quoted(fileName) +
                             " cannot be played: this computer has no audio output.");

  if (!MediaPlayer1) {
    MediaPlayer1 = std::make_unique<QMediaPlayer>();
    FAudioOutput = std::make_unique<QAudioOutput>();
    MediaPlayer1->setAudioOutput(FAudioOutput.get());
    connect(MediaPlayer1.get(), &QMediaPlayer::errorOccurred, this,
            [this](QMediaPlayer::Error, const QString& text) { MediaPlayer1Error(text); });
    connect(MediaPlayer1.get(), &QMediaPlayer::mediaStatusChanged, this,
            [](QMediaPlayer::MediaStatus status) {
              if (status == QMediaPlayer::BufferedMedia || status == QMediaPlayer::EndOfMedia)
                ClearError(kSoundKey);
            });
  }
  MediaPlayer1->stop();
  // An empty source closes the file opened before.
  MediaPlayer1->setSource(QUrl());
  FAudioOutput->setDevice(device);
  MediaPlayer1->setSource(QUrl::fromLocalFile(QFileInfo(fileName).absoluteFilePath()));
  MediaPlayer1->play();
}

void TFVCLS::MediaPlayer1Error(const QString& text) {
  const QString file = MediaPlayer1 ? MediaPlayer1->source().toLocalFile() : QString();
  ReportError(kSoundKey,
              "The sound file " + Quoted(file) + " cannot be played: " +
                  (text.isEmpty() ? std::string("the player failed") : text.toStdString()) + ".");
}

void TFVCLS::PopupMenu1Popup() {
  const std::array<QAction*, 4> items = {NWanLan, NWan, NLAN, NInternet};
  for (int v = 0; v < kViewCount; ++v)
    items[v]->setChecked(Figures[v] != nullptr && Figures[v]->isVisible());
}

void TFVCLS::ToggleView(int view) {
  Guarded("tray.window", [view] {
    TFBFigure* f = Figures[view];
    if (f == nullptr) return;
    if (f->isVisible()) {
      f->hide();
      f->FShownByUser = false;
      return;
    }
    // The primary window comes back where it was; the others are stacked beside what is open.
    if (view != tvInternetLan) PlaceWindow(view);
    f->show();
    f->FShownByUser = true;
    SetTopmost(nullptr, Cfg.OnTop);
  });
}

void TFVCLS::Open1Click() {
  Guarded("tray.open", [] { ShowMonitor(); });
}

void TFVCLS::All1Click() {
  Guarded("tray.all", [] { ShowAllWindows(); });
}

void TFVCLS::Hide1Click() {
  Guarded("tray.hide", [] { HideAllWindows(); });
}

void TFVCLS::NStatisticsClick() {
  Guarded("tray.statistics", [] {
    if (FTotal) FTotal->ShowStatistics();
  });
}

void TFVCLS::NApplicationsClick() {
  Guarded("tray.applications", [] { ShowApplications(); });
}

void TFVCLS::NOptionsClick() {
  Guarded("tray.options", [] {
    if (FConfig == nullptr) return;
    FConfig->show();
    FConfig->raise();
    FConfig->activateWindow();
  });
}

void TFVCLS::NHelpClick() {
  // Fire and forget: a desktop without a browser says so itself.
  Guarded("tray.help", [this] {
    const QString guide = DocFile(QString::fromUtf8(kUserGuide));
    if (guide.isEmpty())
      throw std::runtime_error("The user guide is not installed: it belongs in " +
                               std::string(kInstalledDocDir) + kUserGuide + ".");
    if (OpenUrl) OpenUrl(QUrl::fromLocalFile(guide));
  });
}

void TFVCLS::NAboutClick() {
  Guarded("tray.about", [] {
    if (FAbout == nullptr) return;
    FAbout->show();
    FAbout->raise();
    FAbout->activateWindow();
  });
}

void TFVCLS::Quit1Click() {
  ArmExitWatchdog();
  Quitting = true;
  Timer1.stop();
  // The primary window's close runs the exit steps; without it, the loop's end runs them.
  if (Figures[0])
    Figures[0]->close();
  else
    QCoreApplication::quit();
}

}  // namespace zul
