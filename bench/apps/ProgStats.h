// The kernel's own account of the counting programs, apart from the rest of the benchmark: the
// library's headers and the capture library's cannot meet in one file.
#pragma once

// Time spent in the packet hooks and how often they ran, summed over both (needs
// kernel.bpf_stats_enabled on).
struct TProgStats {
  double Ns = 0, Runs = 0;
};
TProgStats HookStats();
// Turns kernel.bpf_stats_enabled on or off; false when it cannot.
bool SetStats(bool on);
