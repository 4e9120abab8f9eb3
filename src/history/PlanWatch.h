// The data plan while the monitor runs: the cycle's use from the log's daily records (read on
// the log reader's thread, again only after the log was written) plus what the sampler holds
// that is not logged yet, once a second; the alerts; the tray tip's line. Main thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/DataPlan.h"
#include "history/LogReader.h"
#include "history/TrafficLog.h"

namespace zul {

class TPlanWatch : public QObject {
 public:
  explicit TPlanWatch(QObject* parent = nullptr);
  ~TPlanWatch() override;

  // A plan set in the options takes effect in the current cycle at once.
  void SetSettings(const TPlanSettings& s);
  const TPlanSettings& Settings() const { return FSettings; }
  // None while the plan is off or the cycle's records are still being read.
  const std::optional<TPlanStatus>& Status() const { return FStatus; }

  // Once a second (its own timer): the status, then the alerts that are due.
  void Tick();
  // Ticks once a second while a plan is enabled; a disabled plan wakes nobody.
  void Start() {
    FStarted = true;
    FollowSettings();
  }

  // The log read, and what was counted since; the program's own unless set.
  std::function<TTrafficLog*()> Log;
  std::function<std::vector<TPeriodWrite>()> Unlogged;
  TPlanClock Clock = PlanNow;
  // The file that keeps the levels fired in the cycle.
  std::string StatePath;
  // Runs once for each batch of levels due, ascending; the state is saved before.
  std::function<void(const std::vector<int>& levels, const TPlanStatus& st)> OnAlerts;
  // Whether a read of the log is under way.
  bool Reading() const { return FTicket != 0; }

 private:
  void Request(const TCycle& cycle);
  void ReadDone(TLogReadResult result);
  void Alerts(const TPlanStatus& st);

  TPlanSettings FSettings;
  std::optional<TPlanStatus> FStatus;
  std::unique_ptr<TLogReader> FReader;
  uint64_t FTicket = 0;
  std::string FPendingQuery;
  std::optional<std::chrono::system_clock::time_point> FPendingStamp;
  // The records of the last read, the query they answer and the log's write time then.
  std::vector<TLogRecord> FRows;
  std::string FRowsQuery;
  std::optional<std::chrono::system_clock::time_point> FRowsStamp;
  bool FRowsFromLog = false;  // false: read while the log was closed, so none
  std::optional<TPlanAlertState> FAlerts;
  QTimer FTimer;
  bool FStarted = false;
  void FollowSettings();
};

// Made by the hidden main form; lives until exit.
extern TPlanWatch* PlanWatch;

// Start-up: the plan of DataDir's zul.ini (a problem with it reported once), checked once a
// second, its alerts played with the options' sound file and shown in the message dialog.
void StartPlan(QObject* owner);

// The tray tip: `readout` with the plan's line under it, the readout cut so that both fit in
// `limit` characters; `readout` alone without a plan.
QString TrayTipWithPlan(const QString& readout, int limit);

// The cycle day in force for the "Billing periods" grouping: the plan's, else 1.
int BillingCycleDay();

}  // namespace zul
