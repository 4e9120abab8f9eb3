// The per-second sampler: counters of the current second, the history ring the graph windows
// draw from, and the hour and day totals that go to the traffic log. Main thread only.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture/Traffic.h"
#include "history/TrafficLog.h"
#include "vartype.h"

namespace zul {

// Local wall-clock time, as the sampler reads it.
struct TLocalTime {
  TDate Date;
  int Hour = 0;  // 0..23
  int Minute = 0;
  int Second = 0;
};
using TClock = std::function<TLocalTime()>;
TLocalTime LocalNow();

class TSampler {
 public:
  TSampler(TTraffic& traffic, TTrafficLog& log, TClock clock);

  // Neither throws: a failing log write or threshold check goes to OnError, and every state
  // update of the second or hour still happens.
  void SampleTick();
  void ResetTotals();
  // Writes the running hour and day at exit (and any hour still waiting), then closes the log.
  // The running second is counted into the hour first, and cleared, so a later tick cannot add
  // it again.
  void FlushTotals();

  // Runs after each second is added, before the counters are cleared.
  std::function<void(const TCounterBlock&)> OnSecond;
  // Receives each log failure once, in the tick or exit that met it; a failure that repeats is
  // passed on again only after a write has succeeded. Also receives what OnSecond throws.
  std::function<void(const std::string&)> OnError;
  // Receives what the exit could not save, with how much traffic that was. Unlike OnError it is
  // never held back by an earlier report; unset, it goes to ReportAlways under "exit.totals".
  std::function<void(const std::string&)> OnExitLoss;

  // Hours whose writes failed and wait for the next hour check or exit.
  std::size_t PendingWrites() const { return Pending.size(); }
  // The date of the running hour (CurrentHour holds its hour).
  TDate HourDate() const { return FHourDate; }

 private:
  // An hour's own record and its share of the day, week, month and year: one transaction.
  using TBatch = std::array<TPeriodWrite, 5>;

  void CheckHourRollover();
  void StartHour(const TLocalTime& now);
  void CloseRunningHour(const TLocalTime& now);
  std::string WritePending();  // the first failure's text, empty when all were written
  void RetryPending();
  void Report(const std::string& text);
  void AddRunningSecond();
  void ReportLoss(const std::string& why);

  TTraffic& T;
  TTrafficLog& Log;
  TClock Clock;
  TDate FHourDate{};  // the date the running hour belongs to; not ok() before the first reset
  std::vector<TBatch> Pending;
  std::string LastError;
};

// The program's sampler (created by the hidden main form); the free functions act on it.
extern TSampler* Sampler;
void SampleTick();
void ResetTotals();
void FlushTotals();

}  // namespace zul
