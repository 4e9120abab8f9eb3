// The statistics window's rules without the window: which dates a period covers, the select text
// for the traffic log, the amount format and the texts of the "Period" column. No Qt.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "history/TrafficLog.h"

namespace zul {

// The items of the period list, in its order.
enum TTimePreset : int {
  tpToday = 0,
  tpYesterday = 1,
  tpLast7Days = 2,
  tpLastWeek = 3,
  tpThisMonth = 4,
  tpLastMonth = 5,
  tpThisYear = 6,
  tpLastYear = 7,
  tpAllTime = 8,
};
inline constexpr std::array<const char*, 9> kTimePresetNames = {
    "Today",      "Yesterday", "Last 7 days", "Last week", "This month",
    "Last month", "This Year", "Last Year",   "All time"};
inline constexpr std::array<const char*, 5> kGroupingNames = {"Hourly", "Daily", "Weekly",
                                                              "Monthly", "Yearly"};

enum TPeriodMode : int {
  pmNone = 0,     // nothing chosen: no query
  pmAllTime = 1,  // every record of the flag
  pmOneDate = 2,  // PeriodStart alone
  pmRange = 3,    // PeriodStart to PeriodEnd, both included
};

struct TPeriod {
  TPeriodMode PeriodMode = pmNone;
  TDate PeriodStart;
  TDate PeriodEnd;
  bool operator==(const TPeriod&) const = default;
};

// What the period controls hold: the preset mode with the list's index (-1 when nothing is
// chosen), or the custom range of the two date pickers.
struct TPeriodInput {
  bool Preset = true;
  int TimeIndex = -1;
  TDate Picker1;
  TDate Picker2;
};

// The period in force, and what the two pickers show afterwards.
struct TPeriodResult {
  TPeriod Period;
  TDate Picker1;
  TDate Picker2;
};

// `today` is the local date at the moment of the query. Weeks run Monday to Sunday. A custom
// range given backwards is swapped, pickers included.
TPeriodResult ComputePeriod(const TPeriodInput& in, TDate today);

// The select text for a view and a grouping (list indexes, -1 when nothing is chosen); none when
// the view, the grouping or the period is missing.
std::optional<std::string> QueryText(int view, int grouping, const TPeriod& period);

// Kilobytes as KB, MB, GB or TB with one decimal, base 1024; empty from 1024 TB on.
std::string FormatKB(long double kb, std::string_view decimalPoint = ".");

// The "Period" column of one record; `shortDate` writes a date in the user's short format.
using TShortDate = std::function<std::string(TDate)>;
std::string PeriodText(const TLogRecord& r, const TShortDate& shortDate);

}  // namespace zul
