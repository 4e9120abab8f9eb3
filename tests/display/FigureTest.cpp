// The graph window's frame and interaction: title bar, dragging, title-bar readout, opacity,
// size limit, close and the open-monitor message.
#include <cmath>
#include <functional>

#include "FigureFixture.h"

namespace zul {
namespace {

using FigureFrame = FigureFixture;

TEST_F(FigureFrame, PrimaryStartsInTheBottomRightCornerWithTheDefaultColours) {
  Start();
  TFBFigure* primary = Figures[0];
  ASSERT_TRUE(primary->IsPrimary());
  EXPECT_EQ(VisibleViews(), std::vector<int>{0});
  const QRect frame = primary->frameGeometry();
  EXPECT_EQ(frame.x() + frame.width(), Available().x() + Available().width());
  EXPECT_EQ(frame.y() + frame.height(), Available().y() + Available().height());
  EXPECT_EQ(primary->size(), QSize(217, 111));
  EXPECT_EQ(primary->windowTitle(), QStringLiteral("Internet & LAN"));
  EXPECT_TRUE(primary->windowFlags().testFlag(Qt::Tool)) << "no taskbar button";
  const QImage shot = primary->grab().toImage();
  EXPECT_EQ(shot.pixel(100, 50) & 0xFFFFFF, 0xB0B0D0u) << "idle colour";
  EXPECT_EQ(shot.pixel(0, 0) & 0xFFFFFF, 0u) << "frame border";
}

// A window manager that frames the window moves it through passing places before it comes to
// rest; only a place where it rests away from the corner, or a new size, is the user's.
TEST_F(FigureFrame, TheCornerIsKeptUntilTheUserMovesOrSizesTheWindow) {
  struct TCase {
    const char* Name;
    std::function<void(TFBFigure*, QPoint corner)> Act;
    bool Keeps;
  };
  const std::vector<TCase> cases = {
      {"framing passes through the frame's origin",
       [](TFBFigure* f, QPoint corner) {
         f->move(0, 0);
         Settle();
         f->move(corner);
       },
       true},
      {"moved by the user", [](TFBFigure* f, QPoint) { f->move(100, 100); }, false},
      {"sized by the user", [](TFBFigure* f, QPoint) { f->resize(300, 150); }, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Start();
    TFBFigure* f = Figures[0];
    ASSERT_TRUE(f->KeepsCorner());
    c.Act(f, f->pos());
    Settle();
    WaitMs(400);
    EXPECT_EQ(f->KeepsCorner(), c.Keeps);
    const QPoint rested = f->pos();
    // A new frame (the title bar switched off) is the moment the corner is taken again.
    SetAllCaptions(false);
    Settle();
    WaitMs(400);
    const QRect frame = f->frameGeometry();
    if (c.Keeps) {
      EXPECT_EQ(frame.x() + frame.width(), Available().x() + Available().width());
      EXPECT_EQ(frame.y() + frame.height(), Available().y() + Available().height());
    } else {
      EXPECT_EQ(f->pos(), rested) << "the user's place is kept";
    }
    Owned.clear();
    Cfg.ShowCaption = true;
  }
}

TEST_F(FigureFrame, CaptionOffMakesTheWindowAsTallAsItsClientArea) {
  Cfg.ShowCaption = false;
  Start();
  TFBFigure* f = Figures[0];
  EXPECT_FALSE(f->CaptionVisible());
  EXPECT_EQ(f->frameGeometry().size(), f->size());
}

TEST_F(FigureFrame, SwitchingTheCaptionKeepsTheClientArea) {
  Start();
  TFBFigure* f = Figures[0];
  ASSERT_TRUE(f->CaptionVisible());
  EXPECT_GT(f->FFrameExtra, 0) << "the offscreen platform draws a frame";
  EXPECT_EQ(f->frameGeometry().height(), f->height() + f->FFrameExtra);
  SetAllCaptions(false);
  Settle();
  EXPECT_FALSE(f->CaptionVisible());
  EXPECT_TRUE(f->isVisible());
  EXPECT_EQ(f->size(), QSize(217, 111));
  SetAllCaptions(true);
  Settle();
  EXPECT_TRUE(f->CaptionVisible());
  EXPECT_TRUE(f->isVisible());
  EXPECT_EQ(f->size(), QSize(217, 111));
}

TEST_F(FigureFrame, APressDoesNothingWhileTheCaptionIsShown) {
  Start();
  TFBFigure* f = Figures[0];
  f->move(100, 100);
  Settle();
  Mouse(f, QEvent::MouseButtonPress, {10, 10}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_FALSE(f->FDragging) << "the caption is shown";
  Mouse(f, QEvent::MouseMove, {40, 30}, Qt::NoButton, Qt::LeftButton);
  EXPECT_EQ(f->pos(), QPoint(100, 100));
}

// Created without a caption: the offscreen platform keeps the frame a window was created with.
TEST_F(FigureFrame, CaptionlessWindowIsDraggedWithAnyButton) {
  Cfg.ShowCaption = false;
  Start();
  TFBFigure* f = Figures[0];
  f->move(100, 100);
  Settle();
  Mouse(f, QEvent::MouseButtonPress, {10, 10}, Qt::RightButton, Qt::RightButton);
  ASSERT_TRUE(f->FDragging);
  Mouse(f, QEvent::MouseMove, {30, 25}, Qt::NoButton, Qt::RightButton);
  EXPECT_EQ(f->pos(), QPoint(120, 115));
  Mouse(f, QEvent::MouseButtonRelease, {10, 10}, Qt::RightButton, Qt::NoButton);
  EXPECT_FALSE(f->FDragging);
  Mouse(f, QEvent::MouseMove, {60, 60}, Qt::NoButton, Qt::NoButton);
  EXPECT_EQ(f->pos(), QPoint(120, 115));
}

TEST_F(FigureFrame, HoverOverTheNewestBarShowsThatSecondInTheTitle) {
  Start();
  TFBFigure* f = Figures[0];
  PushSecond(3072, 1024);
  f->FormPaint();
  const int r = f->width() - 2;
  Mouse(f, QEvent::MouseMove, {r, 40}, Qt::NoButton, Qt::NoButton);
  EXPECT_EQ(f->windowTitle(), QStringLiteral("DL: 3.0 kB/s  UL: 1.0 kB/s"));
  Mouse(f, QEvent::MouseMove, {f->width() - 1, 40}, Qt::NoButton, Qt::NoButton);
  EXPECT_EQ(f->windowTitle(), QStringLiteral("Internet & LAN"));
  Mouse(f, QEvent::MouseMove, {r, 40}, Qt::NoButton, Qt::NoButton);
  f->close();
  EXPECT_EQ(f->windowTitle(), QStringLiteral("Internet & LAN")) << "close puts the caption back";
}

TEST_F(FigureFrame, OpacityFollowsTheTransparencySetting) {
  Start();
  LayeredApi = true;
  SetAllTransparency(true, 80);
  for (TFBFigure* f : Figures) EXPECT_EQ(std::lround(f->windowOpacity() * 255), 204);
  SetAllTransparency(false, 80);
  for (TFBFigure* f : Figures) EXPECT_EQ(std::lround(f->windowOpacity() * 255), 255);
  LayeredApi = false;
  SetAllTransparency(true, 50);
  for (TFBFigure* f : Figures) EXPECT_EQ(std::lround(f->windowOpacity() * 255), 255);
}

TEST_F(FigureFrame, WideningPast501PixelsSnapsBack) {
  Start();
  Figures[0]->resize(640, 120);
  Settle();
  EXPECT_EQ(Figures[0]->size(), QSize(501, 120));
  EXPECT_EQ(Figures[0]->Graph().Surface().size(), QSize(501, 120));
}

TEST_F(FigureFrame, ClosingThePrimaryWindowOnlyHidesItUntilQuitting) {
  Start();
  TFBFigure* primary = Figures[0];
  primary->close();
  Settle();
  EXPECT_FALSE(primary->isVisible());
  EXPECT_FALSE(primary->FShownByUser);
  EXPECT_FALSE(SettingsFileExists());

  primary->show();
  Settle();
  Quitting = true;
  primary->close();
  Settle();
  EXPECT_TRUE(SettingsFileExists()) << "the exit steps saved the changed window set";
  TCfgRec saved;
  ASSERT_EQ(LoadCfgFile(DataDir + "ZUL.cfg", saved, ""), TCfgLoadResult::Loaded);
  EXPECT_TRUE(saved.WindowVisible[0]);
  EXPECT_EQ(saved.WindowRect[0].Right - saved.WindowRect[0].Left, 217);
  EXPECT_TRUE(Errors.empty()) << Errors.front();
}

TEST_F(FigureFrame, OpenMonitorMessageToAnyWindowShowsTheMonitor) {
  Cfg.StartMinimized = true;
  Start();
  EXPECT_TRUE(VisibleViews().empty());
  QCoreApplication::postEvent(Figures[3], new QEvent(kOpenMonitorEvent));
  Settle();
  EXPECT_EQ(VisibleViews(), std::vector<int>{0});
}

TEST_F(FigureFrame, TicksDrawWhileHidden) {
  Cfg.StartMinimized = true;
  Cfg.DisplayMode = dmGraphical;
  Start();
  TFBFigure* f = Figures[1];
  PushSecond(5000, 0, 1);
  f->UpdateDisplay();
  const QImage& surface = f->Graph().Surface();
  ASSERT_EQ(surface.size(), QSize(217, 111));
  EXPECT_EQ(surface.pixel(215, 100) & 0xFFFFFF, 0xFF0000u) << "the newest bar of its view";
  Figures[0]->UpdateDisplay();
  EXPECT_EQ(Figures[0]->Graph().Surface().pixel(215, 100) & 0xFFFFFF, 0xB0B0D0u)
      << "another view's window draws nothing for it";
}

}  // namespace
}  // namespace zul
