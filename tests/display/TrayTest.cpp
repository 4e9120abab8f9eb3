// The tray icon and its menu: what reaches the tray host and when, the mouse on the icon, the
// menu's items and what they do to the graph windows, the sound player's refusals, and the way
// out on a desktop without a notification area.
#include <QAction>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QUrl>
#include <cstdlib>

#include "FigureFixture.h"
#include "capture/NotifyEvents.h"
#include "display/About.h"
#include "display/AppsWindow.h"
#include "display/MyDialog.h"
#include "display/NotifyIcon.h"
#include "display/vcls.h"

namespace zul {
namespace {

// Records what the component hands to the desktop's tray.
class TFakeHost : public TTrayHost {
 public:
  struct TLog {
    int Icons = 0;
    int Tips = 0;
    int Shows = 0;
    int Hides = 0;
    // The menu the host held when it was first asked to show the icon.
    QMenu* MenuAtShow = nullptr;
    QString Tip;
    QIcon Icon;
    bool Visible = false;
  };
  explicit TFakeHost(TLog& log, bool available = true) : FLog(log), FAvailable(available) {}
  bool Available() const override { return FAvailable; }
  void SetVisible(bool visible) override {
    if (visible && FLog.Shows == 0) FLog.MenuAtShow = FMenu;
    ++(visible ? FLog.Shows : FLog.Hides);
    FLog.Visible = visible;
  }
  void SetIcon(const QIcon& icon) override {
    ++FLog.Icons;
    FLog.Icon = icon;
  }
  void SetToolTip(const QString& tip) override {
    ++FLog.Tips;
    FLog.Tip = tip;
  }
  void SetMenu(QMenu* menu) override { FMenu = menu; }
  void Activate(QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); }

 private:
  QMenu* FMenu = nullptr;
  TLog& FLog;
  bool FAvailable;
};

void RunFor(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

class NotifyIconTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FillMeterPictures(Pictures);
    auto host = std::make_unique<TFakeHost>(Log);
    Host = host.get();
    Icon = std::make_unique<TNotifyIcon>(nullptr, std::move(host));
    Icon->SetImageList(&Pictures);
  }

  TImageList Pictures;
  TFakeHost::TLog Log;
  TFakeHost* Host = nullptr;
  std::unique_ptr<TNotifyIcon> Icon;
};

TEST_F(NotifyIconTest, TipIsCutTo63CharactersAndShowsWithinOneDelay) {
  Icon->SetActive(true);
  for (int length : {0, 1, 63, 64, 100}) {
    const QString hint(length, QLatin1Char(static_cast<char>('a' + length % 26)));
    Icon->SetHint(hint);
    RunFor(kTrayIdleDelay + 40);
    EXPECT_EQ(Log.Tip, hint.left(63)) << length;
    EXPECT_TRUE(Log.Visible);
    EXPECT_EQ(Icon->Hint(), hint) << "the property keeps the whole text";
  }
}

