// A data plan: a cap on one view's traffic per billing cycle. The cycle's dates, the use so far,
// the forecast, the daily budget, the alerts that fire once per cycle, the [DataPlan] section of
// zul.ini and the "Billing periods" grouping. Qt-free; the clock is passed in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "history/TrafficLog.h"

namespace zul {

// The statistics window's and the export's grouping of one row per billing cycle. Not a
// grouping of the log's table: the rows are made from the daily records.
inline constexpr int lgBillingPeriods = 5;
inline constexpr int kBillingBase = lgBillingPeriods * 16;
inline constexpr const char* kBillingPeriodsName = "Billing periods";

enum class TPlanDirection : int { Both = 0, Download = 1, Upload = 2 };

// Caps are counted in decimal units, as providers bill them: 1 GB = 10^9 bytes.
inline constexpr uint64_t kPlanCapMax = 1'000'000'000'000'000'000ULL;  // 1 EB
inline constexpr int kPlanAlertMax = 1000;                             // percent
inline constexpr std::size_t kPlanAlertCount = 10;

struct TPlanSettings {
  bool Enabled = false;
  int View = tvInternet;
  TPlanDirection Direction = TPlanDirection::Both;
  uint64_t CapBytes = 0;
  int CycleDay = 1;
  std::vector<int> AlertPercents{80, 90, 100};  // ascending, no repeats
  bool Sound = true;
  bool Message = true;
  bool operator==(const TPlanSettings&) const = default;
};

// The problem with the settings for the user, or empty when they can be used. A plan that is
// off may leave its cap at 0.
std::string CheckPlanSettings(const TPlanSettings& s);

// The [DataPlan] section of the text of a zul.ini. Keys it lacks keep their defaults; a key with
// a bad value gives a message naming it and the file, and the plan is off.
struct TPlanLoad {
  TPlanSettings Settings;
  std::string Error;  // empty when the section (or its absence) is fine
};
TPlanLoad ParsePlanSection(std::string_view ini, const std::string& iniPath);
// `ini` with the section's keys set to `s`; every other line is kept as it was.
std::string WithPlanSection(std::string_view ini, const TPlanSettings& s);
// The file's section: a missing file gives the defaults, one that cannot be read an Error.
TPlanLoad LoadPlanSettings(const std::string& iniPath);
// Writes the section into the file atomically, keeping the rest of it. Throws
// std::runtime_error, with the file unchanged, when it cannot be read or written or `s` is bad.
void SavePlanSettings(const std::string& iniPath, const TPlanSettings& s);

// Local wall-clock time: the date and the seconds since midnight.
struct TPlanTime {
  TDate Date;
  int SecondOfDay = 0;
};
using TPlanClock = std::function<TPlanTime()>;
TPlanTime PlanNow();

// A billing cycle, both days included. The cycle starts on `cycleDay` of a month, or on the
// month's last day when it has no such day (31 starts on 28 February, 30 April).
struct TCycle {
  TDate Start;
  TDate End;
  int Days() const;
  bool operator==(const TCycle&) const = default;
};
TCycle CycleOf(TDate day, int cycleDay);

// One day's traffic of the plan's view and direction.
struct TDayUse {
  TDate Date;
  uint64_t Bytes = 0;
};
// The daily records (kilobytes) of the plan's view among `rows`, in bytes of its direction.
std::vector<TDayUse> PlanDays(const TPlanSettings& s, std::span<const TLogRecord> rows);

struct TPlanStatus {
  TCycle Cycle;
  uint64_t UsedBytes = 0;
  uint64_t CapBytes = 0;
  double Percent = 0;  // of the cap, not bounded at 100
  // Under a day of data in the cycle: no forecast and no day the cap would be reached.
  bool TooEarly = true;
  std::optional<uint64_t> ForecastBytes;  // at the cycle's end at this pace
  // The day the cap was reached, or would be at this pace within the cycle.
  std::optional<TDate> CapReachedOn;
  bool CapReached = false;
  int DaysLeft = 1;               // today included
  uint64_t DailyBudgetBytes = 0;  // what is left, over the days left
};
// The status at `now` from the days of the cycle holding now (others are ignored).
TPlanStatus ComputePlanStatus(const TPlanSettings& s, std::span<const TDayUse> days, TPlanTime now);

// Amounts for people: "1.2 GB" in the plan's decimal units.
std::string PlanBytes(uint64_t bytes);
// The tray tip's line: "Data plan: 90 % used", with the forecast when `full`.
std::string PlanTipLine(const TPlanStatus& st, bool full);
// The text of `zul --plan`, and its JSON.
std::string PlanText(const TPlanSettings& s, const TPlanStatus& st);
std::string PlanJson(const TPlanSettings& s, const TPlanStatus& st);
// An alert's message.
std::string PlanAlertText(int level, const TPlanStatus& st);

// The alert levels that fired in one cycle, kept in a small file of the data folder so that a
// restart or a crash does not fire them again.
struct TPlanAlertState {
  TDate CycleStart{};
  uint64_t CapBytes = 0;
  std::vector<int> Fired;
  bool operator==(const TPlanAlertState&) const = default;
};
inline constexpr const char* kPlanStateFile = "plan.state";
// A missing or unusable file reads as nothing fired.
TPlanAlertState LoadPlanAlerts(const std::string& path);
// Atomic; throws std::runtime_error naming the file.
void SavePlanAlerts(const std::string& path, const TPlanAlertState& state);
// The levels due now, in ascending order, taken into `state`: those reached and not fired yet in
// this cycle. A new cycle forgets what fired; a new cap forgets the levels no longer reached.
std::vector<int> DueAlerts(TPlanAlertState& state, const TPlanSettings& s, const TPlanStatus& st);

// The daily records in `rows` as one record per billing cycle and view: CDate is the cycle's
// last day, Flag kBillingBase + view, Hour the cycle's length in days; SoFar when any day was.
std::vector<TLogRecord> GroupByCycles(std::span<const TLogRecord> daily, int cycleDay);

}  // namespace zul
