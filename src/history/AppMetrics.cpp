#include "history/AppMetrics.h"

#include <algorithm>
#include <vector>

#include "history/AppQuery.h"
#include "history/MetricsText.h"

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
  const std::string label = "app=\"" + MetricsLabelValue(ValidUtf8(app)) + "\",view=\"";
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
  // The top by bytes since start; an application spelt like the rest's label stays in the rest.
  std::vector<const TAppDelta*> ranked;
  for (const TAppDelta& a : sinceStart)
    if (a.Bytes.Total() > 0 && a.App != kAppMetricsRest) ranked.push_back(&a);
  if (ranked.empty() && Base.empty() && Last.empty()) return {};
  std::stable_sort(ranked.begin(), ranked.end(), [](const TAppDelta* a, const TAppDelta* b) {
    return a->Bytes.Total() > b->Bytes.Total() ||
           (a->Bytes.Total() == b->Bytes.Total() && a->App < b->App);
  });
  if (ranked.size() > kAppMetricsTop) ranked.resize(kAppMetricsTop);

  std::map<std::string, TAppBytes, std::less<>> base;
  for (const TAppDelta* a : ranked) {
    const auto kept = Base.find(a->App);
    base.emplace(a->App, kept != Base.end() ? kept->second : a->Bytes);
  }
  Base = std::move(base);

  TAppBytes rest;
  std::map<std::string, TAppBytes, std::less<>> series;
  for (const TAppDelta& a : sinceStart) {
    const auto b = Base.find(a.App);
    if (b == Base.end()) {
      rest += a.Bytes;
      continue;
    }
    rest += b->second;
    series.emplace(a.App, Less(a.Bytes, b->second));
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