TEST_F(NotifyIconTest, OnlyChangesReachTheHost) {
  Icon->SetHint(QStringLiteral("12.5 KB/s"));
  Icon->SetIconIndex(2);
  EXPECT_EQ(Log.Icons + Log.Tips + Log.Shows, 0) << "nothing while inactive";
  Icon->SetActive(true);
  Icon->Step();
  EXPECT_EQ(Log.Shows, 1);
  EXPECT_EQ(Log.Icons, 1);
  EXPECT_EQ(Log.Tips, 1);
  EXPECT_EQ(Log.Icon.cacheKey(), Pictures.Image(2).cacheKey());

  // What the graph window does every second: the same values again.
  for (int second = 0; second < 5; ++second) {
    Icon->SetHint(QStringLiteral("12.5 KB/s"));
    Icon->SetIconIndex(2);
    Icon->UpdateIconThread(true);  // even a forced hand-over sends only what differs
    Icon->Step();
  }
  EXPECT_EQ(Log.Icons, 1);
  EXPECT_EQ(Log.Tips, 1);

  const struct {
    const char* name;
    std::function<void()> change;
    int icons, tips;
  } cases[] = {
      {"picture", [&] { Icon->SetIconIndex(5); }, 1, 0},
      {"tip", [&] { Icon->SetHint(QStringLiteral("13 KB/s")); }, 0, 1},
      {"tip beyond the 63 shown", [&] { Icon->SetHint(QString(63, u'x') + u'1'); }, 0, 1},
      {"only past the 63rd character", [&] { Icon->SetHint(QString(63, u'x') + u'2'); }, 0, 0},
      {"animation off again", [&] { Icon->SetAnimated(false); }, 0, 0},
  };
  for (const auto& c : cases) {
    const int icons = Log.Icons, tips = Log.Tips;
    c.change();
    Icon->Step();
    EXPECT_EQ(Log.Icons - icons, c.icons) << c.name;
    EXPECT_EQ(Log.Tips - tips, c.tips) << c.name;
  }

  Icon->SetActive(false);
  EXPECT_EQ(Log.Hides, 1);
  EXPECT_FALSE(Log.Visible);
  Icon->SetHint(QStringLiteral("gone"));
  RunFor(kTrayIdleDelay + 40);
  EXPECT_NE(Log.Tip, QStringLiteral("gone")) << "an inactive icon hands nothing over";
}

TEST_F(NotifyIconTest, MouseOnTheIconRaisesItsEvents) {
  QMenu menu;
  menu.addAction(QStringLiteral("Item"));
  Icon->SetPopupMenu(&menu);
  std::vector<std::string> seen;
  auto record = [&](const char* what) {
    return [&seen, what](TNotifyIcon*, Qt::MouseButton b, Qt::KeyboardModifiers, int, int) {
      seen.push_back(std::string(what) + (b == Qt::LeftButton    ? "L"
                                          : b == Qt::RightButton ? "R"
                                                                 : "M"));
    };
  };
  Icon->OnMouseDown = record("down");
  Icon->OnMouseUp = record("up");
  Icon->OnDblClick = [&](TNotifyIcon*) { seen.push_back("dbl"); };
  const struct {
    QSystemTrayIcon::ActivationReason reason;
    std::vector<std::string> events;
    bool menu;
  } cases[] = {
      {QSystemTrayIcon::Trigger, {"downL", "upL"}, false},
      {QSystemTrayIcon::DoubleClick, {"dbl"}, false},
      {QSystemTrayIcon::Context, {"downR", "upR"}, true},
      {QSystemTrayIcon::MiddleClick, {"downM", "upM"}, false},
      {QSystemTrayIcon::Unknown, {}, false},
  };
  for (const auto& c : cases) {
    seen.clear();
    Host->Activate(c.reason);
    RunFor(10);
    EXPECT_EQ(seen, c.events) << c.reason;
    EXPECT_EQ(menu.isVisible(), c.menu) << c.reason;
    menu.hide();
  }
}

TEST(TrayPictures, SixSegmentsLitFromTheBottom) {
  const QColor lit(0, 255, 0);
  const QColor dark(0, 80, 0);
  for (int size : {16, 22, 24, 32, 48}) {
    for (int k = 0; k <= 6; ++k) {
      const QImage image = MeterPicture(k, size);
      ASSERT_EQ(image.size(), QSize(size, size));
      // Walk up the middle column and count the segments of each colour, in order.
      std::vector<char> segments;
      QRgb previous = 0;
      for (int y = size - 1; y >= 0; --y) {
        const QRgb px = image.pixel(size / 2, y);
        if (px != previous && (px == lit.rgb() || px == dark.rgb()))
          segments.push_back(px == lit.rgb() ? 'L' : 'D');
        previous = px;
      }
      const std::string want = std::string(k, 'L') + std::string(6 - k, 'D');
      EXPECT_EQ(std::string(segments.begin(), segments.end()), want) << size << " " << k;
      EXPECT_EQ(qAlpha(image.pixel(0, size / 2)), 0) << "transparent beside the meter";
    }
  }
}

