// The options dialog on Qt's offscreen platform: what OK stores, applies and writes, the checks and
// their messages, the start with the desktop session, the switch of capture between adapters and
// the adapters that come later.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTabBar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/FrameKit.h"
#include "capture/Notify.h"
#include "capture/Watch.h"
#include "platform/Autostart.h"
#include "platform/ErrorReport.h"
#include "settings/CfgF.h"
#include "settings/config.h"
#include "vartype.h"

namespace zul {
namespace {

namespace fs = std::filesystem;
using TCalls = std::vector<std::string>;

QString Q(const char* text) {
  return QString::fromUtf8(text);
}

// Types into a list's edit field as a user does: everything selected, then the keys.
void Type(QComboBox* box, const QString& text) {
  QLineEdit* edit = box->lineEdit();
  edit->selectAll();
  QKeyEvent del(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
  QCoreApplication::sendEvent(edit, &del);
  for (const QChar c : text) {
    QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QCoreApplication::sendEvent(edit, &key);
  }
}

// Types into a notification list the way a user can: with notifications on, which are then
// turned off again.
void TypeNotify(TFConfig& d, QComboBox* box, const QString& text) {
  d.CBENotify->click();
  Type(box, text);
  d.CBENotify->click();
}

void Click(QWidget* w) {
  const QPointF at(w->width() / 2.0, w->height() / 2.0);
  QMouseEvent press(QEvent::MouseButtonPress, at, w->mapToGlobal(at), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w, &press);
  QCoreApplication::sendEvent(w, &release);
}

class Options : public ::testing::Test {
 protected:
  void SetUp() override {
    Root = fs::temp_directory_path() / ("zul-options-" + std::to_string(getpid()));
    fs::remove_all(Root);
    fs::create_directories(Root / "xdg" / "autostart");
    OldXdg = std::getenv("XDG_CONFIG_DIRS") ? std::getenv("XDG_CONFIG_DIRS") : "";
    setenv("XDG_CONFIG_DIRS", (Root / "xdg").c_str(), 1);
    ExeDir = (Root / "exe").string() + "/";
    DataDir = (Root / "data").string() + "/";
    Cfg = TCfgRec{};
    SetDefaultCfg(Cfg, ExeDir);
    for (const char* key : {"config.save", "config.sound", "config.ok"}) ClearError(key);
    SetErrorSink([this](const std::string& text) { Reports.push_back(text); });

    D = std::make_unique<TFConfig>();
    TConfigActions& a = D->Actions;
    a.SetTopmost = [this](QWidget*, bool on) { Log("SetTopmost(" + std::to_string(on) + ")"); };
    a.SetAllCaptions = [this](bool on) { Log("SetAllCaptions(" + std::to_string(on) + ")"); };
    a.SetAllTransparency = [this](bool on, uint16_t p) {
      Log("SetAllTransparency(" + std::to_string(on) + "," + std::to_string(p) + ")");
    };
    a.RepaintAll = [this] { Log("RepaintAll"); };
    a.StartAllWatchers = [this] { Log("StartAllWatchers"); };
    a.MonitorOneAdapter = [this](int32_t i) {
      Log("MonitorOneAdapter(" + std::to_string(i) + ")");
    };
    a.UpdateFullScale = [this] { Log("UpdateFullScale"); };
    a.ArmNotification = [this] {
      Log("ArmNotification");
      ArmNotification();
    };
    a.SaveCfg = [this] {
      Log("SaveCfg");
      SaveCfg();
    };
    a.PlaySoundFile = [this](const QString& f) {
      Log("PlaySoundFile(" + f.toStdString() + ")");
      throw std::runtime_error("cannot play " + f.toStdString());
    };
    a.Message = [this](QMessageBox::Icon icon, const QString& text) {
      Messages.push_back(text.toStdString());
      Icons.push_back(icon);
    };
    a.PickColor = [this](const QColor& initial) {
      ColorAsked.push_back(initial);
      return NextColor;
    };
    a.PickFile = [](const QString&) { return QString(); };
    D->CBInterfaces->addItems({QStringLiteral("First adapter"), QStringLiteral("Second adapter")});
  }
  void TearDown() override {
    D.reset();
    SetErrorSink(nullptr);
    setenv("XDG_CONFIG_DIRS", OldXdg.c_str(), 1);
    fs::remove_all(Root);
  }

  void Log(const std::string& s) { Calls.push_back(s); }
  // Shows the dialog as the tray menu does and forgets what showing it did.
  void Open() {
    D->ShowOptions();
    Calls.clear();
    Messages.clear();
  }
  bool FileWritten() const { return fs::exists(DataDir + "ZUL.cfg"); }
  std::string Entry() const { return (Root / "xdg" / "autostart" / "TFZUL.desktop").string(); }

  fs::path Root;
  std::string OldXdg;
  std::unique_ptr<TFConfig> D;
  TCalls Calls;
  std::vector<std::string> Messages;
  std::vector<QMessageBox::Icon> Icons;
  std::vector<std::string> Reports;
  std::vector<QColor> ColorAsked;
  std::optional<QColor> NextColor;
};

TEST_F(Options, OkWithoutChangesAppliesAndWritesNothing) {
  Open();
  D->BBOK->click();
  EXPECT_EQ(Calls, TCalls{});
  EXPECT_TRUE(Messages.empty());
  EXPECT_FALSE(FileWritten());
  EXPECT_FALSE(D->isVisible());
}

TEST_F(Options, EachChangeIsAppliedThroughItsOwnOperationThenWritten) {
  struct TRow {
    const char* What;
    std::function<void(TFConfig&)> Edit;
    TCalls Applied;  // in order, before the save
    std::function<bool(const TCfgRec&)> Stored;
  };
  const std::vector<TRow> rows = {
      {"tray view",
       [](TFConfig& d) { d.RBLAN->click(); },
       {},
       [](const TCfgRec& c) { return c.TrayView == 2; }},
      {"sound file",
       [](TFConfig& d) { d.EWaveName->setText(Q("/snd/bell ö.wav")); },
       {},
       [](const TCfgRec& c) { return c.SoundFile == "/snd/bell \xc3\xb6.wav"; }},
      {"start minimised",
       [](TFConfig& d) { d.CBMinimized->click(); },
       {},
       [](const TCfgRec& c) { return c.StartMinimized; }},
      {"play sound",
       [](TFConfig& d) { d.CBPlay->setChecked(false); },
       {},
       [](const TCfgRec& c) { return !c.PlaySound; }},
      {"on top",
       [](TFConfig& d) { d.CBOntop->click(); },
       {"SetTopmost(0)"},
       [](const TCfgRec& c) { return !c.OnTop; }},
      {"caption",
       [](TFConfig& d) { d.CBCaption->click(); },
       {"SetAllCaptions(0)"},
       [](const TCfgRec& c) { return !c.ShowCaption; }},
      {"opacity",
       [](TFConfig& d) { d.TBVisible->setValue(50); },
       {"SetAllTransparency(1,50)"},
       [](const TCfgRec& c) { return c.VisiblePercent == 50; }},
      {"numeric",
       [](TFConfig& d) { d.RBNumeric->click(); },
       {"RepaintAll"},
       [](const TCfgRec& c) { return c.DisplayMode == 1; }},
      {"kbps",
       [](TFConfig& d) { d.RBkbps->click(); },
       {"RepaintAll"},
       [](const TCfgRec& c) { return c.RateUnit == 1; }},
      {"grid period",
       [](TFConfig& d) { d.CBVerticaltime->setCurrentIndex(3); },
       {"RepaintAll"},
       [](const TCfgRec& c) { return c.GridPeriod == 3; }},
      {"connection",
       [](TFConfig& d) { d.CBConnection->setCurrentIndex(15); },
       {"UpdateFullScale", "RepaintAll"},
       [](const TCfgRec& c) { return c.Connection == 15; }},
      {"custom speed, largest",
       [](TFConfig& d) { d.ECstConn->setText(Q("2147483647")); },
       {"UpdateFullScale", "RepaintAll"},
       [](const TCfgRec& c) { return c.CustomKbps == 2147483647; }},
      {"custom speed typed with a leading zero",
       [](TFConfig& d) { d.ECstConn->setText(Q("01000")); },
       {"UpdateFullScale", "RepaintAll"},
       [](const TCfgRec& c) { return c.CustomKbps == 1000; }},
      {"headroom, largest",
       [](TFConfig& d) { d.ECstConnPlus->setText(Q("65535")); },
       {"UpdateFullScale", "RepaintAll"},
       [](const TCfgRec& c) { return c.CustomPlus == 65535; }},
      {"notifications on",
       [](TFConfig& d) { d.CBENotify->click(); },
       {"ArmNotification"},
       [](const TCfgRec& c) { return c.NotifyEnabled; }},
      {"amount, largest",
       [](TFConfig& d) { d.ENum->setText(Q("2147483647")); },
       {"ArmNotification"},
       [](const TCfgRec& c) { return c.NotifyAmount == 2147483647u; }},
      {"time, largest",
       [](TFConfig& d) { d.ELastNum->setText(Q("65535")); },
       {"ArmNotification"},
       [](const TCfgRec& c) { return c.NotifyTime == 65535; }},
      {"time unit",
       [](TFConfig& d) { TypeNotify(d, d.CBSeconds, Q("HOURS")); },
       {"ArmNotification"},
       [](const TCfgRec& c) { return c.NotifyTimeUnit == 2; }},
      {"one adapter",
       [](TFConfig& d) {
         d.RBspecinterface->click();
         d.CBInterfaces->setCurrentIndex(1);
       },
       {"MonitorOneAdapter(1)", "MonitorOneAdapter(1)"},
       [](const TCfgRec& c) { return !c.AllInterfaces && c.InterfaceIndex == 1; }},
  };
  for (const TRow& r : rows) {
    SetDefaultCfg(Cfg, ExeDir);
    fs::remove_all(DataDir);
    Open();
    r.Edit(*D);
    D->BBOK->click();
    TCalls expected = r.Applied;
    expected.push_back("SaveCfg");
    EXPECT_EQ(Calls, expected) << r.What;
    EXPECT_TRUE(r.Stored(Cfg)) << r.What;
    TCfgRec onDisk;
    ASSERT_EQ(LoadCfgFile(DataDir + "ZUL.cfg", onDisk, ExeDir), TCfgLoadResult::Loaded) << r.What;
    EXPECT_TRUE(r.Stored(onDisk)) << r.What;
    EXPECT_FALSE(D->isVisible()) << r.What;
  }
}

TEST_F(Options, ChecksRejectInTheirOrderAndChangeNothing) {
  struct TRow {
    const char* What;
    std::function<void(TFConfig&)> Edit;
    const char* Message;
  };
  const char* kNumber = "Invalid number!";
  const char* kSpeed = "Custom connection must be larger than zero!";
  const char* kTime = "Notification time must be larger than zero!";
  const char* kTarget = "Please select correct notification target!";
  const std::vector<TRow> rows = {
      {"no adapter in the list",
       [](TFConfig& d) {
         d.CBInterfaces->clear();
         d.RBspecinterface->click();
       },
       "Please select correct interface!"},
      {"adapter typed that is none",
       [](TFConfig& d) {
         d.RBspecinterface->click();
         Type(d.CBInterfaces, Q("eth9"));
       },
       "Please select correct interface!"},
      {"no grid period while grid lines are off",
       [](TFConfig& d) { d.CBVerticaltime->setCurrentIndex(-1); },
       "Please select correct vertical grid line period!"},
      {"no connection type", [](TFConfig& d) { Type(d.CBConnection, Q("Fast")); },
       "Please select correct connection type!"},
      {"custom with an empty speed",
       [](TFConfig& d) {
         d.CBConnection->setCurrentIndex(15);
         d.ECstConn->clear();
       },
       kNumber},
      {"speed past 32 bits", [](TFConfig& d) { d.ECstConn->setText(Q("2147483648")); }, kNumber},
      {"speed with letters", [](TFConfig& d) { d.ECstConn->setText(Q("12k")); }, kNumber},
      {"headroom past 16 bits", [](TFConfig& d) { d.ECstConnPlus->setText(Q("65536")); }, kNumber},
      {"negative headroom", [](TFConfig& d) { d.ECstConnPlus->setText(Q("-1")); }, kNumber},
      {"negative amount", [](TFConfig& d) { d.ENum->setText(Q("-1")); }, kNumber},
      {"time past 16 bits", [](TFConfig& d) { d.ELastNum->setText(Q("65536")); }, kNumber},
      {"bad time before a zero speed",
       [](TFConfig& d) {
         d.ECstConn->setText(Q("0"));
         d.ELastNum->setText(Q("x"));
       },
       kNumber},
      {"zero speed with another type selected", [](TFConfig& d) { d.ECstConn->setText(Q("0")); },
       kSpeed},
      {"negative speed",
       [](TFConfig& d) {
         d.CBConnection->setCurrentIndex(15);
         d.ECstConn->setText(Q("-5"));
       },
       kSpeed},
      {"zero speed before a zero time",
       [](TFConfig& d) {
         d.ECstConn->setText(Q("0"));
         d.ELastNum->setText(Q("0"));
       },
       kSpeed},
      {"zero time", [](TFConfig& d) { d.ELastNum->setText(Q("0")); }, kTime},
      {"negative time", [](TFConfig& d) { d.ELastNum->setText(Q("-3")); }, kTime},
      {"no condition", [](TFConfig& d) { d.CBLessthan->setCurrentIndex(-1); },
       "Please select correct notification condition!"},
      {"no unit", [](TFConfig& d) { TypeNotify(d, d.CBBytes, Q("TB")); },
       "Please select correct traffic unit!"},
      {"no target", [](TFConfig& d) { TypeNotify(d, d.CBWere, Q("Sideways")); }, kTarget},
      {"empty time unit", [](TFConfig& d) { TypeNotify(d, d.CBSeconds, Q("")); }, kTarget},
  };
  for (const TRow& r : rows) {
    SetDefaultCfg(Cfg, ExeDir);
    const TCfgImage before = EncodeCfg(Cfg);
    Open();
    r.Edit(*D);
    D->BBOK->click();
    EXPECT_EQ(Messages, std::vector<std::string>{r.Message}) << r.What;
    EXPECT_EQ(Icons.back(), QMessageBox::Warning) << r.What;
    EXPECT_EQ(Calls, TCalls{}) << r.What;
    EXPECT_EQ(EncodeCfg(Cfg), before) << r.What;
    EXPECT_FALSE(FileWritten()) << r.What;
    EXPECT_TRUE(D->isVisible()) << r.What;
    D->BBCancelClick();
  }
}

TEST_F(Options, AdaptersThatComeLaterAreAppendedAndWhatTheUserChoseStays) {
  struct TRow {
    const char* What;
    std::function<void(TFConfig&)> Edit;  // on the list "First adapter", "Second adapter"
    std::vector<std::string> Adapters;
    int Selected;
    const char* Shown;
  };
  const std::vector<std::string> three = {"First adapter", "Second adapter", "eth2"};
  const std::vector<TRow> rows = {
      {"selection", [](TFConfig& d) { d.CBInterfaces->setCurrentIndex(1); }, three, 1,
       "Second adapter"},
      {"typed name of none", [](TFConfig& d) { Type(d.CBInterfaces, Q("eth9")); }, three, -1,
       "eth9"},
      {"typed name that comes", [](TFConfig& d) { Type(d.CBInterfaces, Q("ETH2")); }, three, 2,
       "ETH2"},
      {"empty list", [](TFConfig& d) { d.CBInterfaces->clear(); }, {"eth0"}, -1, ""},
      {"empty list, typed name",
       [](TFConfig& d) {
         d.CBInterfaces->clear();
         Type(d.CBInterfaces, Q("wlan0"));
       },
       {"eth0"},
       -1,
       "wlan0"},
  };
  for (const TRow& r : rows) {
    Open();
    D->CBInterfaces->clear();
    D->CBInterfaces->addItems({Q("First adapter"), Q("Second adapter")});
    D->RBspecinterface->click();
    r.Edit(*D);
    AdapterList = r.Adapters;
    D->TakeNewAdapters();
    AdapterList.clear();
    std::vector<std::string> items;
    for (int i = 0; i < D->CBInterfaces->count(); ++i)
      items.push_back(D->CBInterfaces->itemText(i).toStdString());
    EXPECT_EQ(items, r.Adapters) << r.What;
    EXPECT_EQ(D->CBInterfaces->currentIndex(), r.Selected) << r.What;
    EXPECT_EQ(D->CBInterfaces->currentText(), Q(r.Shown)) << r.What;
    EXPECT_EQ(D->CheckCfg(), r.Selected >= 0) << r.What;
    D->BBCancelClick();
  }
}

TEST_F(Options, CancelStoresNothingAndTheNextShowingReloads) {
  Open();
  D->CBOntop->click();
  D->ECstConn->setText(Q("5"));
  D->BBCancel->click();
  EXPECT_FALSE(D->isVisible());
  EXPECT_TRUE(Cfg.OnTop);
  Open();
  EXPECT_TRUE(D->CBOntop->isChecked());
  EXPECT_EQ(D->ECstConn->text(), Q("1000"));
}

TEST_F(Options, ControlsAreEnabledByTheControlsTheyDependOn) {
  Cfg.NotifyEnabled = true;
  Cfg.PlaySound = false;
  Open();
  // Loaded: the sound controls follow "Play sound file:".
  EXPECT_TRUE(D->CBPlay->isEnabled());
  EXPECT_FALSE(D->EWaveName->isEnabled());
  auto expect = [&](const char* what, std::initializer_list<QWidget*> ws, bool on) {
    for (QWidget* w : ws)
      EXPECT_EQ(w->isEnabled(), on) << what << " " << w->objectName().toStdString();
  };
  D->CBTransparent->click();
  expect("transparency off", {D->TBVisible}, false);
  D->CBTransparent->click();
  expect("transparency on", {D->TBVisible}, true);
  D->CBGridLines->click();
  expect("grid lines on", {D->CBVerticaltime}, true);
  D->CBConnection->setCurrentIndex(15);
  expect("custom", {D->ECstConn, D->ECstConnPlus}, true);
  Type(D->CBConnection, Q("64 kbps (ISDN)"));
  expect("typed another type", {D->ECstConn, D->ECstConnPlus}, false);
  D->RBspecinterface->click();
  expect("one adapter", {D->CBInterfaces}, true);
  D->RBLAN->click();  // the tray choice shares the handler and changes nothing here
  expect("tray view", {D->CBInterfaces}, true);
  D->RBAllInterfaces->click();
  expect("all adapters", {D->CBInterfaces}, false);
  D->CBENotify->click();
  expect(
      "notifications off",
      {D->LWhen, D->CBLessthan, D->ENum, D->CBBytes, D->LWere, D->CBWere, D->LInALast, D->ELastNum,
       D->CBSeconds, D->CBPlay, D->EWaveName, D->CBDisplaymsg, D->SBOpen, D->SBSound},
      false);
  D->CBENotify->click();  // enables all fourteen, the sound controls too
  expect("notifications on", {D->CBLessthan, D->CBPlay, D->EWaveName, D->SBOpen, D->SBSound}, true);
  D->CBPlay->click();
  expect("play ticked", {D->EWaveName, D->SBOpen, D->SBSound}, true);
  D->CBPlay->click();
  expect("play unticked", {D->EWaveName, D->SBOpen, D->SBSound}, false);
}

TEST_F(Options, ColourDialogOpensWithTheColourLastChosenInIt) {
  Open();
  NextColor = QColor(0, 0, 255);
  Click(D->PIdle);
  NextColor = std::nullopt;  // cancelled: the swatch keeps its colour
  Click(D->PUpload);
  NextColor = QColor(1, 2, 3);
  Click(D->PDownload);
  ASSERT_EQ(ColorAsked.size(), 3u);
  EXPECT_EQ(ColorAsked[0], QColor(Qt::black));
  EXPECT_EQ(ColorAsked[1], QColor(0, 0, 255));
  EXPECT_EQ(ColorAsked[2], QColor(0, 0, 255));
  D->BBOK->click();
  EXPECT_EQ(Cfg.ColorIdle, 0x00FF0000u);
  EXPECT_EQ(Cfg.ColorUpload, 0x0000FF00u);
  EXPECT_EQ(Cfg.ColorDownload, 0x00030201u);
  EXPECT_EQ(Calls, (TCalls{"RepaintAll", "SaveCfg"}));
}

TEST_F(Options, SoundButtonPlaysTheTypedFileAndReportsEachFailure) {
  Cfg.NotifyEnabled = true;
  Open();
  D->EWaveName->setText(Q("/nowhere/x.wav"));
  D->SBSound->click();
  D->SBSound->click();
  EXPECT_EQ(Calls, (TCalls{"PlaySoundFile(/nowhere/x.wav)", "PlaySoundFile(/nowhere/x.wav)"}));
  EXPECT_EQ(Reports.size(), 2u);
  EXPECT_EQ(Cfg.SoundFile, ExeDir + "Alert.wav");
}

TEST_F(Options, FailedSaveIsReportedKeepsWhatWasAppliedAndIsTriedAgain) {
  std::ofstream(Root / "blocker") << "a file where the data folder's parent should be";
  DataDir = (Root / "blocker" / "data").string() + "/";
  Open();
  D->RBWAN->click();
  D->BBOK->click();
  EXPECT_EQ(Cfg.TrayView, 1);
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_TRUE(D->isVisible());
  // Nothing changed since, but the settings are not on disk yet: the next OK tries again.
  D->BBOK->click();
  EXPECT_EQ(Calls, (TCalls{"SaveCfg", "SaveCfg"}));
  EXPECT_EQ(Reports.size(), 2u);
  DataDir = (Root / "data").string() + "/";
  D->BBOK->click();
  EXPECT_FALSE(D->isVisible());
  TCfgRec onDisk;
  ASSERT_EQ(LoadCfgFile(DataDir + "ZUL.cfg", onDisk, ExeDir), TCfgLoadResult::Loaded);
  EXPECT_EQ(onDisk.TrayView, 1);
  Open();
  D->BBOK->click();
  EXPECT_EQ(Calls, TCalls{});
}

TEST_F(Options, ChangedNotificationSettingRestartsTheWindowFromZero) {
  Cfg.NotifyEnabled = true;
  ArmNotification();
  for (int i = 0; i < 5; ++i) CheckNotification(TCounterBlock{});
  ASSERT_EQ(NotifyState().Ticks, 5u);
  Open();
  D->BBOK->click();
  EXPECT_EQ(NotifyState().Ticks, 5u);  // nothing changed: the window runs on
  Open();
  D->ELastNum->setText(Q("30"));
  D->BBOK->click();
  EXPECT_EQ(NotifyState().Ticks, 0u);
  EXPECT_EQ(NotifyState().WindowSeconds, 30u);
}

TEST_F(Options, LoadWithWindowsFollowsTheEntryForThisCopy) {
  const std::string self = ExecutablePath();
  // Another copy's entry goes when the dialog opens.
  std::ofstream(Entry()) << "[Desktop Entry]\nExec=/opt/other/zul\n";
  D->CBRun->setChecked(true);
  Open();
  EXPECT_FALSE(D->CBRun->isChecked());
  EXPECT_FALSE(fs::exists(Entry()));
  // Ticking it writes an entry that starts this program, and nothing else.
  D->CBRun->click();
  D->BBOK->click();
  EXPECT_EQ(ReadAutostart(Entry()).Program, self);
  EXPECT_EQ(Calls, TCalls{});
  EXPECT_FALSE(FileWritten());
  Open();
  EXPECT_TRUE(D->CBRun->isChecked());
  D->CBRun->click();
  D->BBOK->click();
  EXPECT_FALSE(fs::exists(Entry()));
}

TEST_F(Options, WithoutWriteAccessTheAdministratorMessageShowsAndSettingsAreStored) {
  fs::remove_all(Root / "xdg" / "autostart");
  std::ofstream(Root / "xdg" / "autostart") << "a file where the folder should be";
  Open();
  D->CBRun->click();
  D->RBInternet->click();
  D->BBOK->click();
  EXPECT_EQ(Messages,
            std::vector<std::string>{"You must run this program with administrative privileges!"});
  EXPECT_EQ(Icons.back(), QMessageBox::Information);
  EXPECT_EQ(Cfg.TrayView, 3);
  EXPECT_TRUE(FileWritten());
  EXPECT_FALSE(D->isVisible());
}

TEST_F(Options, EveryPageFitsTheFixedDialog) {
  Open();
  EXPECT_EQ(D->windowTitle(), Q("Bandwidth Monitor Options"));
  EXPECT_EQ(D->size(), QSize(440, 331));
  const QStringList titles = {Q("General"),       Q("Network Interface"), Q("Graph"),
                              Q("Notifications"), Q("Systray"),           Q("Data plan")};
  ASSERT_EQ(D->PageControl->count(), titles.size());
  for (int i = 0; i < titles.size(); ++i) {
    EXPECT_EQ(D->PageControl->tabText(i), titles[i]);
    const QRect tab = D->PageControl->tabBar()->tabRect(i);
    // Six tabs share the fixed width: a title may be elided, but every tab is in the row and
    // says its whole title in its tip.
    EXPECT_GT(tab.width(), D->fontMetrics().horizontalAdvance(titles[i].left(3))) << "tab " << i;
    EXPECT_LE(tab.right(), D->PageControl->tabBar()->width()) << "tab " << i;
    EXPECT_EQ(D->PageControl->tabToolTip(i), titles[i]);
    QWidget* page = D->PageControl->widget(i);
    D->PageControl->setCurrentIndex(i);
    QApplication::processEvents();
    const QSize need = page->minimumSizeHint();
    EXPECT_LE(need.width(), page->width()) << titles[i].toStdString();
    EXPECT_LE(need.height(), page->height()) << titles[i].toStdString();
  }
  EXPECT_EQ(D->RBGraphNum->text(), Q("Both graphical && numeric"));  // shows one "&"
  EXPECT_EQ(D->CBConnection->count(), 16);
  EXPECT_EQ(D->CBWere->count(), 13);
  EXPECT_TRUE(D->CBWere->itemText(12).isEmpty());
}

// ---- with the capture machinery, in network namespaces made here (root) ----

class OptionsLive : public Options {
 protected:
  void SetUp() override {
    if (!zultest::HaveRoot()) GTEST_SKIP() << "the adapters of a namespace need root and iproute2";
    Options::SetUp();
    D->CBInterfaces->clear();
    D->Actions.StartAllWatchers = [this] {
      Log("StartAllWatchers");
      StartAllWatchers();
    };
    D->Actions.MonitorOneAdapter = [this](int32_t i) {
      Log("MonitorOneAdapter(" + std::to_string(i) + ")");
      MonitorOneAdapter(i);
    };
    Lab = std::make_unique<zultest::TNetnsLab>("zo");
    Ns = Lab->AddSpace("a");
    Peer = Lab->AddSpace("b");
  }
  void TearDown() override {
    if (!Lab) return;
    ReleaseWatchers();
    In.reset();
    Lab.reset();
    Options::TearDown();
  }
  std::vector<bool> Active() const {
    std::vector<bool> a;
    for (int k = 0; k < WatcherCount; ++k) a.push_back(Watchers[k]->Snoop->Active());
    return a;
  }
  std::unique_ptr<zultest::TNetnsLab> Lab;
  std::unique_ptr<zultest::TNetnsGuard> In;
  std::string Ns, Peer;
};

TEST_F(OptionsLive, WithNoAdapterTheOtherStepsRunAndOneAdapterNeverPasses) {
  Cfg.AllInterfaces = false;
  In = std::make_unique<zultest::TNetnsGuard>(Ns);  // loopback only
  D->FormCreate();
  EXPECT_EQ(D->CBInterfaces->count(), 0);
  EXPECT_EQ(Calls, (TCalls{"ArmNotification", "MonitorOneAdapter(0)", "UpdateFullScale"}));
  Open();
  EXPECT_TRUE(D->RBspecinterface->isChecked());
  D->BBOK->click();
  Type(D->CBInterfaces, Q("lo"));
  D->BBOK->click();
  EXPECT_EQ(Messages, (std::vector<std::string>{"Please select correct interface!",
                                                "Please select correct interface!"}));
}

TEST_F(OptionsLive, ChoosingOneAdapterStopsTheOthersAtOnceAndAllStartsThemAgain) {
  Lab->AddVeth(Ns, "zoa0", Peer, "zob0", "192.0.2.30/24");
  Lab->AddVeth(Ns, "zoa1", Peer, "zob1", "198.51.100.30/24");
  In = std::make_unique<zultest::TNetnsGuard>(Ns);
  D->FormCreate();
  ASSERT_EQ(D->CBInterfaces->count(), 2);
  EXPECT_EQ(Active(), (std::vector<bool>{true, true}));
  Open();
  D->RBspecinterface->click();
  D->CBInterfaces->setCurrentIndex(1);
  D->BBOK->click();
  EXPECT_EQ(Active(), (std::vector<bool>{false, true}));
  Open();
  D->RBAllInterfaces->click();
  D->BBOK->click();
  EXPECT_EQ(Active(), (std::vector<bool>{true, true}));
  EXPECT_EQ(Calls, (TCalls{"StartAllWatchers", "SaveCfg"}));
}

TEST_F(OptionsLive, AnAdapterThatComesLaterJoinsTheListWhileTheDialogLives) {
  Lab->AddVeth(Ns, "zoa0", Peer, "zob0", "192.0.2.30/24");
  In = std::make_unique<zultest::TNetnsGuard>(Ns);
  D->FormCreate();
  Open();
  D->RBspecinterface->click();
  D->CBInterfaces->setCurrentIndex(0);
  Lab->AddVeth(Ns, "zoa1", Peer, "zob1", "198.51.100.30/24");
  RefreshWatchers();
  ASSERT_EQ(D->CBInterfaces->count(), 2);
  EXPECT_EQ(D->CBInterfaces->itemText(1), Q("zoa1"));
  EXPECT_EQ(D->CBInterfaces->currentIndex(), 0);
  D.reset();
  // The dialog is gone, and so is its connection: a change reaches nobody.
  RefreshWatchers();
}

}  // namespace
}  // namespace zul
