// The metrics text: the exposition format's families and samples, checked line by line and by
// promtool or the parser of python3-prometheus-client, and the 64-bit sums of the per-second hook.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "metrics/AppMetrics.h"
#include "metrics/MetricsText.h"

namespace zul {
namespace {

TMetricsSnapshot Full() {
  TMetricsSnapshot s;
  for (int v = 0; v < kViewCount; ++v) {
    s.BytesTotal[v] = {5'000'000'000ull + static_cast<uint64_t>(v), static_cast<uint64_t>(10 + v)};
    s.LastSecond[v] = {static_cast<uint64_t>(100 * v), static_cast<uint64_t>(v)};
  }
  s.Adapters = {{"eth0", true, 12}, {"wl\"an\\0", false, std::nullopt}};
  s.LogOpen = true;
  s.LogPendingBatches = 1;
  s.LastLogWrite = 1796083200.25;
  TViewAmounts today{}, month{};
  today[tvLan] = {2048, 1024};
  month[tvLan] = {4096, 3072};
  s.Today = today;
  s.Month = month;
  s.StartTime = 1796080000.0;
  TAppMetrics apps;
  s.AppLines = apps.Lines({{"org.example.Browser", {1, 2, 3, 4}}, {"we\"ird\\", {5, 0, 0, 0}}});
  return s;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST(MetricsText, EveryFamilyHasHelpAndTypeBeforeItsSamplesAndCountersEndInTotal) {
  const std::string text = RenderMetrics(Full());
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::map<std::string, std::string> types;
  std::set<std::string> helped;
  std::map<std::string, int> samples;
  for (const std::string& l : Lines(text)) {
    if (l.rfind("# HELP ", 0) == 0) {
      const std::string name = l.substr(7, l.find(' ', 7) - 7);
      EXPECT_FALSE(types.count(name)) << "HELP after TYPE: " << l;
      helped.insert(name);
    } else if (l.rfind("# TYPE ", 0) == 0) {
      std::istringstream in(l.substr(7));
      std::string name, type;
      in >> name >> type;
      EXPECT_TRUE(helped.count(name)) << "no HELP: " << name;
      EXPECT_TRUE(type == "counter" || type == "gauge") << l;
      if (type == "counter") {
        EXPECT_TRUE(name.ends_with("_total")) << name;
      }
      types[name] = type;
    } else {
      const std::string name = l.substr(0, l.find_first_of("{ "));
      EXPECT_TRUE(types.count(name)) << "sample without TYPE: " << l;
      ++samples[name];
    }
  }
  const std::map<std::string, int> want = {
      {"zul_traffic_bytes_total", 8},
      {"zul_traffic_rate_bytes_per_second", 8},
      {"zul_traffic_today_bytes", 8},
      {"zul_traffic_month_bytes", 8},
      {"zul_app_traffic_bytes_total", 12},  // two applications and the rest
      {"zul_capture_active", 2},
      {"zul_capture_kernel_drops_total", 1},
      {"zul_log_open", 1},
      {"zul_log_pending_batches", 1},
      {"zul_log_last_write_timestamp_seconds", 1},
      {"zul_start_time_seconds", 1},
  };
  EXPECT_EQ(samples, want);
}

TEST(MetricsText, SamplesCarryTheirValuesAndEscapedLabels) {
  const std::string text = RenderMetrics(Full());
  for (const char* line : {
           "zul_traffic_bytes_total{view=\"internet_and_lan\",direction=\"download\"} 5000000000",
           "zul_traffic_bytes_total{view=\"internet_all_pcs\",direction=\"upload\"} 13",
           "zul_traffic_rate_bytes_per_second{view=\"lan\",direction=\"download\"} 200",
           "zul_traffic_today_bytes{view=\"lan\",direction=\"upload\"} 1024",
           "zul_traffic_month_bytes{view=\"lan\",direction=\"download\"} 4096",
           "zul_traffic_month_bytes{view=\"internet\",direction=\"download\"} 0",
           "zul_capture_active{adapter=\"eth0\"} 1",
           "zul_app_traffic_bytes_total{app=\"org.example.Browser\",view=\"lan\",direction="
           "\"upload\"} 4",
           "zul_app_traffic_bytes_total{app=\"we\\\"ird\\\\\",view=\"internet\",direction="
           "\"download\"} 5",
           "zul_capture_active{adapter=\"wl\\\"an\\\\0\"} 0",
           "zul_capture_kernel_drops_total{adapter=\"eth0\"} 12",
           "zul_log_open 1",
           "zul_log_pending_batches 1",
           "zul_log_last_write_timestamp_seconds 1796083200.250",
           "zul_start_time_seconds 1796080000.000",
       })
    EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line;

  // What is not known is left out rather than reported as zero.
  TMetricsSnapshot bare;
  const std::string minimal = RenderMetrics(bare);
  for (const char* family :
       {"zul_traffic_today_bytes", "zul_traffic_month_bytes", "zul_capture_active",
        "zul_capture_kernel_drops_total", "zul_log_last_write_timestamp_seconds"})
    EXPECT_EQ(minimal.find(family), std::string::npos) << family;
  EXPECT_NE(minimal.find("zul_log_open 0\n"), std::string::npos);
}

// The checker's verdict on a text: its exit code and what it printed. promtool where the
// Prometheus package is installed, else the script that checks the same with the parser of
// python3-prometheus-client, which starts no server.
std::pair<int, std::string> CheckText(const std::string& checker, const std::string& text) {
  char dir[] = "/tmp/zul-metrics-XXXXXX";
  if (mkdtemp(dir) == nullptr) return {-1, "mkdtemp failed"};
  const std::string in = std::string(dir) + "/metrics.txt", out = std::string(dir) + "/out.txt";
  std::ofstream(in) << text;
  const std::string cmd = checker + " < " + in + " > " + out + " 2>&1";
  const int status = std::system(cmd.c_str());
  std::ifstream f(out);
  std::string said((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::filesystem::remove_all(dir);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, said};
}

TEST(MetricsText, PassesTheCheckAndLint) {
  std::string checker;
  if (std::system("command -v promtool >/dev/null 2>&1") == 0)
    checker = "promtool check metrics";
  else if (std::system("/usr/bin/python3 -c 'import prometheus_client' >/dev/null 2>&1") == 0)
    checker = std::string("/usr/bin/python3 ") + ZUL_METRICS_CHECKER;
  else
    GTEST_SKIP() << "neither promtool nor python3-prometheus-client is installed";
  for (const TMetricsSnapshot& s : {Full(), TMetricsSnapshot{}}) {
    const auto [code, said] = CheckText(checker, RenderMetrics(s));
    EXPECT_EQ(code, 0) << said;
    EXPECT_EQ(said, "") << said;
  }
  // The check is worth something: a counter without _total is refused.
  const auto [code, said] =
      CheckText(checker, "# HELP zul_x Bytes.\n# TYPE zul_x counter\nzul_x 1\n");
  EXPECT_NE(code, 0) << said;
}

TEST(MetricsText, TheHookSumsEachViewInSixtyFourBits) {
  TMetricsCounters sums;
  TCounterBlock c{};
  for (int k = 0; k < kCounterCount; ++k) c[k] = 0xFFFF0000u + static_cast<uint32_t>(k);
  for (int i = 0; i < 3; ++i) sums.AddSecond(c);
  auto three = [](uint64_t slot) { return 3 * (0xFFFF0000ull + slot); };
  // (download slot, upload slot) of each view.
  const int slots[4][2] = {{5, 4}, {3, 2}, {1, 0}, {7, 6}};
  for (int v = 0; v < kViewCount; ++v) {
    EXPECT_EQ(sums.Bytes[v][kDirDown], three(slots[v][0])) << v;
    EXPECT_EQ(sums.Bytes[v][kDirUp], three(slots[v][1])) << v;
  }
}

// The series of one text: app label to its four values.
std::map<std::string, std::array<uint64_t, 4>> AppSeries(const std::string& text) {
  std::map<std::string, std::array<uint64_t, 4>> series;
  for (const std::string& l : Lines(text)) {
    if (l.rfind("zul_app_traffic_bytes_total{app=\"", 0) != 0) continue;
    const std::size_t from = l.find('"') + 1, to = l.find("\",view=");
    const std::size_t slot = (l.find("view=\"lan\"") != std::string::npos ? 2 : 0) +
                             (l.find("\"upload\"") != std::string::npos ? 1 : 0);
    series[l.substr(from, to - from)][slot] = std::stoull(l.substr(l.rfind(' ') + 1));
  }
  return series;
}

TEST(AppMetrics, TheTopApplicationsHaveSeriesTheRestIsOneAndNoCounterGoesDown) {
  // Application i has i + 1 bytes of Internet download in each step, and a change of its own.
  struct TStep {
    const char* Name;
    std::map<std::string, uint64_t> Changed;  // Internet download bytes since start
    std::set<std::string> Series;             // the applications with a series, "other" aside
  };
  std::set<std::string> top;
  for (int i = 2; i < 12; ++i) top.insert("app" + std::to_string(i));
  const std::vector<TStep> steps = {
      {"twelve applications: the ten largest", {}, top},
      {"one from the rest overtakes: its series counts from what the rest held of it, and the "
       "smallest goes to the rest",
       {{"app0", 1000}},
       [&] {
         auto s = top;
         s.erase("app2");
         s.insert("app0");
         return s;
       }()},
      {"the System row shrinks a little while the seconds come in: its counter holds",
       {{"app0", 1000}, {"System", 5000}},
       {}},
      {"", {{"app0", 1000}, {"System", 4990}}, {}},
      {"an application called like the rest's row stays in the rest",
       {{"app0", 1000}, {"System", 4990}, {"other", 9000}},
       {}},
  };
  TAppMetrics m;
  std::map<std::string, std::array<uint64_t, 4>> before;
  for (const TStep& step : steps) {
    TAppDeltas all;
    uint64_t sum = 0;
    for (int i = 0; i < 12; ++i) {
      const std::string app = "app" + std::to_string(i);
      const uint64_t bytes = step.Changed.count(app) ? step.Changed.at(app) : uint64_t(i + 1);
      all.push_back({app, {bytes, 0, 0, 0}});
      sum += bytes;
    }
    for (const char* extra : {"System", "other"})
      if (step.Changed.count(extra)) {
        all.push_back({extra, {step.Changed.at(extra), 0, 0, 0}});
        sum += step.Changed.at(extra);
      }
    const auto series = AppSeries(m.Lines(all));
    std::set<std::string> names;
    uint64_t reported = 0;
    for (const auto& [app, v] : series) {
      if (app != kAppMetricsRest) names.insert(app);
      reported += v[0];
      if (before.count(app)) {
        for (int k = 0; k < 4; ++k) EXPECT_GE(v[k], before[app][k]) << step.Name << ' ' << app;
      }
    }
    EXPECT_LE(names.size(), kAppMetricsTop) << step.Name;
    EXPECT_TRUE(series.count(kAppMetricsRest)) << step.Name;
    if (!step.Series.empty()) {
      EXPECT_EQ(names, step.Series) << step.Name;
    }
    if (step.Changed.count("System") == 0 || step.Changed.at("System") == 5000) {
      EXPECT_EQ(reported, sum) << step.Name << ": the series add up to every byte";
    }
    if (step.Changed.count("app0") && step.Series.count("app0")) {
      EXPECT_EQ(series.at("app0")[0], 999u) << "the byte reported in the rest stays there";
    }
    before = series;
  }
  EXPECT_EQ(TAppMetrics().Lines({}), "") << "no applications, no family";
}

}  // namespace
}  // namespace zul