// The hidden main form with the four graph windows of a start-up.
class TrayMenu : public FigureFixture {
 protected:
  void SetUp() override {
    FigureFixture::SetUp();
    Start();
    Vcls = std::make_unique<TFVCLS>();
    FVCLS = Vcls.get();
    auto host = std::make_unique<TFakeHost>(Log, Available);
    Vcls->NotifyIcon1.SetHost(std::move(host));
  }
  void TearDown() override {
    Vcls.reset();
    FigureFixture::TearDown();
  }

  static std::vector<std::string> Captions(const QMenu* menu) {
    std::vector<std::string> out;
    for (const QAction* a : menu->actions())
      out.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    return out;
  }
  std::vector<int> Checked() const {
    std::vector<int> views;
    const QAction* items[] = {Vcls->NWanLan, Vcls->NWan, Vcls->NLAN, Vcls->NInternet};
    for (int v = 0; v < 4; ++v)
      if (items[v]->isChecked()) views.push_back(v);
    return views;
  }

  bool Available = true;
  TFakeHost::TLog Log;
  std::unique_ptr<TFVCLS> Vcls;
};

TEST_F(TrayMenu, LevelPicksOneOfSevenPictures) {
  const struct {
    uint32_t bar, graph;
    int picture;
  } cases[] = {
      {0, 80, 0}, {16, 80, 2}, {80, 80, 6}, {200, 80, 6},        {1, 100, 1}, {15, 80, 1},
      {0, 0, 0},  {5, 0, 0},   {80, 0, 0},  {4000000000u, 1, 6}, {79, 80, 5}, {1, 4294967295u, 1},
  };
  for (const auto& c : cases) {
    Vcls->SetTrayLevel(c.bar, c.graph);
    EXPECT_EQ(Vcls->NotifyIcon1.IconIndex(), c.picture) << c.bar << "/" << c.graph;
  }
}

TEST_F(TrayMenu, MenuHasTheItemsOfTheTray) {
  EXPECT_EQ(Captions(&Vcls->PopupMenu1),
            (std::vector<std::string>{"&Open Monitor", "&Window", "H&ide", "-", "&Statistics",
                                      "&Applications", "&Options", "-", "&Help", "&About", "-",
                                      "E&xit"}));
  EXPECT_EQ(Captions(Vcls->New1),
            (std::vector<std::string>{"Internet && LAN", "Internet", "LAN", "INTERNET (All PCs)",
                                      "-", "&All Windows"}));
  EXPECT_EQ(Vcls->PopupMenu1.actions()[1]->menu(), Vcls->New1);
  EXPECT_EQ(Vcls->NotifyIcon1.PopupMenu(), &Vcls->PopupMenu1);
  EXPECT_EQ(Vcls->NotifyIcon1.ImageList(), &Vcls->ImageList1);
  EXPECT_EQ(Vcls->ImageList1.Count(), 7);
  EXPECT_FALSE(Vcls->NotifyIcon1.Active()) << "start-up turns it on at its end";
  // A host that draws the menu itself reads it when the icon registers.
  Vcls->NotifyIcon1.SetActive(true);
  Vcls->NotifyIcon1.Step();
  EXPECT_EQ(Log.MenuAtShow, &Vcls->PopupMenu1) << "the menu reaches the host before the icon";

  // "&Applications" opens the window that start-up made, and nothing before it did.
  Vcls->NApplications->trigger();
  TFApps apps;
  FApps = &apps;
  Vcls->NApplications->trigger();
  EXPECT_TRUE(apps.isVisible());
  apps.close();
}

