// What the metrics endpoint reports, and its text in the Prometheus exposition format. Qt-free.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vartype.h"

namespace zul {

inline constexpr int kDirDown = 0;
inline constexpr int kDirUp = 1;
// Amounts per view and direction (kDirDown, kDirUp).
using TViewAmounts = std::array<std::array<uint64_t, 2>, kViewCount>;

struct TAdapterMetrics {
  std::string Name;
  bool Capturing = false;
  std::optional<uint64_t> KernelDrops;  // none when the capture cannot tell
};

// The data plan's figures in the current cycle.
struct TPlanMetrics {
  uint64_t UsedBytes = 0;
  uint64_t CapBytes = 0;
  std::optional<uint64_t> ForecastBytes;  // none while it is too early to tell
  uint64_t DailyBudgetBytes = 0;
  int DaysLeft = 0;
};

struct TMetricsSnapshot {
  TViewAmounts BytesTotal{};  // since the program started
  TViewAmounts LastSecond{};  // the last completed second
  std::vector<TAdapterMetrics> Adapters;
  bool LogOpen = false;
  std::size_t LogPendingBatches = 0;
  std::optional<double> LastLogWrite;  // seconds since the epoch
  // Logged plus the running hour; none when the log could not be read.
  std::optional<TViewAmounts> Today;
  std::optional<TViewAmounts> Month;
  double StartTime = 0;              // seconds since the epoch
  std::optional<TPlanMetrics> Plan;  // none without a plan
  // The applications' counters, as TAppMetrics::Lines gives them; empty without them.
  std::string AppLines;
};

// The exposition text (version 0.0.4), ending with a line break.
std::string RenderMetrics(const TMetricsSnapshot& s);
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value with backslash, quote and line break escaped.
std::string MetricsLabelValue(std::string_view text);

// The bytes of each view since start, fed once a second from the sampler's completed second.
// Main thread only.
struct TMetricsCounters {
  TViewAmounts Bytes{};
  void AddSecond(const TCounterBlock& c);
};
extern TMetricsCounters MetricsCounters;
// The sampler's per-second hook calls it before the threshold check.
void CountMetricsSecond(const TCounterBlock& c);

// The port given with --metrics-port; 0 lets the MetricsPort key of zul.ini decide.
extern int MetricsPortOption;

}  // namespace zul
