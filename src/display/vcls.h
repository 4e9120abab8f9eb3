// The hidden main form: it owns the traffic log, the sampler and its one-second timer, and
// receives what the tray icon shows. It is never shown.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>

#include "capture/Sampler.h"
#include "history/TrafficLog.h"

namespace zul {

class TFVCLS : public QWidget {
  Q_OBJECT
 public:
  // Opens the log and starts Timer1; a log that cannot be opened is reported and the timer
  // still runs, so the graphs go on.
  explicit TFVCLS(QWidget* parent = nullptr);
  ~TFVCLS() override;

  // From the graph window whose view the tray follows: its readout text, and its newest bar's
  // height out of the height available to bars (graphHeight > 0).
  void SetTrayHint(const QString& hint);
  void SetTrayLevel(uint32_t barHeight, uint32_t graphHeight);
  QString TrayHint() const { return FTrayHint; }
  uint32_t TrayBar() const { return FTrayBar; }
  uint32_t TrayHeight() const { return FTrayHeight; }

  // The exit command: Quitting, then the primary window is closed and its close handler ends.
  void Quit1Click();

  TTrafficLog TLog;
  QTimer Timer1;

 private:
  void Timer1Timer();

  std::unique_ptr<TSampler> FSampler;
  QString FTrayHint;
  uint32_t FTrayBar = 0;
  uint32_t FTrayHeight = 1;
};

// Created second at start-up; lives until exit.
extern TFVCLS* FVCLS;

}  // namespace zul
