// The Applications window's rules without the window: which days a choice of the period list
// covers, the rows built from the per-application sums, their shares and their order. Qt-free.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "capture/AppUsage.h"
#include "history/TrafficLog.h"

namespace zul {

// The items of the window's period list, in its order.
enum TAppsPreset : int {
  apToday = 0,
  apThisWeek = 1,
  apThisMonth = 2,
  apLast30Days = 3,
  apCustom = 4,
};
inline constexpr std::array<const char*, 5> kAppsPresetNames = {"Today", "This week", "This month",
                                                                "Last 30 days", "Custom range"};

// Days from From to To, both included.
struct TDateRange {
  TDate From;
  TDate To;
  bool operator==(const TDateRange&) const = default;
};

// The days a preset covers on `today`: weeks run Monday to Sunday as the log's do, a week or a
// month whole (days to come add nothing), the last 30 days with today as the 30th. The custom
// range is `from` to `to`, swapped when given backwards. Anything else is today.
TDateRange AppsRange(int preset, TDate today, TDate from = {}, TDate to = {});

// The window's columns, in their order.
enum TAppsColumn : int {
  acName = 0,
  acInternetDown = 1,
  acInternetUp = 2,
  acLanDown = 3,
  acLanUp = 4,
  acTotal = 5,
  acShare = 6,
  acNow = 7,
};
inline constexpr int kAppsColumnCount = 8;
inline constexpr std::array<const char*, kAppsColumnCount> kAppsColumnNames = {
    "Application", "Internet down", "Internet up", "LAN down", "LAN up", "Total", "Share", "Now"};

// One application as listed.
struct TAppRow {
  std::string App;   // the identity the counter and the log use
  std::string Name;  // what the user reads: the desktop entry's name, else App
  std::string Icon;  // a theme icon's name or an icon file's path; empty for a generic one
  TAppBytes Bytes;   // over the days chosen
  TAppBytes Now;     // the last second
  double Share = 0;  // percent of every row's total bytes
  long double Total() const;
  long double NowTotal() const;
};

// The display name and icon of an application; both empty when nothing describes it.
using TDescribeApp = std::function<std::pair<std::string, std::string>(const std::string& app)>;

// One row per application of `totals` and `lastSecond` (an application seen only in the last
// second gets a row of its own; one listed twice is added up), with its share of the rows' sum.
// The two rows of other users and of the system take a theme icon when nothing describes them.
std::vector<TAppRow> BuildAppRows(const TAppDeltas& totals, const TAppDeltas& lastSecond,
                                  const TDescribeApp& describe);

// Sorts by a column's value (the amounts as numbers, the names without regard to case); rows
// of equal value keep the order of their names, whatever the direction.
void SortAppRows(std::vector<TAppRow>& rows, int column, bool descending);

}  // namespace zul