TEST_F(TrayMenu, CheckMarksFollowTheVisibleWindowsWhenTheMenuOpens) {
  const std::vector<std::vector<int>> sets = {{0}, {1, 3}, {}, {0, 1, 2, 3}, {2}};
  for (const auto& set : sets) {
    for (int v = 0; v < 4; ++v)
      Figures[v]->setVisible(std::find(set.begin(), set.end(), v) != set.end());
    Settle();
    // A StatusNotifierItem host may read the menu without opening it.
    EXPECT_EQ(Checked(), set) << "before the menu opens";
    Vcls->PopupMenu1.popup(QPoint(10, 10));
    Settle();
    EXPECT_EQ(Checked(), set);
    Vcls->PopupMenu1.hide();
  }
}

TEST_F(TrayMenu, InternetItemPlacesAndShowsThenHidesAndLeavesTheOpenSet) {
  TFBFigure* primary = Figures[0];
  ASSERT_EQ(VisibleViews(), std::vector<int>{0});
  Vcls->NWan->trigger();
  Settle();
  EXPECT_EQ(VisibleViews(), (std::vector<int>{0, 1}));
  EXPECT_TRUE(Figures[1]->FShownByUser);
  EXPECT_EQ(Figures[1]->size(), primary->size()) << "stacked against the primary window";
  EXPECT_EQ(Figures[1]->FrameRect().Left, primary->FrameRect().Left);
  EXPECT_NE(Figures[1]->FrameRect().Top, primary->FrameRect().Top);

  Vcls->NWan->trigger();
  Settle();
  EXPECT_EQ(VisibleViews(), std::vector<int>{0});
  EXPECT_FALSE(Figures[1]->FShownByUser);
  Vcls->Hide1->trigger();
  Vcls->Open1->trigger();
  Settle();
  EXPECT_EQ(VisibleViews(), std::vector<int>{0}) << "Open Monitor does not bring it back";
  Vcls->All1->trigger();
  Settle();
  EXPECT_EQ(VisibleViews(), (std::vector<int>{0, 1, 2, 3}));

  // The primary window comes back where it was, without placement.
  const QPoint at = primary->pos();
  Vcls->NWanLan->trigger();
  Settle();
  EXPECT_FALSE(primary->isVisible());
  Vcls->NWanLan->trigger();
  Settle();
  EXPECT_TRUE(primary->isVisible());
  EXPECT_EQ(primary->pos(), at);
}

TEST_F(TrayMenu, DoubleClickOpensTheMonitorAndHelpOpensTheGuide) {
  HideAllWindows();
  Figures[0]->FShownByUser = false;
  Settle();
  ASSERT_TRUE(VisibleViews().empty());
  Vcls->NotifyIcon1.OnDblClick(&Vcls->NotifyIcon1);
  Settle();
  EXPECT_EQ(VisibleViews(), std::vector<int>{0});

  // The guide on this computer: the build tree's copy beside the program, else the installed
  // one; none at all is reported and opens nothing.
  std::vector<QUrl> opened;
  Vcls->OpenUrl = [&](const QUrl& url) { opened.push_back(url); };
  const std::string savedExeDir = ExeDir;
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  ExeDir = root.path().toStdString() + "/lib/zul/";
  QDir().mkpath(root.path() + QStringLiteral("/lib/zul"));
  Errors.clear();
  Vcls->NHelp->trigger();
  EXPECT_TRUE(opened.empty());
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("/usr/share/doc/zul/guide/user.html"), std::string::npos) << Errors[0];

  for (const QString& copy :
       {QStringLiteral("/lib/zul/doc/guide"), QStringLiteral("/share/doc/zul/guide")}) {
    QDir().mkpath(root.path() + copy);
    QFile page(root.path() + copy + QStringLiteral("/user.html"));
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.close();
    Vcls->NHelp->trigger();
    ASSERT_FALSE(opened.empty());
    EXPECT_TRUE(opened.back().isLocalFile());
    EXPECT_EQ(opened.back().toLocalFile(), QFileInfo(page).canonicalFilePath());
  }
  // The About box links the guide this copy has, and no licence that is not there.
  TFAbout about;
  ASSERT_NE(about.GuideLink, nullptr);
  EXPECT_TRUE(about.GuideLink->text().contains(opened.back().toString(QUrl::FullyEncoded)))
      << about.GuideLink->text().toStdString();
  EXPECT_TRUE(about.GuideLink->openExternalLinks());
  EXPECT_EQ(about.LicenceLink, nullptr);
  ExeDir = savedExeDir;
}

