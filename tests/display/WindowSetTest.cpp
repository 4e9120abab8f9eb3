// The window set: set-up and restore at start, placement beside visible windows, the user's
// open set, always-on-top, and the record of the set at exit.
#include <QDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QWindow>
#include <functional>
#include <utility>

#include "FigureFixture.h"

namespace zul {
namespace {

using WindowSet = FigureFixture;

TEST_F(WindowSet, SetupGivesEachWindowItsViewCountersAndCaption) {
  Start();
  EXPECT_EQ(Figures[0], Owned[0].get()) << "the first created is the primary window";
  EXPECT_EQ(Figures[2], Owned[1].get()) << "created second: LAN";
  EXPECT_EQ(Figures[1], Owned[2].get()) << "created third: Internet";
  EXPECT_EQ(Figures[3], Owned[3].get());
  const char* titles[] = {"Internet & LAN", "Internet", "LAN", "INTERNET (All PCs on the LAN)"};
  const std::pair<int, int> counters[] = {{4, 5}, {2, 3}, {0, 1}, {6, 7}};
  for (int v = 0; v < 4; ++v) {
    EXPECT_EQ(Figures[v]->ViewIndex(), v);
    EXPECT_EQ(Figures[v]->windowTitle(), QString::fromUtf8(titles[v]));
    EXPECT_EQ(Figures[v]->Graph().FUpIndex, counters[v].first);
    EXPECT_EQ(Figures[v]->Graph().FDownIndex, counters[v].second);
    EXPECT_TRUE(Figures[v]->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  }
  EXPECT_FALSE(Figures[1]->IsPrimary());
}

TEST_F(WindowSet, StoredRectangleOfAVisibleWindowIsRestored) {
  Cfg.WindowVisible = {false, true, false, true};
  Cfg.WindowRect[1] = {100, 50, 317, 161};
  Cfg.WindowRect[3] = {100, 50, 90, 161};  // damaged: negative width
  Start();
  EXPECT_EQ(VisibleViews(), (std::vector<int>{1, 3}));
  EXPECT_EQ(Figures[1]->pos(), QPoint(100, 50));
  EXPECT_EQ(Figures[1]->size(), QSize(217, 111));
  EXPECT_TRUE(Figures[1]->FShownByUser);
  EXPECT_EQ(Figures[3]->pos(), QPoint(419, 434)) << "the designed place is kept";
  EXPECT_EQ(Figures[3]->size(), QSize(217, 111));
}

TEST_F(WindowSet, RectanglesOffEveryScreenComeBackOnAndThePrimaryToItsCorner) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  Cfg.WindowVisible = {true, true, true, true};
  Cfg.WindowRect[0] = {100000, 100000, 100217, 100111};
  Cfg.WindowRect[1] = {-100000, -100000, -99783, -99889};
  Cfg.WindowRect[2] = {100, 50, 101, 51};                        // 1 x 1
  Cfg.WindowRect[3] = {20, 30, 20 + (1 << 30), 30 + (1 << 30)};  // far larger than the screen
  Start();
  for (int v = 0; v < 4; ++v) {
    SCOPED_TRACE(v);
    EXPECT_TRUE(area.intersects(Figures[v]->frameGeometry()));
    EXPECT_LE(Figures[v]->width(), area.width());
    EXPECT_LE(Figures[v]->height(), area.height());
    EXPECT_GE(Figures[v]->width(), 32);
    EXPECT_GT(Figures[v]->height(), Figures[v]->fontMetrics().height());
  }
  EXPECT_EQ(Figures[0]->frameGeometry().bottomRight(), area.bottomRight());
  EXPECT_EQ(Figures[1]->pos(), area.topLeft());
  EXPECT_EQ(Figures[2]->pos(), QPoint(100, 50));
}

TEST_F(WindowSet, StartMinimizedShowsNothingAndRestoresNothing) {
  Cfg.StartMinimized = true;
  Cfg.WindowVisible = {true, true, true, true};
  Cfg.WindowRect[2] = {10, 10, 227, 121};
  Start();
  EXPECT_TRUE(VisibleViews().empty());
  EXPECT_NE(Figures[2]->pos(), QPoint(10, 10));
  ShowMonitor();
  Settle();
  EXPECT_EQ(VisibleViews(), std::vector<int>{0});
}

TEST_F(WindowSet, HideThenOpenMonitorBringsBackExactlyTheOpenSet) {
  Cfg.WindowVisible = {true, false, true, false};
  Cfg.WindowRect[2] = {40, 60, 257, 171};
  Start();
  ASSERT_EQ(VisibleViews(), (std::vector<int>{0, 2}));
  const QPoint primaryAt = Figures[0]->pos();
  HideAllWindows();
  Settle();
  EXPECT_TRUE(VisibleViews().empty());
  ShowMonitor();
  Settle();
  EXPECT_EQ(VisibleViews(), (std::vector<int>{0, 2}));
  EXPECT_EQ(Figures[0]->pos(), primaryAt);
  EXPECT_EQ(Figures[2]->pos(), QPoint(40, 60));
}

TEST_F(WindowSet, ClosedWindowLeavesTheOpenSetButShowAllBringsItBack) {
  Cfg.WindowVisible = {true, true, false, false};
  Start();
  Figures[1]->close();
  Settle();
  EXPECT_FALSE(Figures[1]->FShownByUser);
  ShowMonitor();
  Settle();
  EXPECT_EQ(VisibleViews(), std::vector<int>{0});
  ShowAllWindows();
  Settle();
  EXPECT_EQ(VisibleViews(), (std::vector<int>{0, 1, 2, 3}));
  for (TFBFigure* f : Figures) EXPECT_TRUE(f->FShownByUser);
}

TEST_F(WindowSet, ShowAllStacksTheWindowsAboveThePrimaryWithItsSize) {
  Start();
  ShowAllWindows();
  Settle();
  const int frameHeight = Figures[0]->frameGeometry().height();
  const int bottom = Available().y() + Available().height();
  for (int v = 0; v < 4; ++v) {
    const QRect frame = Figures[v]->frameGeometry();
    EXPECT_EQ(frame.y(), bottom - (v + 1) * frameHeight) << "view " << v;
    EXPECT_EQ(frame.x(), Figures[0]->frameGeometry().x()) << "view " << v;
    EXPECT_EQ(Figures[v]->size(), QSize(217, 111)) << "view " << v;
  }
}

TEST_F(WindowSet, PlacingAWindowGivesItTheSizeOfTheOneItStacksAgainst) {
  Start();
  Figures[0]->resize(300, 80);
  Settle();
  PlaceWindow(1);
  EXPECT_EQ(Figures[1]->size(), QSize(300, 80));
  const QPoint before = Figures[1]->pos();
  Figures[1]->show();
  Settle();
  PlaceWindow(1);
  EXPECT_EQ(Figures[1]->pos(), before) << "a visible window is not placed";
}

TEST_F(WindowSet, SaveWritesTheSettingsFileOnlyWhenSomethingChanged) {
  Cfg.WindowRect[2] = {5, 6, 7, 8};
  Start();
  SaveWindowSet();
  ASSERT_TRUE(SettingsFileExists()) << "the primary's rectangle was not stored yet";
  ASSERT_TRUE(QFile::remove(QString::fromStdString(DataDir + "ZUL.cfg")));

  SaveWindowSet();
  EXPECT_FALSE(SettingsFileExists()) << "nothing changed";

  const QPoint at = Figures[0]->pos();
  Figures[0]->move(at.x() - 1, at.y());
  Settle();
  SaveWindowSet();
  ASSERT_TRUE(SettingsFileExists());
  TCfgRec saved;
  ASSERT_EQ(LoadCfgFile(DataDir + "ZUL.cfg", saved, ""), TCfgLoadResult::Loaded);
  EXPECT_EQ(saved.WindowRect[0].Left, at.x() - 1);
  EXPECT_EQ(saved.WindowRect[0].Right, at.x() - 1 + 217);
  EXPECT_EQ(saved.WindowVisible, (std::array<bool, 4>{true, false, false, false}));
  EXPECT_EQ(saved.WindowRect[2], (TCfgRect{5, 6, 7, 8})) << "a hidden window's rectangle stays";
}

// The exit records what the windows last reported, so it needs no window system; every way a
// window is shown, hidden, moved or sized must reach that record.
TEST_F(WindowSet, TheRecordedStateFollowsEveryChangeOfAWindow) {
  Start();
  TFBFigure* f = Figures[1];
  const std::vector<std::pair<const char*, std::function<void()>>> steps = {
      {"shown", [f] { f->show(); }},
      {"moved", [f] { f->move(40, 60); }},
      {"sized", [f] { f->resize(300, 150); }},
      {"hidden", [f] { f->hide(); }},
      {"moved while hidden", [f] { f->move(70, 80); }},
      {"all shown", [] { ShowAllWindows(); }},
      {"caption off", [] { SetAllCaptions(false); }},
      {"always on top", [] { SetTopmost(nullptr, true); }},
      {"all hidden", [] { HideAllWindows(); }},
      {"open monitor", [] { ShowMonitor(); }},
      {"closed", [f] { f->close(); }},
  };
  for (const auto& [name, step] : steps) {
    step();
    Settle();
    EXPECT_EQ(f->LastState().Visible, f->isVisible()) << name;
    // A hidden window's rectangle is not recorded at exit; it is reported when it shows again.
    if (f->isVisible()) {
      EXPECT_EQ(f->LastState().Rect, (TWinRect{f->x(), f->y(), f->width(), f->height()})) << name;
    }
  }
}

TEST_F(WindowSet, FailedSaveIsReportedAndTheProgramGoesOn) {
  Start();
  // A data folder below a plain file cannot be made, not even by root.
  QFile blocker(Dir.filePath(QStringLiteral("blocker")));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  DataDir = blocker.fileName().toStdString() + "/data/";
  SaveWindowSet();
  EXPECT_EQ(Errors.size(), 1u);
  EXPECT_TRUE(Figures[0]->isVisible());
}

TEST_F(WindowSet, AlwaysOnTopFollowsTheSettingAndKeepsWindowsShown) {
  Start();
  Cfg.OnTop = false;
  ShowMonitor();
  Settle();
  for (TFBFigure* f : Figures) EXPECT_FALSE(f->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(VisibleViews(), std::vector<int>{0});
  const QPoint at = Figures[0]->pos();
  Cfg.OnTop = true;
  ShowMonitor();
  Settle();
  for (TFBFigure* f : Figures) EXPECT_TRUE(f->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(Figures[0]->pos(), at);
}

TEST_F(WindowSet, GraphWindowsStepAsideWhileADialogIsOpenAndComeBackOnTopAfter) {
  Cfg.OnTop = true;
  Start();
  ShowAllWindows();
  Settle();
  auto onTop = [] {
    std::vector<bool> flags;
    for (const TFBFigure* f : Figures)
      flags.push_back(f->windowFlags().testFlag(Qt::WindowStaysOnTopHint) &&
                      f->windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint));
    return flags;
  };
  const std::vector<bool> all(4, true);
  const std::vector<bool> none(4, false);
  ASSERT_EQ(onTop(), all);
  std::vector<QPoint> places;
  for (const TFBFigure* f : Figures) places.push_back(f->pos());

  // Each kind of dialog: one of the program's own, a message box, one inside another.
  QDialog about;
  QMessageBox message(QMessageBox::Warning, QStringLiteral("Warning"), QStringLiteral("Check"),
                      QMessageBox::Ok, &about);
  about.show();
  Settle();
  EXPECT_EQ(onTop(), none) << "a dialog opened";
  message.show();
  Settle();
  about.hide();
  Settle();
  EXPECT_EQ(onTop(), none) << "a dialog is still open";
  // What asks for on-top meanwhile (a window shown again from the menu) waits too.
  ShowMonitor();
  Settle();
  EXPECT_EQ(onTop(), none);
  message.hide();
  Settle();
  EXPECT_EQ(onTop(), all) << "every dialog closed";
  for (int v = 0; v < 4; ++v) {
    EXPECT_TRUE(Figures[v]->isVisible()) << "view " << v;
    EXPECT_EQ(Figures[v]->pos(), places[static_cast<std::size_t>(v)]) << "view " << v;
  }

  Cfg.OnTop = false;
  SetTopmost(nullptr, false);
  about.show();
  about.hide();
  Settle();
  EXPECT_EQ(onTop(), none) << "the setting, not the dialog, says off";
}

TEST_F(WindowSet, RepaintAllRedrawsInTheNewDisplayMode) {
  Start();
  Cfg.DisplayMode = dmNumeric;
  RepaintAll();
  for (TFBFigure* f : Figures) {
    EXPECT_EQ(f->Graph().FGraphHeight, 0);
    EXPECT_EQ(f->Graph().Surface().pixel(5, 5) & 0xFFFFFF, 0xFFFFFFu);
  }
}

}  // namespace
}  // namespace zul
