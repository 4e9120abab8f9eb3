#include "metrics/AppMetrics.h"

#include <algorithm>
#include <vector>

#include "history/AppQuery.h"
#include "metrics/MetricsText.h"

namespace zul {
namespace {

constexpr const char* kName = "zul_app_traffic_bytes_total";

TAppBytes Less(const TAppBytes& a, const TAppBytes& b) {
  auto sub = [](uint64_t x, uint64_t y) { return x > y ? x - y : 0; };
  return {sub(a.InternetDown, b.InternetDown), sub(a.InternetUp, b.InternetUp),
          sub(a.LanDown, b.LanDown), sub(a.LanUp, b.LanUp)};
}

TAppBytes AtLeast(const TAppBytes& a, const TAppBytes& floor) {
  return {std::max(a.InternetDown, floor.InternetDown), std::max(a.InternetUp, floor.InternetUp),
          std::max(a.LanDown, floor.LanDown), std::max(a.LanUp, floor.LanUp)};
}

void Samples(std::string& text, const std::string& app, const TAppBytes& b) {
  const std::string label = "app=\"" + MetricsLabelValue(app) + "\",view=\"";
  const std::pair<const char*, uint64_t> rows[] = {
      {"internet\",direction=\"download\"", b.InternetDown},
      {"internet\",direction=\"upload\"", b.InternetUp},
      {"lan\",direction=\"download\"", b.LanDown},
      {"lan\",direction=\"upload\"", b.LanUp},
  };
  for (const auto& [rest, value] : rows)
    text += std::string(kName) + '{' + label + rest + "} " + std::to_string(value) + '\n';
}

}  // namespace

std::string TAppMetrics::Lines(const TAppDeltas& sinceStart) {
  // Label values are text: names that differ only in bytes that are not become one series.
  std::map<std::string, TAppBytes, std::less<>> apps;
  for (const TAppDelta& a : sinceStart) apps[ValidUtf8(a.App)] += a.Bytes;
  uint64_t any = 0;
  for (const auto& [app, bytes] : apps) any += bytes.Total();
  if (any == 0 && Base.empty() && LastRest.Total() == 0) return {};

  // The top by bytes since start; an application spelt like the rest's label stays in the rest.
  std::vector<std::pair<const std::string*, uint64_t>> ranked;
  for (const auto& [app, bytes] : apps)
    if (bytes.Total() > 0 && app != kAppMetricsRest) ranked.emplace_back(&app, bytes.Total());
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& x, const auto& y) { return x.second > y.second; });
  if (ranked.size() > kAppMetricsTop) ranked.resize(kAppMetricsTop);

  // A newcomer's series starts from what it adds to the rest's last figure, which keeps it.
  std::map<std::string, TAppBytes, std::less<>> base;
  for (const auto& [app, total] : ranked) {
    const auto kept = Base.find(*app);
    const auto inRest = InRest.find(*app);
    base.emplace(*app, kept != Base.end()       ? kept->second
                       : inRest != InRest.end() ? inRest->second
                                                : TAppBytes{});
  }
  Base = std::move(base);

  TAppBytes rest;
  InRest.clear();
  std::map<std::string, TAppBytes, std::less<>> series;
  for (const auto& [app, bytes] : apps) {
    const auto b = Base.find(app);
    if (b == Base.end()) {
      rest += bytes;
      InRest.emplace(app, bytes);
      continue;
    }
    rest += b->second;
    series.emplace(app, Less(bytes, b->second));
  }
  std::string text = std::string("# HELP ") + kName +
                     " Bytes of the applications with the most traffic since the program "
                     "started, per view and direction; app=\"other\" holds the rest, and what "
                     "an application counted before it got a series of its own.\n# TYPE " +
                     kName + " counter\n";
  std::map<std::string, TAppBytes, std::less<>> last;
  for (auto& [app, bytes] : series) {
    const auto before = Last.find(app);
    const TAppBytes value = before != Last.end() ? AtLeast(bytes, before->second) : bytes;
    Samples(text, app, value);
    last.emplace(app, value);
  }
  Last = std::move(last);
  LastRest = AtLeast(rest, LastRest);
  Samples(text, kAppMetricsRest, LastRest);
  return text;
}

}  // namespace zul
