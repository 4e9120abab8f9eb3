// The per-second sampler: counters of the current second, the history ring the graph windows
// draw from, and the hour and day totals that go to the traffic log. Main thread only.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/Traffic.h"
#include "history/AppHours.h"
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

// The one clock of the program's seconds: how many seconds are due at a tick of the one-second
// timer. A loop that stalled for three seconds owes three stored seconds, not one tall one.
class TSecondClock {
 public:
  using TTime = std::chrono::steady_clock::time_point;
  // At least 1, at most what the history ring holds.
  int Due(TTime now);

 private:
  std::optional<TTime> Last;
};

class TSampler {
 public:
  TSampler(TTraffic& traffic, TTrafficLog& log, TClock clock);

  // Neither throws: a failing log write or threshold check goes to OnError, and every state
  // update of the second or hour still happens.
  void SampleTick();
  // `seconds` seconds passed since the last tick: what the counters gathered meanwhile is shared
  // out evenly over them, each stored as its own second, and `afterEach` (the display step) runs
  // after each.
  void SampleSeconds(int seconds, const std::function<void()>& afterEach);
  void ResetTotals();
  // Writes the running hour and day at exit, and any hour still waiting, trying again until
  // ExitWait has passed; then reports what could not be saved, and closes the log.
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

  // The applications' running hour, whose rows go with each hour to the log (at the hour's close
  // and at exit); none: the hours carry no application rows. The caller feeds it the seconds and
  // keeps it alive while the sampler has it.
  void SetAppHours(TAppHours* hours) { Apps = hours; }

  // Hours handed to the log's writer and not yet written (failed ones wait for the next check).
  std::size_t PendingWrites() const { return Log.QueuedBatches(); }
  // How long a tick waits for the log's writer after handing it an hour: none in the program,
  // whose main thread never waits for the disk; tests wait, so that a write's outcome is known at
  // the tick that caused it.
  std::chrono::milliseconds WriteWait{0};
  // The bound of the exit's wait for the writer.
  std::chrono::milliseconds ExitWait{10000};
  // The running hour as the log will hold it when the hour ends: its hourly record (with the
  // applications' rows so far) and the day, week, month and year it adds to. Empty before the
  // first reset.
  std::vector<TPeriodWrite> RunningPeriods() const;
  // What was counted and is not in the log yet: the hours waiting for the writer, then the
  // running hour.
  std::vector<TPeriodWrite> UnloggedPeriods() const;
  // The date of the running hour (CurrentHour holds its hour).
  TDate HourDate() const { return FHourDate; }

 private:
  std::vector<TPeriodWrite> HourPeriods(TAppDeltas apps) const;
  void CheckHourRollover();
  void StartHour(const TLocalTime& now);
  void CloseRunningHour(const TLocalTime& now);
  void RetryPending();
  void Report(const std::string& text);
  void AddRunningSecond();
  void ReportLoss(const std::string& why, std::size_t saved,
                  const std::vector<std::vector<TPeriodWrite>>& lost);

  TTraffic& T;
  TTrafficLog& Log;
  TClock Clock;
  TAppHours* Apps = nullptr;
  TDate FHourDate{};  // the date the running hour belongs to; not ok() before the first reset
  std::string LastError;
};

// The program's sampler (created by the hidden main form); the free functions act on it.
extern TSampler* Sampler;
void SampleTick();
void ResetTotals();
void FlushTotals();

}  // namespace zul
