// The kernel's own account of the counting programs, apart from the rest of the benchmark: the
// library's headers and the capture library's cannot meet in one file.
#pragma once

#include <cstdint>
#include <vector>

// The packet hooks loaded now, by the kernel's program numbers: any helper's, so the ones that
// came with a helper are those new after its start.
std::vector<uint32_t> HookIds();

// Time spent in the given hooks and how often they ran, summed (needs
// kernel.bpf_stats_enabled on).
struct TProgStats {
  double Ns = 0, Runs = 0;
};
TProgStats HookStats(const std::vector<uint32_t>& ids);
// Turns kernel.bpf_stats_enabled on or off; false when it cannot.
bool SetStats(bool on);