TEST_F(TrayMenu, SoundPlayerRefusesWhatItCannotPlay) {
  QTemporaryFile text;
  ASSERT_TRUE(text.open());
  text.write("not a sound, only words\n");
  text.flush();
  QTemporaryFile cut;
  ASSERT_TRUE(cut.open());
  cut.write(QByteArray("RIFF\x24\x00\x00\x00WAVEfmt ", 16));
  cut.flush();
  const struct {
    QString file;
    const char* message;
  } cases[] = {
      {Dir.path() + QStringLiteral("/no such sound.wav"), "does not exist"},
      {text.fileName(), "is not a sound file"},
      {cut.fileName(), "is not a sound file"},
      {Dir.path(), "is a folder"},
  };
  for (const auto& c : cases) {
    try {
      Vcls->PlaySoundFile(c.file);
      ADD_FAILURE() << "no error for " << c.file.toStdString();
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.file.toStdString()), std::string::npos) << e.what();
    }
  }
}

// The receivers of a notification: the sound player reports a file it cannot play once, until a
// sound plays, and the message dialog shows the message all the same.
TEST_F(TrayMenu, ADueSoundThatCannotPlayIsReportedOnceAndTheMessageStillShows) {
  TFMyDialog dialog;
  ClearError(kNotifySoundKey);
  const std::string missing = Dir.path().toStdString() + "/gone.wav";
  TNotifyDue due;
  due.SoundFile = missing;
  due.Message = kNotifyAboveText;
  NotifyEvents().Post(due);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("does not exist"), std::string::npos) << Errors[0];
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.Label1->text(), QString::fromUtf8(kNotifyAboveText));

  dialog.BOKClick();
  NotifyEvents().Post(due);
  EXPECT_EQ(Errors.size(), 1u) << "the same failure is told once";
  EXPECT_TRUE(dialog.isVisible());
  dialog.BOKClick();
  ClearError(kNotifySoundKey);
}

class NoTray : public TrayMenu {
 protected:
  void SetUp() override {
    Available = false;
    TrayMenu::SetUp();
  }
};

TEST_F(NoTray, SaysSoOnceAndClosingThePrimaryWindowEndsTheProgram) {
  int told = 0;
  Vcls->NotifyIcon1.OnNoTray = [&, told_ = Vcls->NotifyIcon1.OnNoTray] {
    ++told;
    told_();
  };
  Vcls->NotifyIcon1.SetActive(true);
  RunFor(kTrayIdleDelay + 40);
  Vcls->NotifyIcon1.SetActive(false);
  Vcls->NotifyIcon1.SetActive(true);
  RunFor(kTrayIdleDelay + 40);
  EXPECT_EQ(told, 1);
  EXPECT_TRUE(TrayMissing());

  // The primary window says where the menu is, and a graph window's right click opens it.
  Figures[0]->show();
  UpdateNotice();
  EXPECT_TRUE(Figures[0]->Notice().contains(QStringLiteral("right-click")));
  Figures[0]->grab();  // the notice is drawn over the window's lower edge
  QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(50, 50));
  QCoreApplication::sendEvent(Figures[0], &right);
  Settle();
  EXPECT_TRUE(Vcls->PopupMenu1.isVisible());
  EXPECT_TRUE(Vcls->NWanLan->isChecked());
  Vcls->PopupMenu1.hide();
  EXPECT_TRUE(Figures[0]->Notice().isEmpty()) << "said once: gone once the menu was found";

  // A secondary window still only hides.
  Figures[1]->show();
  Figures[1]->close();
  EXPECT_FALSE(Quitting);

  // The exit arms a watchdog that would end this test program later; the close runs in a child.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Figures[0]->close();
        std::_Exit(Quitting ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zul
