#include "metrics/MetricsText.h"

#include <cmath>
#include <cstdio>

namespace zul {

TMetricsCounters MetricsCounters;
int MetricsPortOption = 0;

namespace {

// Label values of the views: stable, machine-friendly spellings of the view names.
constexpr std::array<const char*, kViewCount> kViewLabels = {"internet_and_lan", "internet", "lan",
                                                             "internet_all_pcs"};
constexpr std::array<const char*, 2> kDirLabels = {"download", "upload"};

class TWriter {
 public:
  void Family(const char* name, const char* type, const char* help) {
    Text += "# HELP ";
    Text += name;
    Text += ' ';
    Text += help;
    Text += "\n# TYPE ";
    Text += name;
    Text += ' ';
    Text += type;
    Text += '\n';
  }
  void Sample(const char* name, std::string_view labels, const std::string& value) {
    Text += name;
    if (!labels.empty()) {
      Text += '{';
      Text += labels;
      Text += '}';
    }
    Text += ' ';
    Text += value;
    Text += '\n';
  }
  void PerView(const char* name, const char* type, const char* help, const TViewAmounts& a) {
    Family(name, type, help);
    for (int v = 0; v < kViewCount; ++v)
      for (int d = 0; d < 2; ++d)
        Sample(name,
               std::string("view=\"") + kViewLabels[static_cast<std::size_t>(v)] +
                   "\",direction=\"" + kDirLabels[static_cast<std::size_t>(d)] + "\"",
               std::to_string(a[static_cast<std::size_t>(v)][static_cast<std::size_t>(d)]));
  }
  std::string Text;
};

std::string Seconds(double t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.3f", std::isfinite(t) ? t : 0.0);
  return buf;
}

}  // namespace

void TMetricsCounters::AddSecond(const TCounterBlock& c) {
  for (int v = 0; v < kViewCount; ++v) {
    const TCounterPair pair = kViewCounters[static_cast<std::size_t>(v)];
    auto& slot = Bytes[static_cast<std::size_t>(v)];
    slot[kDirDown] += c[static_cast<std::size_t>(pair.Down)];
    slot[kDirUp] += c[static_cast<std::size_t>(pair.Up)];
  }
}

void CountMetricsSecond(const TCounterBlock& c) {
  MetricsCounters.AddSecond(c);
}

std::string MetricsLabelValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string RenderMetrics(const TMetricsSnapshot& s) {
  TWriter w;
  w.PerView("zul_traffic_bytes_total", "counter",
            "Bytes counted since the program started, per view and direction.", s.BytesTotal);
  w.PerView("zul_traffic_rate_bytes_per_second", "gauge",
            "Bytes counted in the last completed second, per view and direction.", s.LastSecond);
  if (s.Today)
    w.PerView("zul_traffic_today_bytes", "gauge",
              "Bytes of the current day, logged and running hour together.", *s.Today);
  if (s.Month)
    w.PerView("zul_traffic_month_bytes", "gauge",
              "Bytes of the current month, logged and running hour together.", *s.Month);

  w.Text += s.AppLines;

  if (!s.Adapters.empty()) {
    w.Family("zul_capture_active", "gauge",
             "Whether the adapter's capture is open (1) or not (0).");
    for (const TAdapterMetrics& a : s.Adapters)
      w.Sample("zul_capture_active", "adapter=\"" + MetricsLabelValue(a.Name) + "\"",
               a.Capturing ? "1" : "0");
    bool anyDrops = false;
    for (const TAdapterMetrics& a : s.Adapters) anyDrops = anyDrops || a.KernelDrops.has_value();
    if (anyDrops) {
      w.Family("zul_capture_kernel_drops_total", "counter",
               "Frames the kernel dropped on the adapter's open capture for want of buffer space.");
      for (const TAdapterMetrics& a : s.Adapters)
        if (a.KernelDrops)
          w.Sample("zul_capture_kernel_drops_total",
                   "adapter=\"" + MetricsLabelValue(a.Name) + "\"", std::to_string(*a.KernelDrops));
    }
  }

  w.Family("zul_log_open", "gauge", "Whether the traffic log is open (1) or not (0).");
  w.Sample("zul_log_open", {}, s.LogOpen ? "1" : "0");
  w.Family("zul_log_pending_batches", "gauge",
           "Closed hours waiting to be written to the traffic log.");
  w.Sample("zul_log_pending_batches", {}, std::to_string(s.LogPendingBatches));
  if (s.LastLogWrite) {
    w.Family("zul_log_last_write_timestamp_seconds", "gauge",
             "When the traffic log last committed a write, in seconds since the epoch.");
    w.Sample("zul_log_last_write_timestamp_seconds", {}, Seconds(*s.LastLogWrite));
  }
  if (s.Plan) {
    const auto one = [&](const char* name, const char* help, uint64_t value) {
      w.Family(name, "gauge", help);
      w.Sample(name, {}, std::to_string(value));
    };
    one("zul_plan_used_bytes", "Bytes the data plan counts in its current cycle.",
        s.Plan->UsedBytes);
    one("zul_plan_cap_bytes", "The data plan's cap per cycle, in bytes.", s.Plan->CapBytes);
    if (s.Plan->ForecastBytes)
      one("zul_plan_forecast_bytes", "Bytes the cycle will have counted at its end at this pace.",
          *s.Plan->ForecastBytes);
    one("zul_plan_daily_budget_bytes", "What is left of the cap, per day left in the cycle.",
        s.Plan->DailyBudgetBytes);
    one("zul_plan_cycle_days_left", "Days left in the cycle, today included.",
        static_cast<uint64_t>(s.Plan->DaysLeft));
  }
  w.Family("zul_start_time_seconds", "gauge",
           "When the program started, in seconds since the epoch.");
  w.Sample("zul_start_time_seconds", {}, Seconds(s.StartTime));
  return std::move(w.Text);
}

}  // namespace zul
