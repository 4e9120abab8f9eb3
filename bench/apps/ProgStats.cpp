#include "ProgStats.h"

#include <bpf/bpf.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

bool Info(uint32_t id, bpf_prog_info& info) {
  const int fd = bpf_prog_get_fd_by_id(id);
  if (fd < 0) return false;
  uint32_t len = sizeof(info);
  const bool ok = bpf_obj_get_info_by_fd(fd, &info, &len) == 0;
  close(fd);
  return ok;
}

}  // namespace

std::vector<uint32_t> HookIds() {
  std::vector<uint32_t> ids;
  uint32_t id = 0;
  while (bpf_prog_get_next_id(id, &id) == 0) {
    bpf_prog_info info{};
    if (Info(id, info) && (std::strcmp(info.name, "count_ingress") == 0 ||
                           std::strcmp(info.name, "count_egress") == 0))
      ids.push_back(id);
  }
  return ids;
}

TProgStats HookStats(const std::vector<uint32_t>& ids) {
  TProgStats s;
  for (const uint32_t id : ids) {
    bpf_prog_info info{};
    if (!Info(id, info)) continue;
    s.Ns += static_cast<double>(info.run_time_ns);
    s.Runs += static_cast<double>(info.run_cnt);
  }
  return s;
}

bool SetStats(bool on) {
  FILE* f = std::fopen("/proc/sys/kernel/bpf_stats_enabled", "w");
  if (f == nullptr) return false;
  std::fputs(on ? "1" : "0", f);
  return std::fclose(f) == 0;
}
