#include "history/Sampler.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iterator>
#include <utility>

#include "platform/ErrorReport.h"

namespace zul {
using namespace std::chrono;

TSampler* Sampler = nullptr;

namespace {

constexpr uint16_t kMaxHourSeconds = 0xFFFF;
constexpr const char* kExitLossKey = "exit.totals";

void CompleteSecond(TCounterBlock& c) {
  c[ciWanLanUp] = c[ciLanUp] + c[ciWanUp];
  c[ciWanLanDown] = c[ciLanDown] + c[ciWanDown];
  c[ciReserved] = 0;
}

void AddToHour(TTraffic& t, const TCounterBlock& c) {
  for (int k = 0; k < 8; ++k) t.HourTotals[k] += c[k];
  // Saturates: the graphs divide by it, and an hour check that never comes must not make it 0.
  if (t.HourSeconds < kMaxHourSeconds) ++t.HourSeconds;
}

// "1.5 MB" for the report of a loss; bytes in units of 1024.
std::string Amount(uint64_t bytes) {
  static const char* const kUnits[] = {"bytes", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[48];
  if (unit == 0)
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

}  // namespace

TLocalTime LocalNow() {
  // tzset() lets a change of time zone while the program runs take effect.
  tzset();
  const std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  return {TDate{year(lt.tm_year + 1900), month(static_cast<unsigned>(lt.tm_mon + 1)),
                day(static_cast<unsigned>(lt.tm_mday))},
          lt.tm_hour, lt.tm_min, lt.tm_sec};
}

TSampler::TSampler(TTraffic& traffic, TTrafficLog& log, TClock clock)
    : T(traffic), Log(log), Clock(clock ? std::move(clock) : TClock(LocalNow)) {}

void TSampler::SampleTick() {
  TCounterBlock& c = T.Counters;
  CompleteSecond(c);
  T.Push(c);
  AddToHour(T, c);

  T.MinuteTick = static_cast<uint16_t>((T.MinuteTick + 1) % 60);
  if (T.MinuteTick == 0) CheckHourRollover();

  if (OnSecond) {
    try {
      OnSecond(c);
    } catch (const std::exception& e) {
      Report(e.what());
    } catch (...) {
      Report("The threshold check failed.");
    }
  }

  T.LastSample = c;
  c.fill(0);
}

int TSecondClock::Due(TTime now) {
  using namespace std::chrono;
  if (!Last) {
    Last = now;
    return 1;
  }
  // Rounded, so that a timer firing a little early or late still owes one second.
  const auto elapsed = duration_cast<milliseconds>(now - *Last);
  const long long rounded = (elapsed.count() + 500) / 1000;
  const int due = static_cast<int>(std::clamp<long long>(rounded, 1, kHistorySlots - 1));
  *Last += seconds(due);
  // A clock far off what was counted (a suspend longer than the ring) starts afresh.
  if (now - *Last > seconds(1) || *Last - now > seconds(1)) Last = now;
  return due;
}

void TSampler::SampleSeconds(int seconds, const std::function<void()>& afterEach) {
  if (seconds < 1) seconds = 1;
  const TCounterBlock gathered = T.Counters;
  const auto n = static_cast<uint64_t>(seconds);
  for (uint64_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < gathered.size(); ++k)
      T.Counters[k] = gathered[k] / n + (i < gathered[k] % n ? 1 : 0);
    SampleTick();
    if (afterEach) afterEach();
  }
}

void TSampler::ResetTotals() {
  T.DayTotals.fill(0);
  StartHour(Clock());
  T.MinuteTick = 0;
}

void TSampler::StartHour(const TLocalTime& now) {
  T.HourTotals.fill(0);
  T.CurrentHour = static_cast<uint16_t>(now.Hour);
  FHourDate = now.Date;
  T.HourSeconds = 1;
}

void TSampler::CheckHourRollover() {
  const TLocalTime now = Clock();
  if (!FHourDate.ok()) {
    // No reset yet: what was counted so far belongs to the hour seen now.
    T.CurrentHour = static_cast<uint16_t>(now.Hour);
    FHourDate = now.Date;
  } else if (now.Date != FHourDate || now.Hour != T.CurrentHour) {
    // Any other date or hour ends the running one, whichever way the clock moved, and the
    // hour's traffic keeps its own key.
    CloseRunningHour(now);
  }
  if (Log.QueuedBatches() > 0) RetryPending();
  // Once a minute, for other programs that read the log: the running hour so far.
  try {
    Log.SetRunning(RunningPeriods());
  } catch (const std::exception& e) {
    Report(std::string("The running hour could not be kept for the log: ") + e.what());
  }
}

std::vector<TPeriodWrite> TSampler::RunningPeriods() const {
  return HourPeriods(Apps != nullptr ? Apps->Rows(T.HourTotals) : TAppDeltas{});
}

std::vector<TPeriodWrite> TSampler::HourPeriods(TAppDeltas apps) const {
  if (!FHourDate.ok()) return {};
  // The hour's own record first: the exit's report reads it.
  const auto day = DayPeriods(FHourDate, T.HourTotals);
  std::vector<TPeriodWrite> periods{
      {kHourlyBase, T.CurrentHour, T.HourTotals, FHourDate, std::move(apps)}};
  periods.insert(periods.end(), day.begin(), day.end());
  return periods;
}

std::vector<TPeriodWrite> TSampler::UnloggedPeriods() const {
  std::vector<TPeriodWrite> periods;
  for (const std::vector<TPeriodWrite>& batch : Log.QueuedCopy())
    periods.insert(periods.end(), batch.begin(), batch.end());
  const std::vector<TPeriodWrite> running = RunningPeriods();
  periods.insert(periods.end(), running.begin(), running.end());
  return periods;
}

void TSampler::CloseRunningHour(const TLocalTime& now) {
  try {
    Log.Submit(HourPeriods(Apps != nullptr ? Apps->CloseHour(T.HourTotals) : TAppDeltas{}));
  } catch (const std::exception& e) {
    Report(std::string("The traffic of an hour could not be kept for the log: ") + e.what());
  }

  for (int k = 0; k < 8; ++k) T.DayTotals[k] += T.HourTotals[k];
  if (now.Date != FHourDate) T.DayTotals.fill(0);
  StartHour(now);
}

void TSampler::RetryPending() {
  // Wakes the writer for a failed hour; the main thread goes on unless WriteWait says otherwise.
  // The outcome of an attempt still under way is seen at a later check.
  std::string error;
  if (!Log.IsOpen()) {
    error = "The traffic log is not open.";
  } else if (Log.Drain(WriteWait)) {
    LastError.clear();
    return;
  } else {
    error = Log.WriteError();
  }
  if (error.empty()) {
    LastError.clear();
    return;
  }
  // The same fault at every minute check is reported once, until a write succeeds.
  if (error == LastError) return;
  LastError = error;
  Report(error + " The traffic counted is kept and written as soon as the log accepts it.");
}

void TSampler::AddRunningSecond() {
  TCounterBlock& c = T.Counters;
  CompleteSecond(c);
  AddToHour(T, c);
  c.fill(0);
}

void TSampler::FlushTotals() {
  const TLocalTime now = Clock();
  if (!FHourDate.ok()) {
    T.CurrentHour = static_cast<uint16_t>(now.Hour);
    FHourDate = now.Date;
  }
  // Capture has stopped: what the running second counted is all there is of it.
  AddRunningSecond();
  CloseRunningHour(now);
  const std::size_t hours = Log.QueuedBatches();
  // A lock that another program lets go of before the exit's deadline costs nothing.
  if (!Log.DrainUntil(steady_clock::now() + ExitWait)) {
    std::string error = Log.WriteError();
    if (error.empty())
      error = Log.IsOpen() ? "The traffic log did not finish writing in time."
                           : "The traffic log is not open.";
    const std::vector<std::vector<TPeriodWrite>> lost = Log.TakeQueued();
    ReportLoss(error, hours - std::min(hours, lost.size()), lost);
  }
  Log.Close();
}

void TSampler::ReportLoss(const std::string& why, std::size_t saved,
                          const std::vector<std::vector<TPeriodWrite>>& lost) {
  // This computer's traffic ("Internet & LAN") in the hours that are about to be dropped.
  uint64_t down = 0;
  uint64_t up = 0;
  for (const std::vector<TPeriodWrite>& batch : lost) {
    if (batch.empty()) continue;
    down += batch[0].Totals[ciWanLanDown];
    up += batch[0].Totals[ciWanLanUp];
  }
  auto hours = [](std::size_t n) { return std::to_string(n) + (n == 1 ? " hour" : " hours"); };
  std::string text = why + " The traffic of " + hours(lost.size()) + " (" + Amount(down) +
                     " received, " + Amount(up) + " sent) could not be saved.";
  if (saved > 0) text += " The traffic of " + hours(saved) + " was saved.";
  try {
    if (OnExitLoss)
      OnExitLoss(text);
    else
      ReportAlways(kExitLossKey, text);
  } catch (...) {
    // The last word of the exit; nothing is left to tell.
  }
}

void TSampler::Report(const std::string& text) {
  if (!OnError) return;
  try {
    OnError(text);
  } catch (...) {
    // The reporter is the last resort; a tick must finish even when it fails.
  }
}

void SampleTick() {
  if (Sampler != nullptr) Sampler->SampleTick();
}

void ResetTotals() {
  if (Sampler != nullptr) Sampler->ResetTotals();
}

void FlushTotals() {
  if (Sampler != nullptr) Sampler->FlushTotals();
}

}  // namespace zul
