#include "history/PlanWatch.h"

#include <exception>
#include <utility>

#include "display/MyDialog.h"
#include "display/vcls.h"
#include "history/Export.h"
#include "history/LogQuery.h"
#include "history/Period.h"
#include "history/Sampler.h"
#include "platform/ErrorReport.h"
#include "settings/CfgF.h"
#include "vartype.h"

namespace zul {

TPlanWatch* PlanWatch = nullptr;

namespace {
constexpr const char* kConfigKey = "plan.config";
constexpr const char* kStateKey = "plan.state";
constexpr const char* kSoundKey = "plan.sound";
}  // namespace

TPlanWatch::TPlanWatch(QObject* parent) : QObject(parent) {
  // Arrives on the log reader's thread; taken on the main thread.
  FReader = std::make_unique<TLogReader>([this](TLogReadResult result) {
    auto shared = std::make_shared<TLogReadResult>(std::move(result));
    QMetaObject::invokeMethod(
        this, [this, shared] { ReadDone(std::move(*shared)); }, Qt::QueuedConnection);
  });
  Log = []() -> TTrafficLog* { return FVCLS != nullptr ? &FVCLS->TLog : nullptr; };
  Unlogged = [] {
    return Sampler != nullptr ? Sampler->UnloggedPeriods() : std::vector<TPeriodWrite>{};
  };
  FTimer.setInterval(1000);
  connect(&FTimer, &QTimer::timeout, this, [this] { Guarded("plan.tick", [this] { Tick(); }); });
}

TPlanWatch::~TPlanWatch() {
  if (PlanWatch == this) PlanWatch = nullptr;
}

void TPlanWatch::FollowSettings() {
  const bool on = FStarted && FSettings.Enabled && FSettings.CapBytes != 0;
  if (on && !FTimer.isActive()) FTimer.start();
  if (!on) FTimer.stop();
}

void TPlanWatch::SetSettings(const TPlanSettings& s) {
  FSettings = s;
  FollowSettings();
  // Another view or cycle day asks other records; the status waits for them.
  FStatus.reset();
  FRowsQuery.clear();
  Tick();
}

void TPlanWatch::Request(const TCycle& cycle) {
  const TTrafficLog* log = Log ? Log() : nullptr;
  const std::optional<std::string> sql =
      QueryText(FSettings.View, lgDaily, TPeriod{pmRange, cycle.Start, cycle.End});
  if (!sql) return;
  if (log == nullptr || !log->IsOpen()) {
    // No log to read: what the sampler holds is all there is.
    FRows.clear();
    FRowsQuery = *sql;
    FRowsStamp.reset();
    FRowsFromLog = false;
    return;
  }
  if (FTicket != 0 && FPendingQuery == *sql && FPendingStamp == log->LastWriteTime()) return;
  FPendingQuery = *sql;
  FPendingStamp = log->LastWriteTime();
  FTicket = FReader->Request(log->FilePath(), *sql);
}

void TPlanWatch::ReadDone(TLogReadResult result) {
  Guarded("plan.read", [&] {
    if (result.Ticket != FTicket || result.State == TLogReadResult::TState::Busy) return;
    FTicket = 0;
    if (result.State == TLogReadResult::TState::Failed) {
      ReportError("plan.read", "The data plan cannot read the traffic log: " + result.Error);
      return;
    }
    const TTrafficLog* log = Log ? Log() : nullptr;
    // Written while being read: the hour may be in both places, or in neither. Again.
    if (log != nullptr && log->LastWriteTime() != FPendingStamp) return;
    FRows = std::move(result.Rows);
    FRowsQuery = FPendingQuery;
    FRowsStamp = FPendingStamp;
    FRowsFromLog = true;
    Tick();
  });
}

void TPlanWatch::Tick() {
  if (!FSettings.Enabled || FSettings.CapBytes == 0) {
    FStatus.reset();
    return;
  }
  const TPlanTime now = Clock();
  const TCycle cycle = CycleOf(now.Date, FSettings.CycleDay);
  const std::optional<std::string> sql =
      QueryText(FSettings.View, lgDaily, TPeriod{pmRange, cycle.Start, cycle.End});
  const TTrafficLog* log = Log ? Log() : nullptr;
  // Rows read while there was no log are read again once it is open.
  const bool logOpen = log != nullptr && log->IsOpen();
  const bool current = sql && FRowsQuery == *sql &&
                       (logOpen ? FRowsFromLog && log->LastWriteTime() == FRowsStamp : true);
  if (!current) {
    Request(cycle);
    // Until the cycle's records are in, the last status stands (or none).
    if (!sql || FRowsQuery != *sql) return;
  }
  std::vector<TLogRecord> rows = FRows;
  if (Unlogged) {
    const int flag = kDailyBase + FSettings.View;
    AddRunning(rows, RunningRecords(Unlogged()), [&](const TLogRecord& r) {
      return r.Flag == flag && r.CDate >= cycle.Start && r.CDate <= cycle.End;
    });
  }
  const std::vector<TDayUse> days = PlanDays(FSettings, rows);
  FStatus = ComputePlanStatus(FSettings, days, now);
  Alerts(*FStatus);
}

void TPlanWatch::Alerts(const TPlanStatus& st) {
  if (!FAlerts) FAlerts = StatePath.empty() ? TPlanAlertState{} : LoadPlanAlerts(StatePath);
  const TPlanAlertState before = *FAlerts;
  const std::vector<int> due = DueAlerts(*FAlerts, FSettings, st);
  if (*FAlerts != before && !StatePath.empty()) {
    // Saved before the user hears of it: a crash right after must not fire it again.
    try {
      SavePlanAlerts(StatePath, *FAlerts);
      ClearError(kStateKey);
    } catch (const std::exception& e) {
      ReportError(kStateKey, std::string(e.what()) +
                                 " The data plan's alerts may be given again after a restart.");
    }
  }
  if (!due.empty() && OnAlerts) OnAlerts(due, st);
}

void StartPlan(QObject* owner) {
  auto* watch = new TPlanWatch(owner);
  PlanWatch = watch;
  watch->StatePath = DataDir + kPlanStateFile;
  watch->OnAlerts = [watch](const std::vector<int>& levels, const TPlanStatus& st) {
    const TPlanSettings& s = watch->Settings();
    if (s.Sound && FVCLS != nullptr) {
      const QString file = QString::fromLocal8Bit(Cfg.SoundFile.c_str());
      if (Guarded(kSoundKey, [&] { FVCLS->PlaySoundFile(file); })) ClearError(kSoundKey);
    }
    if (s.Message && FMyDialog != nullptr)
      for (int level : levels)
        FMyDialog->ShowWarning(QString::fromStdString(PlanAlertText(level, st)));
  };
  const TPlanLoad load = LoadPlanSettings(DataDir + "zul.ini");
  if (!load.Error.empty()) ReportError(kConfigKey, load.Error);
  watch->SetSettings(load.Settings);
  watch->Start();
}

QString TrayTipWithPlan(const QString& readout, int limit) {
  if (PlanWatch == nullptr || !PlanWatch->Status()) return readout;
  const TPlanStatus& st = *PlanWatch->Status();
  QString line = QString::fromStdString(PlanTipLine(st, true));
  if (readout.size() + 1 + line.size() > limit)
    line = QString::fromStdString(PlanTipLine(st, false));
  if (readout.isEmpty()) return line.left(limit);
  // The plan's line is the one that must be read whole; the readout gives way.
  return readout.left(std::max<qsizetype>(0, limit - 1 - line.size())) + u'\n' + line;
}

int BillingCycleDay() {
  return PlanWatch != nullptr ? PlanWatch->Settings().CycleDay : 1;
}

}  // namespace zul
