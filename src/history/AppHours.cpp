#include "history/AppHours.h"

#include <algorithm>
#include <utility>

namespace zul {
namespace {

uint64_t Beyond(uint64_t view, uint64_t apps) {
  return view > apps ? view - apps : 0;
}

void AddRow(std::map<std::string, TAppBytes, std::less<>>& to, const TAppDelta& row) {
  const auto it = to.find(row.App);
  if (it != to.end())
    it->second += row.Bytes;
  else
    to.emplace(row.App, row.Bytes);
}

}  // namespace

void TAppHours::Add(const TAppDeltas& deltas) {
  for (const TAppDelta& d : deltas)
    if (!d.App.empty() && d.App != kSystemApp) AddRow(Hour, d);
}

TAppDeltas TAppHours::Rows(const TPeriodTotals& hourTotals) const {
  TAppDeltas rows;
  rows.reserve(Hour.size() + 1);
  TAppBytes apps;
  for (const auto& [name, bytes] : Hour) {
    apps += bytes;
    if (bytes.Total() > 0) rows.push_back({name, bytes});
  }
  TAppBytes system;
  system.InternetDown = Beyond(hourTotals[ciWanDown], apps.InternetDown);
  system.InternetUp = Beyond(hourTotals[ciWanUp], apps.InternetUp);
  system.LanDown = Beyond(hourTotals[ciLanDown], apps.LanDown);
  system.LanUp = Beyond(hourTotals[ciLanUp], apps.LanUp);
  if (system.Total() > 0) {
    TAppDelta row{std::string(kSystemApp), system};
    const auto at =
        std::lower_bound(rows.begin(), rows.end(), row.App,
                         [](const TAppDelta& r, const std::string& name) { return r.App < name; });
    rows.insert(at, std::move(row));
  }
  return rows;
}

TAppDeltas TAppHours::CloseHour(const TPeriodTotals& hourTotals) {
  TAppDeltas rows = Rows(hourTotals);
  for (const TAppDelta& r : rows) AddRow(Closed, r);
  Hour.clear();
  return rows;
}

TAppDeltas TAppHours::SinceStart(const TPeriodTotals& hourTotals) const {
  std::map<std::string, TAppBytes, std::less<>> all = Closed;
  for (const TAppDelta& r : Rows(hourTotals)) AddRow(all, r);
  TAppDeltas rows;
  rows.reserve(all.size());
  for (const auto& [name, bytes] : all) rows.push_back({name, bytes});
  return rows;
}

}  // namespace zul
