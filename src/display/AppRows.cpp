#include "display/AppRows.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <tuple>

namespace zul {
using namespace std::chrono;

namespace {

TDate Shift(TDate d, int byDays) {
  return TDate{sys_days{d} + days{byDays}};
}

// Counters that reach the top stay there rather than wrap to a small number.
uint64_t AddSaturated(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

void Add(TAppBytes& to, const TAppBytes& from) {
  to.InternetDown = AddSaturated(to.InternetDown, from.InternetDown);
  to.InternetUp = AddSaturated(to.InternetUp, from.InternetUp);
  to.LanDown = AddSaturated(to.LanDown, from.LanDown);
  to.LanUp = AddSaturated(to.LanUp, from.LanUp);
}

// In long double, so that four counters near the top add up without wrapping.
long double Sum(const TAppBytes& b) {
  return static_cast<long double>(b.InternetDown) + static_cast<long double>(b.InternetUp) +
         static_cast<long double>(b.LanDown) + static_cast<long double>(b.LanUp);
}

long double ColumnValue(const TAppRow& r, int column) {
  switch (column) {
    case acInternetDown:
      return static_cast<long double>(r.Bytes.InternetDown);
    case acInternetUp:
      return static_cast<long double>(r.Bytes.InternetUp);
    case acLanDown:
      return static_cast<long double>(r.Bytes.LanDown);
    case acLanUp:
      return static_cast<long double>(r.Bytes.LanUp);
    case acTotal:
    case acShare:  // the share follows the total
      return r.Total();
    case acNow:
      return r.NowTotal();
    default:
      return 0;
  }
}

// Negative, zero or positive as a is before, with or after b, letters without regard to case.
int CompareNames(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto lower = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a')
                                  : static_cast<unsigned char>(c);
    };
    const unsigned char x = lower(a[i]);
    const unsigned char y = lower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return 0;
}

}  // namespace

long double TAppRow::Total() const {
  return Sum(Bytes);
}

long double TAppRow::NowTotal() const {
  return Sum(Now);
}

TDateRange AppsRange(int preset, TDate today, TDate from, TDate to) {
  switch (preset) {
    case apThisWeek: {
      const unsigned iso = weekday{sys_days{today}}.iso_encoding();  // 1 = Monday ... 7 = Sunday
      const TDate monday = Shift(today, -static_cast<int>(iso - 1));
      return {monday, Shift(monday, 6)};
    }
    case apThisMonth:
      return {today.year() / today.month() / day{1}, TDate{today.year() / today.month() / last}};
    case apLast30Days:
      return {Shift(today, -29), today};
    case apCustom:
      // A date that does not exist (a damaged picker) would make the range meaningless.
      if (!from.ok() || !to.ok()) return {today, today};
      if (sys_days{from} > sys_days{to}) std::swap(from, to);
      return {from, to};
    default:
      return {today, today};
  }
}

std::vector<TAppRow> BuildAppRows(const TAppDeltas& totals, const TAppDeltas& lastSecond,
                                  const TDescribeApp& describe) {
  std::map<std::string, TAppRow> byApp;
  for (const TAppDelta& d : totals) Add(byApp[d.App].Bytes, d.Bytes);
  for (const TAppDelta& d : lastSecond) Add(byApp[d.App].Now, d.Bytes);

  long double all = 0;
  for (const auto& [app, row] : byApp) all += row.Total();

  std::vector<TAppRow> rows;
  rows.reserve(byApp.size());
  for (auto& [app, row] : byApp) {
    row.App = app;
    if (describe) std::tie(row.Name, row.Icon) = describe(app);
    if (row.Name.empty()) row.Name = app;
    if (row.Icon.empty() && app == kOtherUsersApp) row.Icon = "system-users";
    if (row.Icon.empty() && app == kSystemApp) row.Icon = "computer";
    row.Share = all > 0 ? static_cast<double>(row.Total() * 100 / all) : 0.0;
    rows.push_back(std::move(row));
  }
  return rows;
}

void SortAppRows(std::vector<TAppRow>& rows, int column, bool descending) {
  std::stable_sort(rows.begin(), rows.end(),
                   [column, descending](const TAppRow& a, const TAppRow& b) {
                     if (column != acName) {
                       const long double x = ColumnValue(a, column);
                       const long double y = ColumnValue(b, column);
                       if (x != y) return descending ? x > y : x < y;
                     } else if (const int c = CompareNames(a.Name, b.Name); c != 0) {
                       return descending ? c > 0 : c < 0;
                     }
                     // Equal values: by name, then by identity, the same way up in both directions.
                     if (const int c = CompareNames(a.Name, b.Name); c != 0) return c < 0;
                     return a.App < b.App;
                   });
}

}  // namespace zul
