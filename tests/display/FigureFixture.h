// Four graph windows created in start-up order on fresh settings, counters and data folder.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "App.h"
#include "HistoryPush.h"
#include "display/Figure.h"
#include "display/WindowSet.h"
#include "platform/ErrorReport.h"
#include "platform/ExitSteps.h"
#include "settings/CfgF.h"
#include "vartype.h"

namespace zul {

class FigureFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    SetDefaultCfg(Cfg, "");
    Traffic = TTraffic{};
    FixedFullScale = 0;
    Quitting = false;
    DataDir = Dir.path().toStdString() + "/";
    SetErrorSink([this](const std::string& text) { Errors.push_back(text); });
  }

  void TearDown() override {
    Owned.clear();
    Quitting = false;
    SetErrorSink(nullptr);
    EXPECT_EQ(Figures, (std::array<TFBFigure*, 4>{})) << "destroyed windows leave the set";
  }

  // Creates the windows as start-up does and sets them up; the primary window is shown when
  // the settings say so, as the application's start does.
  void Start() {
    for (int i = 0; i < 4; ++i) Owned.push_back(std::make_unique<TFBFigure>());
    // The program's own exit steps, as its start-up installs them.
    SetExitSteps(ExitSteps);
    SetupWindows();
    if (!Cfg.StartMinimized && Cfg.WindowVisible[0]) Figures[0]->show();
    Settle();
  }

  static void Settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }

  // Runs the event loop for `ms`, timers included.
  static void WaitMs(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
  }

  static void Mouse(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button,
                    Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(at), QPointF(w->mapToGlobal(at)), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
    Settle();
  }

  void PushSecond(uint32_t down, uint32_t up, int view = 0) {
    zul::PushSecond(Traffic, down, up, view);
  }

  std::vector<int> VisibleViews() const {
    std::vector<int> views;
    for (int v = 0; v < 4; ++v)
      if (Figures[v]->isVisible()) views.push_back(v);
    return views;
  }

  bool SettingsFileExists() const {
    return QFile::exists(QString::fromStdString(DataDir + "ZUL.cfg"));
  }

  static QRect Available() { return QGuiApplication::primaryScreen()->availableGeometry(); }

  QTemporaryDir Dir;
  std::vector<std::unique_ptr<TFBFigure>> Owned;
  std::vector<std::string> Errors;
};

}  // namespace zul
